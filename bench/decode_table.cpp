#include "bench/decode_table.h"

#include "bench/peak.h"
#include "bench/pictures.h"
#include "bench/report.h"
#include "bench/timing.h"
#include "codec/container.h"
#include "tools/files.h"
#include "tools/zqv_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

constexpr const char *RowFormat = "%-9s %10s %5s %9s %10s %10s %10s %10s %11s %10s %8s %8s %9s %6s %8s %9s %9s%s\n";
constexpr const char *CheckFailedNote = "  (wrong output, see above)";

// The ways of decoding, in the order of the table's columns. Touch decodes
// nothing: it makes a block of the decoded size as fresh's is made, writes a
// byte to each page and frees it, the memory floor of any decoder that hands
// over new memory. Own is the build's own inflater (codec/inflater.h) bare,
// where that is not zlib.
enum DecodeMethod { BareMethod, FreshMethod, OwnMethod, TouchMethod, MemoryMethod, FileMethod, MethodCount };
constexpr const char *MethodNames[MethodCount] = {"bare inflate", "inflate into a fresh block",
                                                  "the build's inflater bare", "touching a fresh block",
                                                  "GetPicture from memory", "GetPicture from a file"};
#ifdef ZQV_INFLATE_WITH_ISAL
constexpr bool HasOwnInflater = true;
#else
constexpr bool HasOwnInflater = false;
#endif
constexpr uint64_t PageBytes = 4096;

// One line of the table.
struct CaseResult {
    PictureKind kind = PictureKind::Flat;
    double sizeMegabytes = 0; // as asked for
    int level = 0;
    uint64_t decodedBytes = 0;
    uint64_t containerBytes = 0;
    std::vector<Timing> timings = std::vector<Timing>(MethodCount);
    Status peakStatus = Status::Success();
    PeakReport peak;
    bool ran = false;     // false when the case could not even be set up
    bool checked = false; // true when what every method delivered was the picture
};

// A generated picture shared by the cases of every level.
struct Picture {
    PictureLayout layout;
    Bytes file;         // also bare inflate's output buffer
    uLong checksum = 0; // CRC-32 of the file as painted
};

// What one case's methods work on.
struct CaseData {
    const PluginExports &plugin;
    Picture &picture;
    Bytes container; // scrambled, but for the untimed moments around bare inflate
    std::string containerPath;
};

// Report has flushed standard output, so the message comes after the lines before it.
void ReportError(const std::string &subject, const std::string &message)
{
    std::fprintf(stderr, "zqv_bench: %s: %s\n", subject.c_str(), message.c_str());
}

Status PaintInto(PictureKind kind, double sizeMegabytes, Picture *picture)
{
    Status status = LayoutPicture(kind, FromMegabytes(sizeMegabytes), &picture->layout);
    if (!status.Ok())
        return status;
    try { // a 32-bit process may find no room for the largest pictures
        picture->file.resize(static_cast<size_t>(picture->layout.fileBytes));
    } catch (const std::exception &) { // bad_alloc, or length_error beyond the address space
        return Status::Failure("cannot allocate " + std::to_string(picture->layout.fileBytes) + " bytes");
    }
    PaintPicture(picture->layout, picture->file.data());
    picture->checksum = crc32_z(0, picture->file.data(), picture->file.size());
    return Status::Success();
}

