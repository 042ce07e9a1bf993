#include "tools/zqv/commands.h"

#include "tools/files.h"
#include "tools/zqv/console.h"
#include "tools/zqv_format.h"

#include <climits>
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

// The host library's failure about subject (a file name, or "standard
// input"), with the exit status given, or ExitStopped when it was stopped.
Status Reported(const Status &status, const std::string &subject, ExitStatus failed)
{
    if (status.Ok())
        return status;
    return Failure(status.Code() == Status::Stopped ? ExitStopped : failed, subject + ": " + status.Message());
}

// How the user knows an input: "-" is standard input.
std::string InputName(const std::string &path) { return path == "-" ? "standard input" : path; }

// Fails (ExitCannotRead) when path names a directory: zqv reads files only,
// and says so before any work starts.
Status CheckNotDirectory(const std::string &path)
{
    std::error_code error;
    if (path != "-" && std::filesystem::is_directory(path, error))
        return Failure(ExitCannotRead, path + ": is a directory, not a file");
    return Success();
}

// Reads at most maxBytes (SIZE_MAX: all) of the file or standard input.
Status ReadInput(const std::string &path, size_t maxBytes, Bytes *contents)
{
    contents->clear();
    if (path == "-") {
        UseBinaryMode(stdin);
        return Reported(ReadStream(stdin, maxBytes, contents, Interrupted), InputName(path), ExitCannotRead);
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
    if (path == "-")
        return Success();
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return Failure(ExitCannotWrite, path + ": is a directory; name the file to write");
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, error))
        return Failure(ExitCannotWrite, path + ": no such directory: " + parent.string());
    return Success();
}

Status WriteOutputAtomically(const std::string &path, const Bytes &contents)
{
    if (path != "-")
        return Reported(WriteFileAtomically(path, contents, Interrupted), path, ExitCannotWrite);
    UseBinaryMode(stdout);
    return Reported(WriteStream(stdout, contents, Interrupted), "standard output", ExitCannotWrite);
}

// The plug-in measures containers and files in signed 32-bit numbers.
constexpr uint64_t PluginReach = INT32_MAX;
// The encoder takes the BMP file in slices this large, the bar moving and
// Ctrl-C seen between them.
constexpr size_t EncodeSliceBytes = 1u << 20;

Status CheckWithinReach(uint64_t bytes, const std::string &subject)
{
    if (bytes > PluginReach)
        return Failure(ExitTooLarge, subject + ": too large (2 GiB or more)");
    return Success();
}

// userData is the decode's ProgressBar. Returning nonzero makes the plug-in
// stop and answer ResultAborted.
int32_t WINAPI ReportProgress(int32_t numerator, int32_t denominator, intptr_t userData)
{
    reinterpret_cast<ProgressBar *>(userData)->Update(numerator, denominator);
    return Interrupted() ? 1 : 0;
}

intptr_t ProgressData(ProgressBar *bar) { return reinterpret_cast<intptr_t>(bar); }

// The outcome of a GetPicture that answered result and, when it delivered,
// the BMP file rebuilt from its blocks.
Status RebuiltBmp(int32_t result, const PictureBlocks &blocks, const std::string &subject, Bytes *bmp)
{
    if (result != ResultOk)
        return PluginOutcome(result, subject);
    Bytes info;
    Bytes pixels;
    if (!CopyBlock(blocks.info, &info) || !CopyBlock(blocks.bits, &pixels))
        return PluginOutcome(ResultMemoryError, subject);
    *bmp = RebuildBmp(info, pixels);
    return Success();
}

Status DecodeStandardInput(const Options &options, const PluginExports &plugin, Bytes *bmp)
{
    const std::string subject = InputName("-");
    Bytes container;
    Status ready = ReadInput("-", SIZE_MAX, &container);
    size_t skipped = std::min<size_t>(container.size(), options.offset); // what comes before the container
    container.erase(container.begin(), container.begin() + static_cast<std::ptrdiff_t>(skipped));
    if (ready.Ok())
        ready = CheckWithinReach(container.size(), subject);
    if (!ready.Ok())
        return ready;
    ProgressBar bar(!options.quiet, container.size());
    PictureBlocks blocks;
    int32_t result = GetPictureFromMemory(plugin, container, &blocks, ReportProgress, ProgressData(&bar));
    return RebuiltBmp(result, blocks, subject, bmp);
}

