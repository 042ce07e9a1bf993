// fuzz/fuzz_target.h -- what every fuzz target shares.
//
// Each target defines LLVMFuzzerTestOneInput. Built with ZQV_FUZZ it links
// libFuzzer; otherwise replay_main.cpp drives it over files named on the
// command line, so a finding can be stepped through without the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A broken expectation: say what was expected and what came back, then stop
// the process so the fuzzer keeps the input.
#define FUZZ_REQUIRE(condition, ...)                                                                         \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: expectation failed: %s\n  ", __FILE__, __LINE__, #condition);      \
            std::fprintf(stderr, __VA_ARGS__);                                                               \
            std::fprintf(stderr, "\n");                                                                      \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// Takes values off the front of the input; past its end every value is 0.
class InputReader {
public:
    InputReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t Little16()
    {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    bool AtEnd() const { return offset_ >= size_; }
    size_t Remaining() const { return size_ - offset_; }
    // The next count bytes (fewer at the end), as a pointer into the input.
    const uint8_t *Take(size_t count, size_t *taken)
    {
        *taken = count < Remaining() ? count : Remaining();
        const uint8_t *start = data_ + offset_;
        offset_ += *taken;
        return start;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t offset_ = 0;
};