// zlib alone: the whole descrambled stream, one inflate call, into the
// outputBytes at output (null: zlib's failure for memory it could not have).
int32_t InflateWhole(const Bytes &stream, uint8_t *output, uint64_t outputBytes)
{
    z_stream inflater{};
    if (output == nullptr || inflateInit(&inflater) != Z_OK)
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

// The build's inflater alone, as GetPicture runs it but in as few steps as
// it likes: the whole descrambled stream into outputBytes at output.
int32_t InflateWithOwnInflater(const Bytes &stream, uint8_t *output, uint64_t outputBytes)
{
    StreamInflater inflater{};
    if (!StartStreamInflater(&inflater))
        return Z_MEM_ERROR;
    SetInflateInput(&inflater, stream.data(), static_cast<uint32_t>(stream.size()));
    uint64_t produced = 0;
    InflateOutcome outcome = InflateOutcome::Going;
    while (outcome == InflateOutcome::Going && produced < outputBytes) {
        uint32_t stepProduced = 0;
        uint32_t room = static_cast<uint32_t>(std::min<uint64_t>(outputBytes - produced, UINT32_MAX));
        outcome = InflateInto(&inflater, output + produced, room, &stepProduced);
        produced += stepProduced;
        if (stepProduced == 0 && InflateInputLeft(&inflater) == 0)
            break;
    }
    EndStreamInflater(&inflater);
    if (outcome == InflateOutcome::Damaged)
        return Z_DATA_ERROR;
    return outcome == InflateOutcome::Ended && produced == outputBytes ? Z_OK : Z_BUF_ERROR;
}

// A new block made as the host makes GetPicture's (fixed, zero-filled local
// memory, locked); null when it cannot be had.
uint8_t *NewHostBlock(uint64_t bytes, HLOCAL *handle)
{
    *handle = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, static_cast<size_t>(bytes));
    return *handle == nullptr ? nullptr : static_cast<uint8_t *>(LocalLock(*handle));
}

void FreeHostBlock(HLOCAL handle, uint8_t *block)
{
    if (block != nullptr)
        LocalUnlock(handle);
    if (handle != nullptr)
        LocalFree(handle);
}

// A new block of the decoded size, a byte written to each page, freed.
int32_t TouchFreshBlock(uint64_t bytes)
{
    HLOCAL handle;
    uint8_t *block = NewHostBlock(bytes, &handle);
    if (block == nullptr) {
        FreeHostBlock(handle, block);
        return Z_MEM_ERROR;
    }
    for (uint64_t offset = 0; offset < bytes; offset += PageBytes)
        static_cast<volatile uint8_t *>(block)[offset] = 1;
    FreeHostBlock(handle, block);
    return Z_OK;
}

// Bare inflate into a new block made as the host makes GetPicture's, so that
// it pays the same page faults; the block is freed before returning,
// *checksum (if given) gets its CRC-32.
int32_t InflateIntoFreshBlock(const Bytes &stream, uint64_t bytes, uLong *checksum = nullptr)
{
    HLOCAL handle;
    uint8_t *block = NewHostBlock(bytes, &handle);
    int32_t code = InflateWhole(stream, block, bytes);
    if (checksum != nullptr && code == Z_OK)
        *checksum = crc32_z(0, block, static_cast<size_t>(bytes));
    FreeHostBlock(handle, block);
    return code;
}

void DescrambleInPlace(Bytes *container) { Descramble(container->data(), static_cast<uint32_t>(container->size())); }

// Decodes the container once by method: bare inflate into the picture's
// buffer, GetPicture into *blocks.
int32_t Decode(DecodeMethod method, CaseData &data, PictureBlocks *blocks)
{
    Bytes &file = data.picture.file;
    switch (method) {
    case BareMethod:
        return InflateWhole(data.container, file.data(), file.size());
    case FreshMethod:
        return InflateIntoFreshBlock(data.container, file.size());
    case OwnMethod:
        return InflateWithOwnInflater(data.container, file.data(), file.size());
    case TouchMethod:
        return TouchFreshBlock(file.size());
    case MemoryMethod:
        return GetPictureFromMemory(data.plugin, data.container, blocks);
    default:
        return GetPictureFromFile(data.plugin, data.containerPath, 0, blocks);
    }
}

bool InflatesAlone(DecodeMethod method) { return method == BareMethod || method == FreshMethod || method == OwnMethod; }

bool IsRun(DecodeMethod method) { return method != OwnMethod || HasOwnInflater; }

// The methods to time for one case. Untimed around a run, inflating alone
// descrambles the container in place (a 32-bit process has no room for a
// second copy), and GetPicture's blocks are freed, as the viewer does later.
std::vector<TimedMethod> DecodeMethods(CaseData &data, PictureBlocks *blocks)
{
    std::vector<TimedMethod> methods;
    for (int each = 0; each < MethodCount; ++each) {
        auto method = static_cast<DecodeMethod>(each);
        auto descramble = [&data] { DescrambleInPlace(&data.container); };
        auto run = [method, &data, blocks] { return Decode(method, data, blocks); };
        if (!IsRun(method))
            methods.push_back({});
        else if (method == TouchMethod)
            methods.push_back({nullptr, run, nullptr});
        else if (InflatesAlone(method))
            methods.push_back({descramble, run, descramble});
        else
            methods.push_back({nullptr, run, [blocks] { blocks->Free(); }});
    }
    return methods;
}

