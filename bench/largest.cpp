#include "bench/largest.h"

#include "bench/peak.h"
#include "bench/pictures.h"
#include "bench/report.h"
#include "tools/files.h"
#include "tools/plugin_host.h"
#include "tools/zqv_format.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int LargestLevel = 6;
constexpr unsigned BitsPerByte = 8;
// Sizes double from the first until GetPicture runs out of memory, then the
// gap between the last success and the first failure is halved, on multiples
// of the resolution, until it is no wider than that. The cap, the last size
// tried, is the format's own ceiling: the largest multiple of the resolution
// whose BMP file still fits the 32-bit size fields. A 32-bit process runs out
// of memory well before it; a 64-bit one reaches it.
constexpr uint32_t FirstMegabytes = 256;
constexpr uint32_t ResolutionMegabytes = 16;
constexpr uint32_t CapMegabytes = 4080;

// One try's outcome, when the try itself worked.
struct Attempt {
    uint64_t decodedBytes = 0;
    uint64_t containerBytes = 0;
    PeakReport peak;
};

// Compresses a flat picture of about sizeMegabytes into path, a row at a time.
Status WriteFlatContainer(const std::string &path, uint32_t sizeMegabytes, Attempt *attempt)
{
    PictureLayout layout;
    Status status = LayoutPicture(PictureKind::Flat, uint64_t{sizeMegabytes} * Megabyte, &layout);
    if (!status.Ok())
        return status;
    std::vector<uint8_t> headers(layout.pixelOffset);
    std::vector<uint8_t> row(layout.rowBytes);
    WriteBmpHeaders(layout, headers.data());
    RowPainter(layout).Paint(0, row.data()); // every row of a flat picture is the same
    attempt->decodedBytes = layout.fileBytes;
    auto rowByRow = [&](ZqvEncoder &encoder) {
        Status appended = encoder.Append(headers.data(), headers.size());
        for (uint32_t y = 0; y < layout.height && appended.Ok(); ++y)
            appended = encoder.Append(row.data(), row.size());
        return appended;
    };
    return WriteZqvFile(path, LargestLevel, rowByRow, &attempt->containerBytes);
}

// The known bounds of the search, in megabytes: GetPicture delivered at
// delivered (0 before any success) and ran out of memory at failed (0 while
// none has failed).
struct Bounds {
    uint32_t delivered = 0;
    uint32_t failed = 0;
    uint64_t deliveredBytes = 0;
};

// Tries one size and narrows the bounds by what GetPicture did.
Status Try(uint32_t sizeMegabytes, Bounds *bounds)
{
    Attempt attempt;
    TempPath path("zqv-bench", ".zqv");
    Status status = WriteFlatContainer(path.Path(), sizeMegabytes, &attempt);
    if (status.Ok())
        status = MeasurePeakInChild(path.Path(), &attempt.peak);
    if (!status.Ok()) {
        Report("%8u MB  could not be tried: %s\n", sizeMegabytes, status.Message().c_str());
        return status;
    }
    Report("%8u MB  %10.1f %8.2f  ", sizeMegabytes, InMegabytes(attempt.decodedBytes),
           InMegabytes(attempt.containerBytes));
    if (attempt.peak.result == ResultOk) {
        Report("delivered, peak working set %.1f MB (%.2f x decoded)\n", InMegabytes(attempt.peak.peakBytes),
               static_cast<double>(attempt.peak.peakBytes) / attempt.decodedBytes);
        bounds->delivered = sizeMegabytes;
        bounds->deliveredBytes = attempt.decodedBytes;
        return Status::Success();
    }
    Report("failed (code %d, %s)\n", static_cast<int>(attempt.peak.result), ResultName(attempt.peak.result));
    bounds->failed = sizeMegabytes;
    if (attempt.peak.result != ResultNoMemory)
        return Status::Failure("GetPicture failed at " + std::to_string(sizeMegabytes) +
                               " MB for a reason other than memory");
    return Status::Success();
}

// The next size to try, 0 when the search is done.
uint32_t NextSize(const Bounds &bounds, uint32_t tried)
{
    if (bounds.failed == 0)
        return tried < CapMegabytes ? std::min(tried * 2, CapMegabytes) : 0;
    uint32_t gap = bounds.failed - bounds.delivered;
    if (gap <= ResolutionMegabytes)
        return 0;
    return bounds.delivered + gap / 2 / ResolutionMegabytes * ResolutionMegabytes;
}

void PrintConclusion(const Bounds &bounds)
{
    unsigned processBits = static_cast<unsigned>(sizeof(void *) * BitsPerByte);
    if (bounds.failed == 0)
        Report("\nGetPicture delivered every size tried, up to %u MB (%.1f MB decoded), in this %u-bit process\n",
               bounds.delivered, InMegabytes(bounds.deliveredBytes), processBits);
    else if (bounds.delivered == 0)
        Report("\nGetPicture delivered no size tried in this %u-bit process; it fails at %u MB\n", processBits,
               bounds.failed);
    else
        Report("\nlargest decoded size GetPicture delivers in this %u-bit process: %.1f MB "
               "(it runs out of memory at %u MB)\n",
               processBits, InMegabytes(bounds.deliveredBytes), bounds.failed);
}

} // namespace

Status RunLargestSearch()
{
    Report("flat pictures, zlib level %d, each decoded once from a file in a fresh process\n\n", LargestLevel);
    Report("%8s     %10s %8s  %s\n", "asked", "decoded MB", "ZQV MB", "GetPicture");
    Bounds bounds;
    for (uint32_t size = FirstMegabytes; size != 0; size = NextSize(bounds, size)) {
        Status status = Try(size, &bounds);
        if (!status.Ok())
            return status;
    }
    PrintConclusion(bounds);
    return Status::Success();
}
