#include "tools/zqv/commands.h"

#include "tools/files.h"
#include "tools/imaging.h"
#include "tools/picture_facts.h"
#include "tools/zqv/batch.h"
#include "tools/zqv/console.h"
#include "tools/zqv/inputs.h"
#include "tools/zqv_format.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

// zqv's inputs and outputs, "-" meaning a standard stream. Every step stops at
// Ctrl-C (ExitStopped); an output file is written beside its destination and
// renamed into place once complete, so an existing one survives any failure.
namespace {

struct ResultExit {
    int32_t result;
    ExitStatus status;
};

// Each plug-in result a decode can end with has an exit status of its own;
// what it means is said by the host library's ResultMessage.
constexpr ResultExit ResultExits[] = {
    {ResultAborted, ExitStopped},      {ResultBadFormat, ExitNotZqv},       {ResultBrokenData, ExitDamaged},
    {ResultNoMemory, ExitNoMemory},    {ResultMemoryError, ExitMemoryLock}, {ResultFileError, ExitFileError},
    {ResultNotImplemented, ExitNotProvided},
};

// The outcome of a GetPicture result code, its message naming subject.
Status PluginOutcome(int32_t result, const std::string &subject)
{
    if (result == ResultOk)
        return Success();
    for (const ResultExit &exit : ResultExits)
        if (exit.result == result)
            return Failure(exit.status, subject + ": " + ResultMessage(result));
    return Failure(ExitUnknownResult, subject + ": the plug-in failed with unknown result " + std::to_string(result));
}

// Fails (ExitCannotRead) when path names a directory: zqv reads files only,
// and says so before any work starts.
Status CheckNotDirectory(const std::string &path)
{
    std::error_code error;
    if (path != StandardStreamName && std::filesystem::is_directory(PathOfName(path), error))
        return Failure(ExitCannotRead, path + ": is a directory, not a file");
    return Success();
}

// Reads at most maxBytes (SIZE_MAX: all) of the file or standard input.
Status ReadInput(const std::string &path, size_t maxBytes, Bytes *contents)
{
    contents->clear();
    if (path == StandardStreamName) {
        const Bytes *input = nullptr;
        Status read = Reported(StandardInput(&input), InputName(path), ExitCannotRead);
        contents->assign(input->begin(), input->begin() + static_cast<std::ptrdiff_t>(std::min(maxBytes, input->size())));
        return read;
    }
    Status directory = CheckNotDirectory(path);
    if (!directory.Ok())
        return directory;
    return Reported(ReadFileHead(path, maxBytes, contents, Interrupted), path, ExitCannotRead);
}

// Fails (ExitCannotWrite) when the output cannot possibly be written: the
// destination is a directory, or its directory does not exist. Run before
// the work, so a long conversion is not wasted on a typo.
Status CheckOutputPath(const std::string &path)
{
    if (path == StandardStreamName)
        return Success();
    std::error_code error;
    if (std::filesystem::is_directory(PathOfName(path), error))
        return Failure(ExitCannotWrite, path + ": is a directory; name the file to write");
    std::filesystem::path parent = PathOfName(path).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, error))
        return Failure(ExitCannotWrite, path + ": no such directory: " + NameOfPath(parent));
    return Success();
}

Status WriteOutputAtomically(const std::string &path, const Bytes &contents)
{
    if (path != StandardStreamName)
        return Reported(WriteFileAtomically(path, contents, Interrupted), path, ExitCannotWrite);
    UseBinaryMode(stdout);
    return Reported(WriteStream(stdout, contents, Interrupted), "standard output", ExitCannotWrite);
}

// The most bytes an input may have: the plug-in takes a container in memory
// as long as an intptr_t counts (2 GiB - 1 in the 32-bit build), and a BMP
// file counts its size in 32 bits.
constexpr uint64_t PluginReach = std::min<uint64_t>(INTPTR_MAX, UINT32_MAX);
// The encoder takes the BMP file in slices this large, the bar moving and
// Ctrl-C seen between them.
constexpr size_t EncodeSliceBytes = 1u << 20;

Status CheckWithinReach(uint64_t bytes, const std::string &subject)
{
    if (bytes > PluginReach)
        return Failure(ExitTooLarge, subject + ": too large (more than " + std::to_string(PluginReach) + " bytes)");
    return Success();
}

// userData is the decode's ProgressShare. Returning nonzero makes the plug-in
// stop and answer ResultAborted.
int32_t WINAPI ReportProgress(int32_t numerator, int32_t denominator, intptr_t userData)
{
    reinterpret_cast<const ProgressShare *>(userData)->Update(numerator, denominator);
    return Interrupted() ? 1 : 0;
}

