// Many threads probing and decoding at once, and progress callbacks that
// call back into the plug-in: every answer must be the one a serial run
// gives, and nothing may deadlock (RunThreads ends the program if it does).
#include "plugin/api.h"
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int ThreadCount = 8;
constexpr int RoundsPerThread = 400;
constexpr unsigned DeadlockTimeoutMs = 120000;
constexpr size_t HeadSize = 2048;
// userData that asks ReenterPlugin to call back into the plug-in.
constexpr int32_t Reenter = 1;

// One picture file to probe and decode, from memory or from a file.
struct Input {
    std::string description;
    Bytes container;
    int32_t expectedResult;
    std::unique_ptr<TempFile> file; // decoded from here when present
};

struct Outcome {
    int32_t supported = -1;
    int32_t result = -99;
    Bytes info;
    Bytes bits;
    bool operator==(const Outcome &) const = default;
};

Bytes BrokenContainer()
{
    return Masked(ZlibHeadThenInvalidBlock(MakeBmp(40, 20, 24, 9), 300));
}

std::vector<Input> MakeInputs()
{
    std::vector<Input> inputs;
    auto add = [&inputs](std::string description, Bytes container, int32_t expected, bool fromFile) {
        Input input{std::move(description), std::move(container), expected, nullptr};
        if (fromFile)
            input.file = std::make_unique<TempFile>(input.container);
        inputs.push_back(std::move(input));
    };
    for (int i = 0; i < 12; ++i) {
        static const uint16_t depths[] = {1, 4, 8, 16, 24, 32};
        uint16_t depth = depths[i % 6];
        add("picture " + std::to_string(i) + ", " + std::to_string(depth) + " bits",
            WrapZqv(MakeBmp(13 + 7 * i, (i % 3 == 0 ? -1 : 1) * (5 + 3 * i), depth, 100 + i)), ResultOk, i % 2 == 1);
    }
    add("noisy picture over two read chunks", WrapZqv(MakeNoisyBmp(200, 180, 77), 1), ResultOk, true);
    add("damaged stream", BrokenContainer(), ResultBrokenData, false);
    add("not a BMP file", WrapZqv(Bytes(300, 'x')), ResultBadFormat, true);
    add("empty container", Bytes{}, ResultBadFormat, false);
    return inputs;
}

int32_t Probe(const Input &input)
{
    Bytes head = input.container;
    head.resize(HeadSize, 0);
    return Plugin().IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(head.data()));
}

// A picture decoded from inside a progress callback, and whether that
// nested probe and decode came out right on this thread.
const Bytes &NestedBmp()
{
    static const Bytes bmp = MakeBmp(10, 10, 8, 4242);
    return bmp;
}
const Bytes &NestedContainer()
{
    static const Bytes container = WrapZqv(NestedBmp());
    return container;
}
thread_local int nestedCalls = 0;
thread_local int nestedFailures = 0;

int32_t WINAPI ReenterPlugin(int32_t, int32_t, intptr_t userData)
{
    if (userData != Reenter)
        return 0;
    ++nestedCalls;
    Bytes head = NestedContainer();
    head.resize(HeadSize, 0);
    if (Plugin().IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(head.data())) != 1)
        ++nestedFailures;
    Decoded nested;
    DecodeMemory(&nested, NestedContainer());
    if (nested.result != ResultOk || BlockBytes(nested.bits) != ExpectedBits(NestedBmp()))
        ++nestedFailures;
    return 0;
}

Outcome ProbeAndDecode(const Input &input, intptr_t userData)
{
    Outcome outcome;
    outcome.supported = Probe(input);
    Decoded out;
    if (input.file)
        DecodeFile(&out, HostPath(input.file->Path()), 0, ReenterPlugin, userData);
    else
        DecodeMemory(&out, input.container, ReenterPlugin, userData);
    outcome.result = out.result;
    if (out.result == ResultOk) {
        outcome.info = BlockBytes(out.info);
        outcome.bits = BlockBytes(out.bits);
    }
    return outcome;
}