Status DecodeNamedFile(const Options &options, const PluginExports &plugin, Bytes *bmp)
{
    const std::string &path = options.operands[0];
    Status directory = CheckNotDirectory(path);
    if (!directory.Ok())
        return directory;
    // An unknown size is left for the plug-in to report when it opens the file.
    std::error_code error;
    uint64_t fileBytes = std::filesystem::file_size(path, error);
    uint64_t containerBytes = error || fileBytes < uint64_t(options.offset) ? 0 : fileBytes - options.offset;
    ProgressBar bar(!options.quiet, containerBytes);
    PictureBlocks blocks;
    int32_t result = GetPictureFromFile(plugin, path, options.offset, &blocks, ReportProgress, ProgressData(&bar));
    return RebuiltBmp(result, blocks, path, bmp);
}

Status CheckBmpFile(const Bytes &bytes, const std::string &subject)
{
    const char *problem = BmpFileProblem(bytes);
    if (problem == nullptr)
        return Success();
    return Failure(ExitNotBmp, subject + ": not a BMP file (" + problem + ")");
}

// Compresses bmp at the options' level into *container, the bar showing how
// far; zlib failing fails with ExitNoMemory.
Status EncodeContainer(const Bytes &bmp, const Options &options, const std::string &subject, Bytes *container)
{
    ProgressBar bar(!options.quiet, bmp.size());
    ZqvEncoder encoder;
    Status status = encoder.Start(options.level, AppendTo(container));
    for (size_t done = 0; status.Ok() && done < bmp.size();) {
        if (Interrupted())
            return Failure(ExitStopped, subject + ": stopped");
        size_t slice = std::min(EncodeSliceBytes, bmp.size() - done);
        status = encoder.Append(bmp.data() + done, slice);
        done += slice;
        bar.Update(static_cast<int64_t>(done), static_cast<int64_t>(bmp.size()));
    }
    if (status.Ok())
        status = encoder.Finish();
    return status.Ok() ? status : Failure(ExitNoMemory, subject + ": " + status.Message());
}

const char *const InfoLabels[] = {"interface", "name", "pattern", "description"};
constexpr int32_t InfoStringBytes = 256;

} // namespace

Status RunDecode(const Options &options, const PluginExports &plugin)
{
    const std::string &input = options.operands[0];
    const std::string &output = options.operands[1];
    Status outcome = CheckOutputPath(output);
    Bytes bmp;
    if (outcome.Ok())
        outcome = input == "-" ? DecodeStandardInput(options, plugin, &bmp) : DecodeNamedFile(options, plugin, &bmp);
    if (outcome.Ok())
        outcome = WriteOutputAtomically(output, bmp);
    return outcome;
}

Status RunEncode(const Options &options)
{
    const std::string &input = options.operands[0];
    const std::string &output = options.operands[1];
    const std::string subject = InputName(input);
    Status outcome = CheckOutputPath(output);
    Bytes bmp;
    if (outcome.Ok())
        outcome = ReadInput(input, SIZE_MAX, &bmp);
    if (outcome.Ok())
        outcome = CheckWithinReach(bmp.size(), subject);
    if (outcome.Ok())
        outcome = CheckBmpFile(bmp, subject);
    Bytes container;
    if (outcome.Ok())
        outcome = EncodeContainer(bmp, options, subject, &container);
    if (outcome.Ok())
        outcome = WriteOutputAtomically(output, container);
    return outcome;
}

Status RunProbe(const Options &options, const PluginExports &plugin)
{
    ExitStatus status = ExitOk;
    for (const std::string &path : options.operands) {
        Bytes head;
        Status read = ReadInput(path, ProbeHeadBytes, &head);
        if (read.Code() == ExitStopped)
            return read;
        if (!read.Ok()) {
            ReportFailure(read);
            status = ExitCannotRead;
            continue;
        }
        head.resize(ProbeHeadBytes, 0);
        bool recognised = plugin.IsSupported(path.c_str(), reinterpret_cast<HandleOrAddress>(head.data())) != 0;
        std::printf("%s: %s\n", InputName(path).c_str(), recognised ? "ZQV picture" : "not a ZQV picture");
        if (!recognised && status == ExitOk)
            status = ExitNotRecognised;
    }
    std::fflush(stdout);
    return Failure(status, "");
}

Status RunInfo(const PluginExports &plugin)
{
    int32_t index = 0;
    for (const char *label : InfoLabels) {
        char text[InfoStringBytes] = {};
        int32_t written = plugin.GetPluginInfo(index++, text, InfoStringBytes - 1);
        std::printf("%-12s %.*s\n", (std::string(label) + ":").c_str(), static_cast<int>(written), text);
    }
    std::fflush(stdout);
    return Success();
}
