#include "tools/zqv/commands.h"

#include "tools/zqv/files.h"
#include "tools/zqv/interrupt.h"
#include "tools/zqv/picture_decoder.h"
#include "tools/zqv_format.h"

#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

// The plug-in measures containers and files in signed 32-bit numbers.
constexpr uint64_t PluginReach = INT32_MAX;
// The encoder takes the BMP file in slices this large, so that the bar
// moves and Ctrl-C is seen between them.
constexpr size_t EncodeSliceBytes = 1u << 20;

Status CheckWithinReach(uint64_t bytes, const std::string &subject)
{
    if (bytes > PluginReach)
        return Failure(ExitTooLarge, subject + ": too large (2 GiB or more)");
    return Success();
}

// What a container from standard input looks like from offset on.
Bytes SkipBytes(Bytes contents, int32_t offset)
{
    size_t skipped = std::min(contents.size(), static_cast<size_t>(offset));
    contents.erase(contents.begin(), contents.begin() + static_cast<std::ptrdiff_t>(skipped));
    return contents;
}

Status DecodeStandardInput(const Options &options, const PluginExports &plugin, Bytes *bmp)
{
    const std::string subject = InputName("-");
    Bytes contents;
    Status read = ReadWholeInput("-", &contents);
    if (!read.Ok())
        return read;
    Bytes container = SkipBytes(std::move(contents), options.offset);
    Status reach = CheckWithinReach(container.size(), subject);
    if (!reach.Ok())
        return reach;
    ProgressBar bar(!options.quiet, container.size());
    return DecodeMemory(plugin, container, subject, &bar, bmp);
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
    return DecodeFile(plugin, path, options.offset, &bar, bmp);
}

Status CheckBmpFile(const Bytes &bytes, const std::string &subject)
{
    const char *problem = BmpFileProblem(bytes);
    if (problem == nullptr)
        return Success();
    return Failure(ExitNotBmp, subject + ": not a BMP file (" + problem + ")");
}

// Compresses bmp at level into *container; zlib failing fails with
// ExitNoMemory.
Status EncodeContainer(const Bytes &bmp, int level, ProgressBar *bar, const std::string &subject, Bytes *container)
{
    ZqvEncoder encoder;
    Status status = encoder.Start(level, AppendTo(container));
    for (size_t done = 0; status.Ok() && done < bmp.size();) {
        if (Interrupted())
            return Failure(ExitStopped, subject + ": stopped");
        size_t slice = std::min(EncodeSliceBytes, bmp.size() - done);
        status = encoder.Append(bmp.data() + done, slice);
        done += slice;
        bar->Update(static_cast<int64_t>(done), static_cast<int64_t>(bmp.size()));
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
    Status checked = CheckOutputPath(output);
    if (!checked.Ok())
        return checked;
    Bytes bmp;
    Status decoded =
        input == "-" ? DecodeStandardInput(options, plugin, &bmp) : DecodeNamedFile(options, plugin, &bmp);
    if (!decoded.Ok())
        return decoded;
    return WriteOutputAtomically(output, bmp);
}

Status RunEncode(const Options &options)
{
    const std::string &input = options.operands[0];
    const std::string &output = options.operands[1];
    const std::string subject = InputName(input);
    Status checked = CheckOutputPath(output);
    if (!checked.Ok())
        return checked;
    Bytes bmp;
    Status outcome = ReadWholeInput(input, &bmp);
    if (outcome.Ok())
        outcome = CheckWithinReach(bmp.size(), subject);
    if (outcome.Ok())
        outcome = CheckBmpFile(bmp, subject);
    Bytes container;
    if (outcome.Ok()) {
        ProgressBar bar(!options.quiet, bmp.size());
        outcome = EncodeContainer(bmp, options.level, &bar, subject, &container);
    }
    if (outcome.Ok())
        outcome = WriteOutputAtomically(output, container);
    return outcome;
}

Status RunProbe(const Options &options, const PluginExports &plugin)
{
    ExitStatus status = ExitOk;
    for (const std::string &path : options.operands) {
        Bytes head;
        Status read = ReadInputHead(path, ProbeHeadBytes, &head);
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