std::string MethodFailure(DecodeMethod method, int32_t code)
{
    std::string why = InflatesAlone(method) || method == TouchMethod ? "zlib code " + std::to_string(code)
                                            : "code " + std::to_string(code) + ", " + ResultName(code);
    return std::string(MethodNames[method]) + " failed (" + why + ")";
}

// The blocks must hold the file's bytes 14..off-1, and its bytes off..end
// followed by zeros up to the file's length.
Status CheckDelivered(const PictureBlocks &blocks, const Picture &picture)
{
    uint32_t pixelOffset = picture.layout.pixelOffset;
    const uint8_t *file = picture.file.data();
    Bytes info;
    Bytes bits;
    if (!CopyBlock(blocks.info, &info) || !CopyBlock(blocks.bits, &bits))
        return Status::Failure("a block cannot be locked");
    // The info block may be padded with zeros past the file's information:
    // a palette shorter than 2^bits entries is, for viewers that read them all.
    uint32_t infoBytes = pixelOffset - BmpFileHeaderSize;
    if (info.size() < infoBytes || !std::equal(file + BmpFileHeaderSize, file + pixelOffset, info.begin()) ||
        std::any_of(info.begin() + infoBytes, info.end(), [](uint8_t b) { return b; }))
        return Status::Failure("the info block is not the picture's bitmap information");
    uint64_t pixelBytes = picture.file.size() - pixelOffset;
    uint64_t wholeFile = BmpFileHeaderSize + info.size() + pixelBytes; // the file the two blocks make
    if (bits.size() != wholeFile || std::memcmp(bits.data(), file + pixelOffset, pixelBytes) != 0)
        return Status::Failure("the bits block is not the picture's pixel data");
    if (std::any_of(bits.begin() + static_cast<std::ptrdiff_t>(pixelBytes), bits.end(), [](uint8_t b) { return b; }))
        return Status::Failure("the bits block is not zero after the pixel data");
    return Status::Success();
}

// Decodes once more by method, untimed, and checks that it gave the picture.
Status CheckMethod(DecodeMethod method, CaseData &data)
{
    const Picture &picture = data.picture;
    const std::string name = MethodNames[method];
    PictureBlocks blocks;
    uLong checksum = 0;
    int32_t code = ResultOk; // Z_OK for the methods that inflate alone
    if (!IsRun(method) || method == TouchMethod)
        return Status::Success();
    if (method == BareMethod || method == OwnMethod) {
        data.picture.file.assign(data.picture.file.size(), 0);
        DescrambleInPlace(&data.container);
        code = Decode(method, data, nullptr);
        DescrambleInPlace(&data.container);
        checksum = crc32_z(0, picture.file.data(), picture.file.size());
    } else if (method == FreshMethod) {
        DescrambleInPlace(&data.container);
        code = InflateIntoFreshBlock(data.container, picture.file.size(), &checksum);
        DescrambleInPlace(&data.container);
    } else {
        code = Decode(method, data, &blocks);
    }
    if (code != ResultOk)
        return Status::Failure(MethodFailure(method, code) + " when checked");
    if (InflatesAlone(method))
        return checksum == picture.checksum ? Status::Success() : Status::Failure(name + " did not reproduce the picture");
    Status checked = CheckDelivered(blocks, picture);
    return checked.Ok() ? checked : Status::Failure(name + ": " + checked.Message());
}

