#include "bench/decode_table.h"

#include "bench/container_file.h"
#include "bench/peak.h"
#include "bench/picture_calls.h"
#include "bench/pictures.h"
#include "bench/report.h"
#include "bench/timing.h"
#include "bench/units.h"
#include "codec/container.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <zlib.h>

namespace {

// The scaling summary compares these two sizes; a decoder whose time grows
// in step with the picture stays near their ratio.
constexpr double ScalingSmallMegabytes = 100;
constexpr double ScalingLargeMegabytes = 400;
constexpr double ScalingTarget = 4.4;
// The most memory one GetPicture should need: this many times the decoded
// size, plus PeakAllowanceBytes.
constexpr double PeakTargetFactor = 2.1;
constexpr uint64_t PeakAllowanceBytes = 2 * Megabyte;

constexpr const char *RowFormat = "%-9s %10s %5s %9s %16s %16s %16s %16s %8s %9s %8s %16s %9s%s\n";
constexpr const char *CheckFailedNote = "  (wrong output, see above)";

// One line of the table.
struct CaseResult {
    PictureKind kind = PictureKind::Flat;
    double sizeMegabytes = 0; // as asked for
    int level = 0;
    uint64_t decodedBytes = 0;
    uint64_t containerBytes = 0;
    Timing bare;
    Timing fresh;
    Timing memory;
    Timing file;
    Status peakStatus = Status::Success();
    PeakReport peak;
    bool ran = false;     // false when the case could not even be set up
    bool checked = false; // true when what every method delivered was the picture
};

// A generated picture shared by the cases of every level.
struct Picture {
    PictureLayout layout;
    std::vector<uint8_t> file; // also bare inflate's output buffer
    uLong checksum = 0;        // CRC-32 of the file as painted
};

std::string CaseName(PictureKind kind, double sizeMegabytes, int level)
{
    char name[96];
    std::snprintf(name, sizeof name, "%s %g MB level %d", KindName(kind), sizeMegabytes, level);
    return name;
}

// Report has flushed standard output, so the message comes after the lines before it.
void ReportError(const std::string &subject, const std::string &message)
{
    std::fprintf(stderr, "zqv_bench: %s: %s\n", subject.c_str(), message.c_str());
}

// A buffer that a 32-bit process may be unable to find room for.
Status Allocate(uint64_t bytes, std::vector<uint8_t> *buffer)
{
    try {
        buffer->resize(static_cast<size_t>(bytes));
    } catch (const std::exception &) { // bad_alloc, or length_error beyond the address space
        return Status::Failure("cannot allocate " + std::to_string(bytes) + " bytes");
    }
    return Status::Success();
}

// Gives the memory back, which clear() alone does not.
void Release(std::vector<uint8_t> *buffer) { std::vector<uint8_t>().swap(*buffer); }

Status PaintInto(PictureKind kind, double sizeMegabytes, Picture *picture)
{
    Status status = LayoutPicture(kind, FromMegabytes(sizeMegabytes), &picture->layout);
    if (status.Ok())
        status = Allocate(picture->layout.fileBytes, &picture->file);
    if (!status.Ok())
        return status;
    PaintPicture(picture->layout, picture->file.data());
    picture->checksum = crc32_z(0, picture->file.data(), picture->file.size());
    return Status::Success();
}

// zlib alone: the whole descrambled stream, one inflate call, into the
// outputBytes at output.
int32_t InflateWhole(const std::vector<uint8_t> &stream, uint8_t *output, uint64_t outputBytes)
{
    z_stream inflater{};
    if (inflateInit(&inflater) != Z_OK)
        return Z_MEM_ERROR;
    inflater.next_in = const_cast<Bytef *>(stream.data());
    inflater.avail_in = static_cast<uInt>(stream.size());
    inflater.next_out = output;
    inflater.avail_out = static_cast<uInt>(outputBytes);
    int result = inflate(&inflater, Z_FINISH);
    uint64_t produced = inflater.total_out;
    inflateEnd(&inflater);
    if (result != Z_STREAM_END)
        return result == Z_OK ? Z_BUF_ERROR : result;
    return produced == outputBytes ? Z_OK : Z_DATA_ERROR;
}

// A block made the way the host makes the one GetPicture delivers the
// picture in: fixed, zero-filled local memory, reached through LocalLock.
// Its pages are new, so whatever first writes to them pays their faults.
class FreshBlock {
public:
    explicit FreshBlock(uint64_t bytes)
        : handle_(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, static_cast<size_t>(bytes))),
          bytes_(handle_ == nullptr ? nullptr : static_cast<uint8_t *>(LocalLock(handle_))), size_(bytes)
    {
    }
    ~FreshBlock()
    {
        if (bytes_ != nullptr)
            LocalUnlock(handle_);
        if (handle_ != nullptr)
            LocalFree(handle_);
    }
    FreshBlock(const FreshBlock &) = delete;
    FreshBlock &operator=(const FreshBlock &) = delete;