TEST(Concurrency, EightThreadsGiveTheSerialAnswers)
{
    std::vector<Input> inputs = MakeInputs();
    std::vector<Outcome> serial;
    for (const Input &input : inputs) {
        serial.push_back(ProbeAndDecode(input, 0));
        EXPECT_EQ(serial.back().result, input.expectedResult)
            << input.description << ": serial run expected " << input.expectedResult << ", got "
            << serial.back().result;
    }

    std::vector<std::atomic<int>> mismatches(inputs.size());
    std::atomic<int> nestedFailuresTotal{0};
    std::atomic<int> nestedCallsTotal{0};
    std::vector<std::function<void()>> workers;
    for (int thread = 0; thread < ThreadCount; ++thread)
        workers.push_back([&, thread] {
            for (int round = 0; round < RoundsPerThread; ++round) {
                // Threads stand on different inputs at any moment; odd
                // threads call back into the plug-in from their callbacks.
                size_t index = static_cast<size_t>(thread * 3 + round) % inputs.size();
                if (!(ProbeAndDecode(inputs[index], thread % 2 == 1 ? Reenter : 0) == serial[index]))
                    mismatches[index]++;
            }
            nestedCallsTotal += nestedCalls;
            nestedFailuresTotal += nestedFailures;
        });
    ASSERT_TRUE(RunThreads(workers, DeadlockTimeoutMs));

    for (size_t index = 0; index < inputs.size(); ++index)
        EXPECT_EQ(mismatches[index].load(), 0)
            << inputs[index].description << ": answers that differ from the serial run";
    EXPECT_GT(nestedCallsTotal.load(), 0) << "no callback called back into the plug-in";
    EXPECT_EQ(nestedFailuresTotal.load(), 0) << "nested probes or decodes that came out wrong";
}

TEST(Concurrency, CallbackThatCallsBackIntoThePluginDoesNotBlock)
{
    Bytes bmp = MakeNoisyBmp(200, 180, 31);
    Bytes container = WrapZqv(bmp, 1);
    int32_t result = -99;
    Bytes bits;
    int calls = 0;
    int failures = 0;
    ASSERT_TRUE(RunThreads({[&] {
                                Decoded out;
                                DecodeMemory(&out, container, ReenterPlugin, Reenter);
                                result = out.result;
                                if (out.result == ResultOk)
                                    bits = BlockBytes(out.bits);
                                calls = nestedCalls;
                                failures = nestedFailures;
                            }},
                           DeadlockTimeoutMs));
    EXPECT_EQ(result, ResultOk) << "the outer decode";
    EXPECT_EQ(bits, ExpectedBits(bmp)) << "the outer decode's pixels";
    EXPECT_GE(calls, 2) << "the callback ran during the decode and at its end";
    EXPECT_EQ(failures, 0) << "nested probes or decodes that came out wrong";
}

// A host's worker thread may have a small stack. The exports keep their
// large work areas in memory of their own: a 10 MB picture decodes, from a
// file and from memory, and a head is probed, on a thread whose whole stack
// is 64 KB. Natively the stack each call takes is measured too.
TEST(SmallStack, ExportsRunOnA64KBStack)
{
    constexpr size_t StackBytes = 64 * 1024;
    constexpr size_t MostStackPerCall = 16 * 1024;
    Bytes bmp = MakeNoisyBmp(1800, 1900, 5);
    Bytes container = WrapZqv(bmp, 1);
    TempFile file(container);
    Bytes head(container.begin(), container.begin() + HeadSize);
    const size_t baseline = RunOnSmallStack([] {}, StackBytes);

    struct Call {
        const char *description;
        std::function<bool()> run; // true when the answer is right
    };
    const Call calls[] = {
        {"GetPicture from a file",
         [&] {
             Decoded out;
             DecodeFile(&out, file.Path(), 0);
             return out.result == ResultOk && BlockBytes(out.bits) == ExpectedBits(bmp);
         }},
        {"GetPicture from memory",
         [&] {
             Decoded out;
             DecodeMemory(&out, container);
             return out.result == ResultOk && BlockBytes(out.bits) == ExpectedBits(bmp);
         }},
        {"IsSupported on a head in memory",
         [&] { return Plugin().IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(head.data())) == 1; }},
    };
    for (const Call &call : calls) {
        bool right = false;
        size_t used = RunOnSmallStack([&] { right = call.run(); }, StackBytes);
        EXPECT_TRUE(right) << call.description << " on a 64 KB stack";
        if (used == 0)
            continue; // not measured under wine
        // The measure includes the test's own few calls around the export.
        EXPECT_LE(used - baseline, MostStackPerCall) << call.description;
        std::printf("%s: %zu bytes of stack beyond the thread's own %zu\n", call.description, used - baseline,
                    baseline);
    }
}

} // namespace