// Unless the picture could not be painted, compresses it, times the four
// methods, checks what they gave and measures the peak; true if all worked.
bool RunCase(const BenchOptions &options, const PluginExports &plugin, const Status &painted, Picture *picture,
             CaseResult *result)
{
    std::string name = KindName(result->kind) + Formatted(" %g MB level ", result->sizeMegabytes) +
                       std::to_string(result->level);
    TempPath containerPath("zqv-bench", ".zqv");
    CaseData data{plugin, *picture, {}, containerPath.Path()};
    auto wholePicture = [picture](ZqvEncoder &encoder) {
        return encoder.Append(picture->file.data(), picture->file.size());
    };
    Status status = painted;
    if (status.Ok())
        status = WriteZqvFile(data.containerPath, result->level, wholePicture, &result->containerBytes);
    if (status.Ok())
        status = ReadWholeFile(data.containerPath, &data.container);
    if (!status.Ok()) {
        ReportError(name, status.Message());
        return false;
    }
    result->ran = true;
    PictureBlocks blocks;
    result->timings = TimeSideBySide(DecodeMethods(data, &blocks), options.rounds);
    result->checked = true;
    bool worked = true;
    for (int each = 0; each < MethodCount; ++each) {
        auto method = static_cast<DecodeMethod>(each);
        const Timing &timing = result->timings[method];
        Status checked =
            timing.Failed() ? Status::Failure(MethodFailure(method, timing.failure)) : CheckMethod(method, data);
        if (!checked.Ok())
            ReportError(name, checked.Message());
        result->checked = result->checked && (timing.Failed() || checked.Ok());
        worked = worked && checked.Ok();
    }
    data.container = Bytes(); // gives the memory back, which clear() alone does not
    result->peakStatus = MeasurePeakInChild(data.containerPath, &result->peak);
    if (!result->peakStatus.Ok())
        ReportError(name, "peak: " + result->peakStatus.Message());
    else if (result->peak.result != ResultOk)
        ReportError(name, "peak: " + MethodFailure(FileMethod, result->peak.result) + " in the child");
    return worked && result->peakStatus.Ok() && result->peak.result == ResultOk;
}

std::string FailedCell(int32_t code) { return "failed (code " + std::to_string(code) + ")"; }

std::string SpeedCell(const Timing &timing, uint64_t decodedBytes)
{
    if (timing.Failed())
        return FailedCell(timing.failure);
    if (timing.roundSeconds.empty())
        return "-";
    return Formatted("%.1f", InMegabytes(decodedBytes) / timing.medianSeconds);
}

// The ratio of two methods' median times; a star marks one above target.
std::string RatioCell(const Timing &numerator, const Timing &denominator, double target = 0)
{
    if (numerator.Failed() || denominator.Failed() || numerator.roundSeconds.empty() ||
        denominator.roundSeconds.empty())
        return "-";
    double ratio = numerator.medianSeconds / denominator.medianSeconds;
    return Formatted("%.2f", ratio) + (target > 0 && ratio > target ? "*" : "");
}

// The decoding work of GetPicture from memory beyond the memory floor, in
// units of zlib's: (memory - touch) / (fresh - touch), each round's, median.
// Rounds where fresh took no longer than touch say nothing and are left out.
std::string WorkCell(const std::vector<Timing> &t)
{
    const std::vector<double> &memory = t[MemoryMethod].roundSeconds;
    const std::vector<double> &touch = t[TouchMethod].roundSeconds;
    const std::vector<double> &fresh = t[FreshMethod].roundSeconds;
    std::vector<double> ratios;
    for (size_t round = 0; round < std::min({memory.size(), touch.size(), fresh.size()}); ++round)
        if (fresh[round] > touch[round])
            ratios.push_back((memory[round] - touch[round]) / (fresh[round] - touch[round]));
    return ratios.empty() ? "-" : Formatted("%.2f", Median(ratios));
}

void PrintRow(const CaseResult &result)
{
    std::string peak = "-";
    std::string multiple = "-";
    if (result.peakStatus.Ok() && result.peak.result != ResultOk)
        peak = FailedCell(result.peak.result);
    else if (result.peakStatus.Ok()) {
        bool aboveTarget = result.peak.peakBytes > PeakTargetFactor * result.decodedBytes + PeakAllowanceBytes;
        peak = Formatted("%.1f", InMegabytes(result.peak.peakBytes));
        multiple = Formatted("%.2f", static_cast<double>(result.peak.peakBytes) / result.decodedBytes) +
                   (aboveTarget ? "*" : "");
    }
    const std::vector<Timing> &t = result.timings;
    Report(RowFormat, KindName(result.kind), Formatted("%.2f", InMegabytes(result.decodedBytes)).c_str(),
           std::to_string(result.level).c_str(), Formatted("%.4f", InMegabytes(result.containerBytes)).c_str(),
           SpeedCell(t[BareMethod], result.decodedBytes).c_str(), SpeedCell(t[FreshMethod], result.decodedBytes).c_str(),
           SpeedCell(t[OwnMethod], result.decodedBytes).c_str(), SpeedCell(t[TouchMethod], result.decodedBytes).c_str(),
           SpeedCell(t[MemoryMethod], result.decodedBytes).c_str(), SpeedCell(t[FileMethod], result.decodedBytes).c_str(),
           RatioCell(t[MemoryMethod], t[BareMethod]).c_str(), RatioCell(t[OwnMethod], t[BareMethod]).c_str(),
           RatioCell(t[MemoryMethod], t[FreshMethod]).c_str(), WorkCell(t).c_str(),
           RatioCell(t[FileMethod], t[MemoryMethod]).c_str(), peak.c_str(), multiple.c_str(),
           result.checked ? "" : CheckFailedNote);
}