    uint8_t *Bytes() const { return bytes_; } // null when the block could not be had
    uint64_t Size() const { return size_; }

private:
    HLOCAL handle_;
    uint8_t *bytes_;
    uint64_t size_;
};

// Bare inflate with the block as its output.
int32_t InflateInto(const FreshBlock &block, const std::vector<uint8_t> &stream)
{
    if (block.Bytes() == nullptr)
        return Z_MEM_ERROR; // the failure zlib would report for memory it could not have
    return InflateWhole(stream, block.Bytes(), block.Size());
}

void DescrambleInPlace(std::vector<uint8_t> *container)
{
    Descramble(container->data(), static_cast<uint32_t>(container->size()));
}

// The four ways of decoding, as TimeSideBySide takes them.
enum DecodeMethod { BareMethod, FreshMethod, MemoryMethod, FileMethod, MethodCount };

// The methods to time for one case. The container stays scrambled for
// GetPicture; bare inflate, into the picture's buffer or a fresh block,
// descrambles it in place around its run, untimed, rather than keep a second
// copy that a 32-bit process has no room for at the largest sizes. The fresh
// block is allocated within the time, as GetPicture's is, which makes it the
// fair limit for GetPicture, and freed within it too, as nothing else would;
// GetPicture's blocks are freed after each run, untimed, as the viewer frees
// them later.
std::vector<TimedMethod> DecodeMethods(const PluginExports &plugin, Picture *picture,
                                       std::vector<uint8_t> *container, const std::string &containerPath,
                                       PictureBlocks *blocks)
{
    auto descramble = [container] { DescrambleInPlace(container); };
    TimedMethod bare{
        descramble,
        [picture, container] { return InflateWhole(*container, picture->file.data(), picture->file.size()); },
        descramble};
    TimedMethod fresh{descramble,
                      [picture, container] {
                          FreshBlock block(picture->file.size());
                          return InflateInto(block, *container);
                      },
                      descramble};
    TimedMethod memory{nullptr,
                       [&plugin, container, blocks] { return GetPictureFromMemory(plugin, *container, blocks); },
                       [blocks] { blocks->Free(); }};
    TimedMethod file{nullptr,
                     [&plugin, &containerPath, blocks] { return GetPictureFromFile(plugin, containerPath, blocks); },
                     [blocks] { blocks->Free(); }};
    std::vector<TimedMethod> methods(MethodCount);
    methods[BareMethod] = bare;
    methods[FreshMethod] = fresh;
    methods[MemoryMethod] = memory;
    methods[FileMethod] = file;
    return methods;
}

std::string GetPictureFailure(const char *how, int32_t code)
{
    return std::string("GetPicture ") + how + " failed (code " + std::to_string(code) + ", " + ResultMeaning(code) +
           ")";
}

// Decodes once more through GetPicture and compares with the picture.
Status VerifyGetPicture(const char *how, int32_t result, const PictureBlocks &blocks, const Picture &picture)
{
    if (result != ResultOk)
        return Status::Failure(GetPictureFailure(how, result) + " when checked");
    Status checked = CheckDelivered(blocks, picture.file.data(), picture.layout.fileBytes, picture.layout.pixelOffset);
    return checked.Ok() ? checked : Status::Failure(std::string("GetPicture ") + how + ": " + checked.Message());
}

