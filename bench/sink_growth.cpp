#include "bench/sink_growth.h"

#include "bench/report.h"
#include "bench/timing.h"
#include "bench/units.h"
#include "codec/container.h"
#include "streams/sink.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t PieceFill = 0x5A;
// Failure codes of the two methods, for TimeSideBySide.
constexpr int32_t CannotOpen = 1;
constexpr int32_t CannotGrow = 2;

// The ByteSink as the decoder uses it.
int32_t AppendToSink(uint64_t totalBytes, const std::vector<uint8_t> &piece)
{
    HLOCAL block = nullptr;
    ByteSink sink{};
    if (OpenSink(&sink, &block, SourceMemory, ChunkSize) != ResultOk)
        return CannotOpen;
    int32_t result = ResultOk;
    for (uint64_t written = 0; written < totalBytes && result == ResultOk; written += ChunkSize)
        if (sink.Write(&sink, piece.data(), ChunkSize) != ChunkSize)
            result = CannotGrow;
    CloseSink(&sink);
    LocalFree(block);
    return result;
}

// The baseline: a moveable block grown by just what each write needs.
int32_t AppendPieceByPiece(uint64_t totalBytes, const std::vector<uint8_t> &piece)
{
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, ChunkSize);
    if (block == nullptr)
        return CannotOpen;
    uint64_t capacity = ChunkSize;
    for (uint64_t written = 0; written < totalBytes; written += ChunkSize) {
        if (written + ChunkSize > capacity) {
            capacity += ChunkSize;
            HLOCAL grown = LocalReAlloc(block, static_cast<size_t>(capacity), LMEM_MOVEABLE | LMEM_ZEROINIT);
            if (grown == nullptr) {
                LocalFree(block);
                return CannotGrow;
            }
            block = grown;
        }
        auto *bytes = static_cast<uint8_t *>(LocalLock(block));
        std::memcpy(bytes + written, piece.data(), ChunkSize);
        LocalUnlock(block);
    }
    LocalFree(block);
    return ResultOk;
}

std::string SecondsCell(const Timing &timing)
{
    if (timing.Failed())
        return "failed (code " + std::to_string(timing.failure) + ")";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", timing.medianSeconds);
    return text;
}

// One line: false when a method failed.
bool CompareAt(double sizeMegabytes, int rounds, const std::vector<uint8_t> &piece)
{
    uint64_t totalBytes = FromMegabytes(sizeMegabytes);
    std::vector<Timing> timings = TimeSideBySide(
        {{nullptr, [&] { return AppendToSink(totalBytes, piece); }, nullptr},
         {nullptr, [&] { return AppendPieceByPiece(totalBytes, piece); }, nullptr}},
        rounds);
    const Timing &doubling = timings[0];
    const Timing &pieceByPiece = timings[1];
    char ratio[32] = "-";
    if (!doubling.Failed() && !pieceByPiece.Failed())
        std::snprintf(ratio, sizeof ratio, "%.1f", pieceByPiece.medianSeconds / doubling.medianSeconds);
    Report("%10g %16s %16s %12s\n", sizeMegabytes, SecondsCell(doubling).c_str(), SecondsCell(pieceByPiece).c_str(),
           ratio);
    return !doubling.Failed() && !pieceByPiece.Failed();
}

} // namespace

Status RunSinkGrowth(const std::vector<double> &sizesMegabytes, int rounds)
{
    Report("\nsink growth: %u-byte writes, median seconds of %d round%s\n", ChunkSize, rounds, rounds == 1 ? "" : "s");
    Report("%10s %16s %16s %12s\n", "size MB", "ByteSink", "piece by piece", "ratio");
    std::vector<uint8_t> piece(ChunkSize, PieceFill);
    bool allWorked = true;
    for (double sizeMegabytes : sizesMegabytes) {
        if (sizeMegabytes > SinkLargestMegabytes)
            Report("%10g   skipped: the piece-by-piece baseline grows with the square of the size\n", sizeMegabytes);
        else if (!CompareAt(sizeMegabytes, rounds, piece))
            allWorked = false;
    }
    return allWorked ? Status::Success() : Status::Failure("a sink growth measurement failed");
}