void PrintUnrunRow(PictureKind kind, double sizeMegabytes, int level, const std::string &why)
{
    Report("%-9s %10s %5d   not run: %s\n", KindName(kind), Formatted("%.2f", sizeMegabytes).c_str(), level,
           why.c_str());
}
void PrintTableHeader(int rounds)
{
    Report("MB/s: decoded megabytes per second, median of %d round%s; mem/bare, own/bare, mem/fresh,\n"
           "file/mem: ratios of those median times. bare, fresh: zlib's inflate, into a buffer made once\n"
           "and into a new zero-filled block allocated (and freed) within the time, as GetPicture's is.\n"
           "own: the build's own inflater (%s) as bare. touch: a new block of the decoded size made as\n"
           "fresh's, a byte written to each 4 KB page. work: (memory - touch) / (fresh - touch) in each\n"
           "round, median: GetPicture's decoding work beyond the memory floor, in zlib's. peak: peak\n"
           "working set of one GetPicture from the file in a fresh process, in MB and as a multiple of\n"
           "the decoded size (* above %.1f x decoded + %.0f MB).\n\n",
           rounds, rounds == 1 ? "" : "s", HasOwnInflater ? "ISA-L" : "zlib, so not timed twice", PeakTargetFactor,
           InMegabytes(PeakAllowanceBytes));
    Report(RowFormat, "kind", "decoded MB", "level", "ZQV MB", "bare MB/s", "fresh MB/s", "own MB/s", "touch MB/s",
           "memory MB/s", "file MB/s", "mem/bare", "own/bare", "mem/fresh", "work", "file/mem", "peak MB", "x decoded",
           "");
}

const CaseResult *FindResult(const std::vector<CaseResult> &results, PictureKind kind, double sizeMegabytes, int level)
{
    for (const CaseResult &result : results)
        if (result.ran && result.kind == kind && result.sizeMegabytes == sizeMegabytes && result.level == level)
            return &result;
    return nullptr;
}

void PrintScalingSummary(const BenchOptions &options, const std::vector<CaseResult> &results)
{
    Report("\nscaling: median time at %g MB / median time at %g MB (* above %.1f)\n", ScalingLargeMegabytes,
           ScalingSmallMegabytes, ScalingTarget);
    const std::vector<double> &sizes = options.sizesMegabytes;
    if (std::ranges::count(sizes, ScalingSmallMegabytes) == 0 || std::ranges::count(sizes, ScalingLargeMegabytes) == 0) {
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
            std::vector<std::string> cells;
            for (int method = 0; method < MethodCount; ++method)
                cells.push_back(RatioCell(large->timings[method], small->timings[method], ScalingTarget));
            Report(format, KindName(kind), std::to_string(level).c_str(), Formatted("%.3f", sizeRatio).c_str(),
                   cells[BareMethod].c_str(), cells[FreshMethod].c_str(), cells[MemoryMethod].c_str(),
                   cells[FileMethod].c_str());
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
                if (!RunCase(options, plugin, painted, &picture, &result))
                    ++failedCases;
                if (result.ran)
                    PrintRow(result);
                else
                    PrintUnrunRow(kind, sizeMegabytes, level, painted.Ok() ? "see the error above" : painted.Message());
                results.push_back(result);
            }
        }
    PrintScalingSummary(options, results);
    if (failedCases > 0)
        return Status::Failure(std::to_string(failedCases) + " case" + (failedCases == 1 ? "" : "s") + " failed");
    return Status::Success();
}