bool Verified(const std::string &name, const Status &checked)
{
    if (!checked.Ok())
        ReportError(name, checked.Message());
    return checked.Ok();
}

bool Reproduces(const uint8_t *bytes, const Picture &picture)
{
    return crc32_z(0, bytes, picture.file.size()) == picture.checksum;
}

Status CheckBareOutput(const Picture &picture)
{
    if (!Reproduces(picture.file.data(), picture))
        return Status::Failure("bare inflate did not reproduce the picture");
    return Status::Success();
}

// The rounds give the fresh block back unread, so it is filled once more.
Status CheckFreshOutput(std::vector<uint8_t> *container, const Picture &picture)
{
    FreshBlock block(picture.file.size());
    DescrambleInPlace(container);
    int32_t code = InflateInto(block, *container);
    DescrambleInPlace(container);
    if (code != Z_OK)
        return Status::Failure("inflate into a fresh block failed when checked (zlib code " + std::to_string(code) +
                               ")");
    if (!Reproduces(block.Bytes(), picture))
        return Status::Failure("inflate into a fresh block did not reproduce the picture");
    return Status::Success();
}

// After the rounds: bare inflate must have rewritten the very picture, into
// a fresh block as well, and each GetPicture that worked must deliver it.
bool VerifyCase(const CaseResult &result, const PluginExports &plugin, const Picture &picture,
                std::vector<uint8_t> *container, const std::string &containerPath, const std::string &name)
{
    bool verified = true;
    if (!result.bare.Failed())
        verified = Verified(name, CheckBareOutput(picture)) && verified;
    if (!result.fresh.Failed())
        verified = Verified(name, CheckFreshOutput(container, picture)) && verified;
    if (!result.memory.Failed()) {
        PictureBlocks blocks;
        int32_t code = GetPictureFromMemory(plugin, *container, &blocks);
        verified = Verified(name, VerifyGetPicture("from memory", code, blocks, picture)) && verified;
    }
    if (!result.file.Failed()) {
        PictureBlocks blocks;
        int32_t code = GetPictureFromFile(plugin, containerPath, &blocks);
        verified = Verified(name, VerifyGetPicture("from a file", code, blocks, picture)) && verified;
    }
    return verified;
}

void ReportFailedMethods(const CaseResult &result, const std::string &name)
{
    if (result.bare.Failed())
        ReportError(name, "bare inflate failed (zlib code " + std::to_string(result.bare.failure) + ")");
    if (result.fresh.Failed())
        ReportError(name, "inflate into a fresh block failed (zlib code " + std::to_string(result.fresh.failure) + ")");
    if (result.memory.Failed())
        ReportError(name, GetPictureFailure("from memory", result.memory.failure));
    if (result.file.Failed())
        ReportError(name, GetPictureFailure("from a file", result.file.failure));
}

// Compresses the picture, times the four methods, checks what they gave
// and measures the peak in a child. Returns whether everything worked.
bool RunCase(const BenchOptions &options, const PluginExports &plugin, Picture *picture, int level,
             CaseResult *result)
{
    std::string name = CaseName(result->kind, result->sizeMegabytes, level);
    TempPath containerPath(".zqv");
    std::vector<uint8_t> container;
    Status status = WriteContainerFile(containerPath.Path(), level, picture->file.data(), picture->file.size(),
                                       &result->containerBytes);
    if (status.Ok())
        status = ReadWholeFile(containerPath.Path(), result->containerBytes, &container);
    if (!status.Ok()) {
        ReportError(name, status.Message());
        return false;
    }
    result->ran = true;
    PictureBlocks blocks;
    std::vector<Timing> timings =
        TimeSideBySide(DecodeMethods(plugin, picture, &container, containerPath.Path(), &blocks), options.rounds);
    result->bare = timings[BareMethod];
    result->fresh = timings[FreshMethod];
    result->memory = timings[MemoryMethod];
    result->file = timings[FileMethod];
    ReportFailedMethods(*result, name);
    result->checked = VerifyCase(*result, plugin, *picture, &container, containerPath.Path(), name);
    bool worked = result->checked && !result->bare.Failed() && !result->fresh.Failed() && !result->memory.Failed() &&
                  !result->file.Failed();
    Release(&container);
    result->peakStatus = MeasurePeakInChild(containerPath.Path(), &result->peak);
    if (!result->peakStatus.Ok())
        ReportError(name, "peak: " + result->peakStatus.Message());
    else if (result->peak.result != ResultOk)
        ReportError(name, "peak: " + GetPictureFailure("from a file", result->peak.result) + " in the child");
    return worked && result->peakStatus.Ok() && result->peak.result == ResultOk;
}