intptr_t ProgressData(const ProgressShare &share) { return reinterpret_cast<intptr_t>(&share); }

// The outcome of a GetPicture that answered result and, when it delivered,
// the BMP file rebuilt from its blocks, with the decoded file's own
// pixel-data offset, read from the head of the container.
Status RebuiltBmp(int32_t result, const PictureBlocks &blocks, const ContainerPlace &place,
                  const std::string &subject, Bytes *bmp)
{
    if (result != ResultOk)
        return PluginOutcome(result, subject);
    Bytes info;
    Bytes pixels;
    if (!CopyBlock(blocks.info, &info) || !CopyBlock(blocks.bits, &pixels))
        return PluginOutcome(ResultMemoryError, subject);
    PictureFacts facts;
    ReadPictureFacts(place, &facts); // the plug-in decoded it: its head is a BMP file's
    *bmp = RebuildBmp(info, pixels, facts.pixelOffset);
    return Success();
}

// Decodes the container that path names (a file, or "-"), offset bytes in.
Status DecodeInput(const std::string &path, uint64_t offset, const PluginExports &plugin,
                   const ProgressShare &share, Bytes *bmp)
{
    const std::string subject = InputName(path);
    Status ready = CheckNotDirectory(path);
    ContainerPlace place;
    if (ready.Ok())
        ready = Reported(ContainerOf(path, offset, &place), subject, ExitCannotRead);
    if (ready.Ok() && place.bytes != nullptr)
        ready = CheckWithinReach(place.bytes->size() - std::min<uint64_t>(offset, place.bytes->size()), subject);
    if (!ready.Ok())
        return ready;
    PictureBlocks blocks;
    int32_t result = GetPictureAt(plugin, place, &blocks, ReportProgress, ProgressData(share));
    return RebuiltBmp(result, blocks, place, subject, bmp);
}

// The single-file form's decode, its bar its own.
Status DecodeOneFile(const Options &options, const PluginExports &plugin, Bytes *bmp)
{
    const std::string &path = options.operands[0];
    uint64_t containerBytes = InputBytes(path, options.offset);
    ProgressBar bar(!options.quiet, containerBytes);
    return DecodeInput(path, options.offset, plugin, {bar, 0, containerBytes, containerBytes}, bmp);
}

// The format a decode writes its output in: --format where given, else what
// the output's name ends in (BMP for a name without an ending, and for
// standard output). Refused before any work (ExitUsage): an ending zqv
// writes no format for, and one that --format contradicts.
Status OutputFormat(const Options &options, const std::string &output, const ImageFormat **format)
{
    const ImageFormat *named = options.format.empty() ? nullptr : ImageFormatNamed(options.format);
    bool hasEnding = false;
    const ImageFormat *byName = output == StandardStreamName ? nullptr : ImageFormatOfName(output, &hasEnding);
    if (hasEnding && byName == nullptr)
        return Failure(ExitUsage, output + ": zqv writes no pictures of that name (it writes " + ImageFormatNames() +
                                      "; --format NAME says which)");
    if (named != nullptr && byName != nullptr && named != byName)
        return Failure(ExitUsage, output + ": the name asks for " + byName->name + ", --format for " + named->name);
    *format = named != nullptr ? named : byName != nullptr ? byName : &BmpFormat;
    return Success();
}

// The decoded BMP file written to output in format: the file itself, or as
// the platform's encoder makes the picture (ExitCannotWrite when it cannot).
Status WriteDecoded(const std::string &output, const Bytes &bmp, const ImageFormat &format, int quality)
{
    if (&format == &BmpFormat)
        return WriteOutputAtomically(output, bmp);
    Bytes image;
    Status encoded = EncodeImage(bmp, format, quality, &image);
    if (!encoded.Ok())
        return Failure(ExitCannotWrite, output + ": " + encoded.Message());
    return WriteOutputAtomically(output, image);
}

Status CheckBmpFile(const Bytes &bytes, const std::string &subject)
{
    const char *problem = BmpFileProblem(bytes);
    if (problem == nullptr)
        return Success();
    return Failure(ExitNotBmp, subject + ": not a BMP file (" + problem + ")");
}

