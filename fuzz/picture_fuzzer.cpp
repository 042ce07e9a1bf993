// GetPicture on a container in memory (flags 1).
//
// Input layout:
//   byte 0   progress: low 7 bits, answer "stop" at that call (0 never);
//            bit 7, answer "stop" at the final (100, 100) call
//   byte 1   allocation failures: low nibble, fail that local allocation or
//            reallocation (0 none); high nibble, fail that LocalLock (0 none)
//   rest     the container
// After every call every local block must be back (the delivered ones once
// freed), and the out-parameters written only on success. When nothing was
// stopped or made to fail and zlib alone inflates the container to its end,
// the delivered blocks must be exactly the pieces of that BMP file.
#include "codec/container.h"
#include "fuzz/fuzz_target.h"
#include "plugin/api.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

HLOCAL const Untouched = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xdeadbeef));
constexpr uint8_t StopAtCompleteBit = 0x80;
constexpr uint8_t StopAtCallMask = 0x7f;
constexpr int32_t CompleteReport = 100;
constexpr int32_t UserData = 0x5a17c0de;
// Inflating further than this is not worth an execution.
constexpr size_t OracleOutputLimit = 64u << 20;

struct ProgressScript {
    int stopAtCall = 0;
    bool stopAtComplete = false;
    int calls = 0;
    int32_t containerLength = 0;
};
ProgressScript *script = nullptr;

int32_t WINAPI ScriptedProgress(int32_t numerator, int32_t denominator, int32_t userData)
{
    ++script->calls;
    FUZZ_REQUIRE(userData == UserData, "progress got userData %d, expected %d", userData, UserData);
    bool complete = numerator == CompleteReport && denominator == CompleteReport;
    if (!complete) {
        FUZZ_REQUIRE(denominator == script->containerLength, "progress denominator %d, expected the length %d",
                     denominator, script->containerLength);
        FUZZ_REQUIRE(numerator >= 0 && numerator <= denominator / 2 + 1,
                     "progress numerator %d outside 0..%d", numerator, denominator / 2 + 1);
    }
    if (complete && script->stopAtComplete)
        return 1;
    return script->calls == script->stopAtCall ? 1 : 0;
}

// The whole BMP file, when zlib alone inflates the unmasked container to
// the end of its stream; false otherwise.
bool InflateWhole(const uint8_t *container, size_t length, Bytes *file)
{
    Bytes plain(container, container + length);
    for (uint8_t &byte : plain)
        byte ^= ScrambleMask;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = plain.data();
    stream.avail_in = static_cast<uInt>(plain.size());
    int step = Z_OK;
    while (step == Z_OK && file->size() < OracleOutputLimit) {
        uint8_t piece[65536];
        stream.next_out = piece;
        stream.avail_out = sizeof piece;
        step = inflate(&stream, Z_NO_FLUSH);
        file->insert(file->end(), piece, piece + (sizeof piece - stream.avail_out));
    }
    inflateEnd(&stream);
    return step == Z_STREAM_END;
}

Bytes BlockBytes(HLOCAL block)
{
    // An empty block (no bitmap information) cannot be locked, and holds nothing.
    if (LocalSize(block) == 0)
        return {};
    auto *address = static_cast<const uint8_t *>(LocalLock(block));
    FUZZ_REQUIRE(address != nullptr, "a delivered block cannot be locked");
    Bytes bytes(address, address + LocalSize(block));
    LocalUnlock(block);
    return bytes;
}

uint32_t PixelOffset(const Bytes &file)
{
    return uint32_t(file[10]) | uint32_t(file[11]) << 8 | uint32_t(file[12]) << 16 | uint32_t(file[13]) << 24;
}

bool IsBmp(const Bytes &file)
{
    return file.size() >= BmpFileHeaderSize && file[0] == 'B' && file[1] == 'M' && file[6] == 0 && file[7] == 0 &&
           file[8] == 0 && file[9] == 0;
}

// What GetPicture must answer for a whole, undamaged stream, and its blocks.
int32_t ExpectedResult(const Bytes &file)
{
    if (!IsBmp(file))
        return ResultBadFormat;
    if (PixelOffset(file) < BmpFileHeaderSize)
        return ResultNoMemory;
    return PixelOffset(file) > file.size() ? ResultBadFormat : ResultOk;
}

void CheckAgainstZlib(const uint8_t *container, size_t length, int32_t result, HLOCAL info, HLOCAL bits)
{
    Bytes file;
    if (!InflateWhole(container, length, &file))
        return;
    int32_t expected = ExpectedResult(file);
    FUZZ_REQUIRE(result == expected, "GetPicture answered %d for a whole %zu-byte stream, expected %d", result,
                 file.size(), expected);
    if (result != ResultOk)
        return;
    uint32_t offset = PixelOffset(file);
    Bytes expectedInfo(file.begin() + BmpFileHeaderSize, file.begin() + offset);
    Bytes expectedBits(file.begin() + offset, file.end());
    expectedBits.resize(file.size(), 0);
    FUZZ_REQUIRE(BlockBytes(info) == expectedInfo, "the info block differs from bytes 14..%u of the file", offset);
    FUZZ_REQUIRE(BlockBytes(bits) == expectedBits, "the bits block differs from the pixel data plus zeros");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputReader input(data, size);
    uint8_t progressControl = input.Byte();
    uint8_t failureControl = input.Byte();
    size_t length = 0;
    const uint8_t *container = input.Take(input.Remaining(), &length);

    ProgressScript progress;
    progress.stopAtCall = progressControl & StopAtCallMask;
    progress.stopAtComplete = (progressControl & StopAtCompleteBit) != 0;
    progress.containerLength = static_cast<int32_t>(length);
    script = &progress;
    long failAllocation = failureControl & 0x0f;
    long failLock = failureControl >> 4;

    long liveBefore = LocalMemoryLiveBlocks();
    LocalMemoryFailAllocation(failAllocation);
    LocalMemoryFailLock(failLock);
    HLOCAL info = Untouched;
    HLOCAL bits = Untouched;
    int32_t result = GetPicture(reinterpret_cast<const char *>(container), static_cast<int32_t>(length), 1, &info,
                                &bits, ScriptedProgress, UserData);
    LocalMemoryFailAllocation(0);
    LocalMemoryFailLock(0);
    script = nullptr;

    FUZZ_REQUIRE(result >= ResultOk && result <= ResultMemoryError, "GetPicture answered %d, expected 0..5",
                 result);
    if (result != ResultOk) {
        FUZZ_REQUIRE(info == Untouched && bits == Untouched, "result %d, yet an out-parameter was written", result);
    } else {
        FUZZ_REQUIRE(info != nullptr && bits != nullptr && info != Untouched && bits != Untouched,
                     "ResultOk without both blocks");
        FUZZ_REQUIRE(LocalSize(bits) >= LocalSize(info) + BmpFileHeaderSize,
                     "bits block of %zu bytes is shorter than the info block (%zu) plus the file header",
                     LocalSize(bits), LocalSize(info));
    }
    if (failLock == 0)
        FUZZ_REQUIRE(result != ResultMemoryError, "ResultMemoryError with no lock made to fail");
    if (progressControl == 0 && failureControl == 0)
        CheckAgainstZlib(container, length, result, info, bits);
    if (result == ResultOk) {
        LocalFree(info);
        LocalFree(bits);
    }
    FUZZ_REQUIRE(LocalMemoryLiveBlocks() == liveBefore, "%ld local blocks live after the call, expected %ld",
                 LocalMemoryLiveBlocks(), liveBefore);
    return 0;
}