std::string Formatted(const char *format, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FailedCell(int32_t code) { return "failed (code " + std::to_string(code) + ")"; }

std::string SpeedCell(const Timing &timing, uint64_t decodedBytes)
{
    if (timing.Failed())
        return FailedCell(timing.failure);
    return Formatted("%.1f", InMegabytes(decodedBytes) / timing.medianSeconds);
}

// The ratio of two methods' median times.
std::string RatioCell(const Timing &numerator, const Timing &denominator)
{
    if (numerator.Failed() || denominator.Failed())
        return "-";
    return Formatted("%.2f", numerator.medianSeconds / denominator.medianSeconds);
}

bool PeakAboveTarget(const CaseResult &result)
{
    return result.peak.peakBytes > PeakTargetFactor * result.decodedBytes + PeakAllowanceBytes;
}

void PrintRow(const CaseResult &result)
{
    std::string peak = "-";
    std::string multiple = "-";
    if (result.peakStatus.Ok() && result.peak.result != ResultOk)
        peak = FailedCell(result.peak.result);
    else if (result.peakStatus.Ok()) {
        peak = Formatted("%.1f", InMegabytes(result.peak.peakBytes));
        multiple = Formatted("%.2f", static_cast<double>(result.peak.peakBytes) / result.decodedBytes) +
                   (PeakAboveTarget(result) ? "*" : "");
    }
    Report(RowFormat, KindName(result.kind), Formatted("%.2f", InMegabytes(result.decodedBytes)).c_str(),
           std::to_string(result.level).c_str(), Formatted("%.4f", InMegabytes(result.containerBytes)).c_str(),
           SpeedCell(result.bare, result.decodedBytes).c_str(), SpeedCell(result.fresh, result.decodedBytes).c_str(),
           SpeedCell(result.memory, result.decodedBytes).c_str(), SpeedCell(result.file, result.decodedBytes).c_str(),
           RatioCell(result.memory, result.bare).c_str(), RatioCell(result.memory, result.fresh).c_str(),
           RatioCell(result.file, result.memory).c_str(), peak.c_str(), multiple.c_str(),
           result.checked ? "" : CheckFailedNote);
}

void PrintUnrunRow(PictureKind kind, double sizeMegabytes, int level, const std::string &why)
{
    Report("%-9s %10s %5d   not run: %s\n", KindName(kind), Formatted("%.2f", sizeMegabytes).c_str(), level,
           why.c_str());
}

void PrintTableHeader(int rounds)
{
    Report("MB/s: decoded megabytes per second, median of %d round%s; mem/bare, mem/fresh, file/mem:\n"
           "ratios of those median times. fresh: bare inflate into a new zero-filled block, allocated\n"
           "(and freed) within the time, as GetPicture's is. peak: peak working set of one GetPicture\n"
           "from the file in a fresh process, in MB and as a multiple of the decoded size (* above\n"
           "%.1f x decoded + %.0f MB).\n\n",
           rounds, rounds == 1 ? "" : "s", PeakTargetFactor, InMegabytes(PeakAllowanceBytes));
    Report(RowFormat, "kind", "decoded MB", "level", "ZQV MB", "bare MB/s", "fresh MB/s", "memory MB/s", "file MB/s",
           "mem/bare", "mem/fresh", "file/mem", "peak MB", "x decoded", "");
}

const CaseResult *FindResult(const std::vector<CaseResult> &results, PictureKind kind, double sizeMegabytes, int level)
{
    for (const CaseResult &result : results)
        if (result.ran && result.kind == kind && result.sizeMegabytes == sizeMegabytes && result.level == level)
            return &result;
    return nullptr;
}

// The ratio of the two sizes' median times for one method.
std::string ScalingCell(const Timing &large, const Timing &small)
{
    if (large.Failed() || small.Failed())
        return "-";
    double ratio = large.medianSeconds / small.medianSeconds;
    return Formatted("%.2f", ratio) + (ratio > ScalingTarget ? "*" : "");
}

bool Selected(const std::vector<double> &sizesMegabytes, double sizeMegabytes)
{
    return std::find(sizesMegabytes.begin(), sizesMegabytes.end(), sizeMegabytes) != sizesMegabytes.end();
}

void PrintScalingSummary(const BenchOptions &options, const std::vector<CaseResult> &results)
{
    Report("\nscaling: median time at %g MB / median time at %g MB (* above %.1f)\n", ScalingLargeMegabytes,
           ScalingSmallMegabytes, ScalingTarget);
    if (!Selected(options.sizesMegabytes, ScalingSmallMegabytes) ||
        !Selected(options.sizesMegabytes, ScalingLargeMegabytes)) {
        Report("(needs both sizes in --sizes)\n");
        return;
    }
    const char *format = "%-9s %5s %10s %8s %8s %8s %8s\n";
    Report(format, "kind", "level", "size ratio", "bare", "fresh", "memory", "file");
    bool printed = false;
    for (PictureKind kind : options.kinds)
        for (int level : options.levels) {
            const CaseResult *small = FindResult(results, kind, ScalingSmallMegabytes, level);
            const CaseResult *large = FindResult(results, kind, ScalingLargeMegabytes, level);
            if (small == nullptr || large == nullptr)
                continue;
            double sizeRatio = static_cast<double>(large->decodedBytes) / small->decodedBytes;
            Report(format, KindName(kind), std::to_string(level).c_str(), Formatted("%.3f", sizeRatio).c_str(),
                   ScalingCell(large->bare, small->bare).c_str(), ScalingCell(large->fresh, small->fresh).c_str(),
                   ScalingCell(large->memory, small->memory).c_str(), ScalingCell(large->file, small->file).c_str());
            printed = true;
        }
    if (!printed)
        Report("(no kind and level ran at both sizes)\n");
}

} // namespace