// The BMP file an encode wraps: a BMP file input as it is, byte for byte;
// any other picture the platform reads, as a BMP file of its pixels (with
// alpha where keepAlpha asks and it has transparency). A file that starts as
// a BMP file does is judged as one. A ZQV picture is refused: wrapping it
// again makes nothing new, and the platform would read it only through a
// ZQV codec installed there (zqv decode is the way to its pixels).
Status BmpOfInput(Bytes &&input, bool keepAlpha, const std::string &subject, Bytes *bmp)
{
    bool looksLikeBmp = input.size() >= 2 && input[0] == 'B' && input[1] == 'M';
    if (looksLikeBmp || BmpFileProblem(input) == nullptr) {
        Status sound = CheckBmpFile(input, subject);
        *bmp = std::move(input);
        return sound;
    }
    PictureFacts facts;
    if (ReadPictureFacts(ContainerPlace(&input), &facts).Ok())
        return Failure(ExitNotBmp, subject + ": not a picture to wrap: it is a ZQV picture already");
    Status decoded = DecodeImage(input, keepAlpha, bmp);
    if (!decoded.Ok())
        return Failure(ExitNotBmp, subject + ": not a picture zqv reads (" + decoded.Message() + ")");
    return Success();
}

// Compresses bmp at level into *container, the bar showing how far; zlib
// failing fails with ExitNoMemory.
Status EncodeContainer(const Bytes &bmp, int level, const ProgressShare &share, const std::string &subject,
                       Bytes *container)
{
    ZqvEncoder encoder;
    Status status = encoder.Start(level, AppendTo(container));
    for (size_t done = 0; status.Ok() && done < bmp.size();) {
        if (Interrupted())
            return Failure(ExitStopped, subject + ": stopped");
        size_t slice = std::min(EncodeSliceBytes, bmp.size() - done);
        status = encoder.Append(bmp.data() + done, slice);
        done += slice;
        share.Update(static_cast<int64_t>(done), static_cast<int64_t>(bmp.size()));
    }
    if (status.Ok())
        status = encoder.Finish();
    return status.Ok() ? status : Failure(ExitNoMemory, subject + ": " + status.Message());
}

// Encodes the picture input (a file, or "-") at level into output.
Status EncodeInto(const std::string &input, const std::string &output, const Options &options,
                  const ProgressShare &share)
{
    const std::string subject = InputName(input);
    Bytes file;
    Bytes bmp;
    Status outcome = ReadInput(input, SIZE_MAX, &file);
    if (outcome.Ok())
        outcome = BmpOfInput(std::move(file), options.alpha, subject, &bmp);
    if (outcome.Ok())
        outcome = CheckWithinReach(bmp.size(), subject);
    Bytes container;
    if (outcome.Ok())
        outcome = EncodeContainer(bmp, options.level, share, subject, &container);
    if (outcome.Ok())
        outcome = WriteOutputAtomically(output, container);
    return outcome;
}

// How a conversion of a batch counts in its summary.
enum ConversionTally { Converted, Skipped, Failed, ConversionTallies };

// A batch: what it takes from directories, and the ending of what it makes.
struct BatchKind {
    NameFilter takes;
    std::string to;
};

// Makes one planned conversion (the plug-in decodes; without it, encodes).
Status Convert(const Options &options, const PluginExports *plugin, const Conversion &conversion,
               const ProgressShare &share)
{
    std::error_code error;
    std::filesystem::create_directories(PathOfName(conversion.output).parent_path(), error);
    if (error)
        return Failure(ExitCannotWrite, conversion.output + ": cannot make its directory: " + error.message());
    if (plugin == nullptr)
        return EncodeInto(conversion.input.path, conversion.output, options, share);
    const ImageFormat *format = nullptr;
    Status outcome = OutputFormat(options, conversion.output, &format);
    Bytes bmp;
    if (outcome.Ok())
        outcome = DecodeInput(conversion.input.path, options.offset, *plugin, share, &bmp);
    return outcome.Ok() ? WriteDecoded(conversion.output, bmp, *format, options.quality) : outcome;
}

// What one conversion of a batch comes to.
ItemReport ConvertItem(const Options &options, const PluginExports *plugin, const Conversion &conversion,
                       const ProgressShare &share)
{
    const std::string subject = InputName(conversion.input.path);
    if (!conversion.refused.Ok())
        return {"", FailureLine(conversion.refused), Failed, ExitSomeFailed};
    if (conversion.skipped)
        return {"", "zqv: " + subject + ": skipped: " + conversion.output + " exists (--force replaces it)\n",
                Skipped};
    Status outcome = Convert(options, plugin, conversion, share);
    if (outcome.Code() == ExitStopped)
        return {"", FailureLine(outcome), Failed, ExitStopped, true};
    if (!outcome.Ok())
        return {"", FailureLine(outcome), Failed, outcome.Code()};
    return {subject + " -> " + conversion.output + "\n", "", Converted};
}

// The report of a picture whose worker died converting it; the temporary
// file it may have left is removed.
ItemReport LostConversion(const Conversion &conversion, int workerId, const std::string &how)
{
    if (workerId != 0)
        RemoveTemporariesOf(conversion.output, workerId);
    return {"", "zqv: " + InputName(conversion.input.path) + ": not converted: " + WorkerLost(how) + "\n", Failed,
            ExitSomeFailed};
}

// Every input converted below the output directory, one bad file reported
// and the rest going on; Ctrl-C stops the whole batch.
Status ConvertBatch(const Options &options, const PluginExports *plugin, const BatchKind &kind)
{
    std::vector<Conversion> conversions =
        PlanConversions(CollectInputs(options.operands, options.recursive, kind.takes), options.outputDirectory,
                        kind.to, options.force);
    ItemWork work;
    work.count = conversions.size();
    work.here = [&](size_t at, const ProgressShare &share) {
        return ConvertItem(options, plugin, conversions[at], share);
    };
    work.request = [&](size_t at) {
        const Conversion &conversion = conversions[at];
        bool decided = !conversion.refused.Ok() || conversion.skipped;
        return decided || conversion.input.path == StandardStreamName ? Message{}
                                                                       : Message{conversion.input.path, conversion.output};
    };
    work.lost = [&](size_t at, int workerId, const std::string &how) {
        return LostConversion(conversions[at], workerId, how);
    };
    work.bytes = [&](size_t at) { return InputBytes(conversions[at].input.path); };
    int tallies[ConversionTallies] = {};
    auto counted = [&](const ItemReport &report) { ++tallies[report.tally]; };
    if (RunItems(work, JobsOf(options), WorkerArguments(options), !options.quiet, counted))
        return Failure(ExitStopped, "");
    std::printf("%d converted, %d skipped, %d failed\n", tallies[Converted], tallies[Skipped], tallies[Failed]);
    FlushReport();
    return tallies[Failed] == 0 ? Success() : Failure(ExitSomeFailed, "");
}

} // namespace

Status RunDecode(const Options &options, const PluginExports &plugin)
{
    if (IsBatch(options)) {
        const ImageFormat *format = options.format.empty() ? &BmpFormat : ImageFormatNamed(options.format);
        return ConvertBatch(options, &plugin, {IsZqvName, format->extensions[0]});
    }
    const std::string &output = options.operands[1];
    const ImageFormat *format = nullptr;
    Status outcome = OutputFormat(options, output, &format);
    if (outcome.Ok())
        outcome = CheckOutputPath(output);
    Bytes bmp;
    if (outcome.Ok())
        outcome = DecodeOneFile(options, plugin, &bmp);
    if (outcome.Ok())
        outcome = WriteDecoded(output, bmp, *format, options.quality);
    return outcome;
}

Status RunEncode(const Options &options)
{
    if (IsBatch(options))
        return ConvertBatch(options, nullptr, {IsPictureName, ".zqv"});
    const std::string &input = options.operands[0];
    Status outcome = CheckOutputPath(options.operands[1]);
    uint64_t inputBytes = InputBytes(input);
    ProgressBar bar(!options.quiet, inputBytes);
    if (outcome.Ok())
        outcome = EncodeInto(input, options.operands[1], options, {bar, 0, inputBytes, inputBytes});
    return outcome;
}

Status ProbeFile(const PluginExports &plugin, const std::string &path, bool *recognised)
{
    Bytes head;
    Status read = ReadInput(path, ProbeHeadBytes, &head);
    if (!read.Ok())
        return read;
    head.resize(ProbeHeadBytes, 0);
    *recognised = plugin.IsSupported(path.c_str(), reinterpret_cast<HandleOrAddress>(head.data())) != 0;
    return Success();
}

Status RunProbe(const Options &options, const PluginExports &plugin)
{
    ExitStatus status = ExitOk;
    for (const std::string &path : options.operands) {
        bool recognised = false;
        Status probed = ProbeFile(plugin, path, &recognised);
        if (probed.Code() == ExitStopped)
            return probed;
        if (!probed.Ok()) {
            ReportFailure(probed);
            status = ExitCannotRead;
            continue;
        }
        std::printf("%s: %s\n", InputName(path).c_str(), recognised ? "ZQV picture" : "not a ZQV picture");
        if (!recognised && status == ExitOk)
            status = ExitNotRecognised;
    }
    FlushReport();
    return Failure(status, "");
}

ItemReport ConvertRequest(const Options &options, const PluginExports *plugin, const Message &request)
{
    constexpr size_t Parts = 2; // the input, the output
    if (request.size() != Parts)
        return {"", "zqv: a worker's request is not a conversion\n", Failed, ExitSomeFailed};
    Conversion conversion{{request[0], "", Success()}, request[1], Success()};
    ProgressBar unseen(false, 0);
    return ConvertItem(options, plugin, conversion, {unseen, 0, 0, 0});
}