Status RunDecodeTable(const BenchOptions &options, const PluginExports &plugin)
{
    PrintTableHeader(options.rounds);
    std::vector<CaseResult> results;
    int failedCases = 0;
    for (double sizeMegabytes : options.sizesMegabytes)
        for (PictureKind kind : options.kinds) {
            Picture picture;
            Status painted = PaintInto(kind, sizeMegabytes, &picture);
            for (int level : options.levels) {
                CaseResult result;
                result.kind = kind;
                result.sizeMegabytes = sizeMegabytes;
                result.level = level;
                result.decodedBytes = picture.layout.fileBytes;
                if (!painted.Ok()) {
                    ReportError(CaseName(kind, sizeMegabytes, level), painted.Message());
                    PrintUnrunRow(kind, sizeMegabytes, level, painted.Message());
                    ++failedCases;
                    continue;
                }
                if (!RunCase(options, plugin, &picture, level, &result))
                    ++failedCases;
                if (result.ran)
                    PrintRow(result);
                else
                    PrintUnrunRow(kind, sizeMegabytes, level, "see the error above");
                results.push_back(result);
            }
        }
    PrintScalingSummary(options, results);
    if (failedCases > 0)
        return Status::Failure(std::to_string(failedCases) + " case" + (failedCases == 1 ? "" : "s") + " failed");
    return Status::Success();
}
