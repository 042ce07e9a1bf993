// zqv plugin, info and check: what the plug-in is, and what pictures are.
#include "tools/zqv/commands.h"

#include "tools/picture_facts.h"
#include "tools/zqv/batch.h"
#include "tools/zqv/console.h"
#include "tools/zqv/inputs.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

const char *const InfoLabels[] = {"interface", "name", "pattern", "description"};
constexpr int32_t InfoStringBytes = 256;

// printf into a string.
std::string Printed(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

// The length of the valid UTF-8 sequence at the start of bytes (at most left
// long), or 0 when none starts there: no overlong forms, no surrogates,
// nothing past U+10FFFF.
size_t Utf8SequenceLength(const unsigned char *bytes, size_t left)
{
    unsigned char lead = bytes[0];
    if (lead < 0x80)
        return 1;
    size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || length > left)
        return 0;
    // The second byte's range narrows after E0, ED, F0 and F4.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (bytes[1] < low || bytes[1] > high)
        return 0;
    for (size_t at = 2; at < length; ++at)
        if (bytes[at] < 0x80 || bytes[at] > 0xBF)
            return 0;
    return length;
}

// Text as a JSON string: quotes, backslashes and control characters escaped,
// valid UTF-8 passed on; a byte that starts no valid UTF-8 sequence becomes
// U+FFFD, and *lossy is set.
std::string JsonString(const std::string &text, bool *lossy = nullptr)
{
    std::string quoted = "\"";
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t at = 0; at < text.size();) {
        unsigned char byte = bytes[at];
        size_t length = Utf8SequenceLength(bytes + at, text.size() - at);
        if (length == 0) {
            quoted += "\\ufffd";
            if (lossy != nullptr)
                *lossy = true;
            ++at;
            continue;
        }
        if (byte == '"' || byte == '\\')
            quoted += std::string("\\") + static_cast<char>(byte);
        else if (byte < 0x20)
            quoted += Printed("\\u%04x", byte);
        else
            quoted.append(text, at, length);
        at += length;
    }
    return quoted + "\"";
}

// The "file" member of a picture's JSON object: its name as UTF-8 (in the
// Windows builds converted from the ANSI code page). A name that is no valid
// UTF-8 (a Linux name may be any bytes) also gets "file_bytes", the name's
// bytes as numbers, so that the exact name can be had back.
std::string JsonFileMembers(const std::string &path)
{
    bool lossy = false;
    std::string members = "\"file\": " + JsonString(Utf8OfName(path), &lossy);
    if (!lossy)
        return members;
    members += ", \"file_bytes\": [";
    for (size_t at = 0; at < path.size(); ++at)
        members += (at == 0 ? "" : ", ") + std::to_string(static_cast<unsigned char>(path[at]));
    return members + "]";
}

// The BMP file's size: what the stream decoded to when it was inflated
// whole (end), else what the BMP header claims.
uint64_t FileBytes(const PictureFacts &facts, const ContainerEnd *end)
{
    return end != nullptr ? end->decodedBytes : facts.declaredBytes;
}

// The container's size as a share of the BMP file's.
double Ratio(const PictureFacts &facts, const ContainerEnd *end)
{
    uint64_t fileBytes = FileBytes(facts, end);
    return fileBytes == 0 ? 0.0 : static_cast<double>(facts.containerBytes) / fileBytes;
}

// The stream is whole, but its pixel data stops before the rows its header
// describes: the rest of the picture is black.
bool EndsEarly(const ContainerEnd &end)
{
    bool whole = end.end == StreamEnd::Complete || end.end == StreamEnd::TrailingBytes;
    return whole && end.rowsReached < end.rows;
}

std::string RowsText(const ContainerEnd &end)
{
    return "its pixel data ends early (" + std::to_string(end.rowsReached) + " of the " + std::to_string(end.rows) +
           " rows its header describes)";
}

const char *RowOrder(const PictureFacts &facts) { return facts.topDown ? "top-down" : "bottom-up"; }

// How the stream ends, said in the words of a text line.
std::string EndText(const PictureFacts &facts, const ContainerEnd &end)
{
    switch (end.end) {
    case StreamEnd::CutShort:
        return "cut short (decoded " + std::to_string(end.decodedBytes) + " of the " +
               std::to_string(facts.declaredBytes) + " bytes its header claims)";
    case StreamEnd::TrailingBytes:
        return std::to_string(end.trailingBytes) + " bytes after the end of the stream";
    default:
        return StreamEndName(end.end);
    }
}

// How the stream ends, and, where it is whole, whether its pixel data
// reaches every row.
std::string ContainerEndText(const PictureFacts &facts, const ContainerEnd &end)
{
    return EndsEarly(end) ? EndText(facts, end) + ", " + RowsText(end) : EndText(facts, end);
}

std::string FactsText(const std::string &path, const PictureFacts &facts, const ContainerEnd *end)
{
    std::string line =
        Printed("%s: %u x %u, %u bits per pixel, compression %s, %s header (%u bytes), %s, %llu palette entries, "
                "%llu bytes %s, %llu bytes in the container (%.1f%%)",
                InputName(path).c_str(), facts.width, facts.height, facts.bitsPerPixel,
                CompressionName(facts.compression), HeaderKindName(facts.headerBytes), facts.headerBytes,
                RowOrder(facts), static_cast<unsigned long long>(facts.paletteEntries),
                static_cast<unsigned long long>(FileBytes(facts, end)), end != nullptr ? "decoded" : "by its header",
                static_cast<unsigned long long>(facts.containerBytes), 100 * Ratio(facts, end));
    if (end != nullptr)
        line += ", " + ContainerEndText(facts, *end);
    return line + "\n";
}

std::string FactsJson(const std::string &path, const PictureFacts &facts, const ContainerEnd *end)
{
    std::string object = "{";
    object += JsonFileMembers(path);
    object +=
        Printed(", \"width\": %u, \"height\": %u, \"bits_per_pixel\": %u, \"compression\": %s, "
                "\"header\": %s, \"header_bytes\": %u, \"rows\": \"%s\", \"palette_entries\": %llu, "
                "\"declared_bytes\": %u, \"container_bytes\": %llu, \"ratio\": %.4f",
                facts.width, facts.height, facts.bitsPerPixel, JsonString(CompressionName(facts.compression)).c_str(),
                JsonString(HeaderKindName(facts.headerBytes)).c_str(), facts.headerBytes, RowOrder(facts),
                static_cast<unsigned long long>(facts.paletteEntries), facts.declaredBytes,
                static_cast<unsigned long long>(facts.containerBytes), Ratio(facts, end));
    if (end != nullptr)
        object += Printed(", \"end\": \"%s\", \"decoded_bytes\": %llu, \"trailing_bytes\": %llu, "
                          "\"rows_reached\": %u",
                          StreamEndName(end->end), static_cast<unsigned long long>(end->decodedBytes),
                          static_cast<unsigned long long>(end->trailingBytes), end->rowsReached);
    return object + "}\n";
}

// The report of a picture that could not be described or judged.
ItemReport FailedItem(const Status &outcome, int tally = 0)
{
    return {"", FailureLine(outcome), tally, outcome.Code(), outcome.Code() == ExitStopped};
}

// One picture's facts, or why it has none (ExitNotZqv, ExitCannotRead).
ItemReport DescribePicture(const Options &options, const std::string &path)
{
    const std::string subject = InputName(path);
    ContainerPlace place;
    Status read = Reported(ContainerOf(path, 0, &place), subject, ExitCannotRead);
    if (!read.Ok())
        return FailedItem(read);
    PictureFacts facts;
    Status described = ReadPictureFacts(place, &facts);
    if (!described.Ok())
        return FailedItem(Reported(described, subject, described.Code() == NotZqvPicture ? ExitNotZqv : ExitCannotRead));
    ContainerEnd end;
    if (options.checkEnd) {
        Status scanned = ScanContainerEnd(place, &end, Interrupted);
        if (!scanned.Ok())
            return FailedItem(Reported(scanned, subject, ExitCannotRead));
    }
    const ContainerEnd *ending = options.checkEnd ? &end : nullptr;
    return {options.json ? FactsJson(path, facts, ending) : FactsText(path, facts, ending), ""};
}

// What check makes of a picture.
enum class Verdict { Sound, Damaged, CutShort, EndsEarly, TrailingBytes, NotZqv, Unreadable };
constexpr size_t VerdictCount = 7;
constexpr const char *VerdictNames[VerdictCount] = {"sound",          "damaged", "cut short", "ending early",
                                                    "trailing bytes", "not ZQV", "unreadable"};

// A verdict's report: a line saying what is wrong, unless it is sound.
ItemReport Verdicted(Verdict verdict, const std::string &line)
{
    return {verdict == Verdict::Sound ? "" : line + "\n", "", static_cast<int>(verdict)};
}

// Stops GetPicture at Ctrl-C; check shows no bar.
int32_t WINAPI StopAtInterrupt(int32_t, int32_t, intptr_t) { return Interrupted() ? 1 : 0; }

// How the stream of a picture the plug-in decoded ends, judged by inflating
// it: the plug-in answers ResultOk for one cut short or followed by bytes.
ItemReport JudgeStream(const ContainerPlace &place, const std::string &subject)
{
    ContainerEnd end;
    Status scanned = ScanContainerEnd(place, &end, Interrupted);
    if (scanned.Code() == Status::Stopped)
        return FailedItem(Reported(scanned, subject, ExitCannotRead), static_cast<int>(Verdict::Unreadable));
    if (!scanned.Ok())
        return Verdicted(Verdict::Unreadable, subject + ": " + scanned.Message());
    PictureFacts facts;
    ReadPictureFacts(place, &facts); // the plug-in decoded it: its head is a BMP file's
    if (EndsEarly(end))
        return Verdicted(Verdict::EndsEarly, subject + ": " + RowsText(end));
    constexpr Verdict ByEnd[] = {Verdict::Sound, Verdict::CutShort, Verdict::TrailingBytes, Verdict::Damaged};
    return Verdicted(ByEnd[static_cast<size_t>(end.end)], subject + ": " + EndText(facts, end));
}

// Judges one picture.
ItemReport Judge(const PluginExports &plugin, const InputFile &input)
{
    const std::string subject = InputName(input.path);
    if (!input.problem.Ok())
        return Verdicted(Verdict::Unreadable, input.path + ": " + input.problem.Message());
    bool recognised = false;
    Status probed = ProbeFile(plugin, input.path, &recognised);
    if (probed.Code() == ExitStopped)
        return FailedItem(probed, static_cast<int>(Verdict::Unreadable));
    if (!probed.Ok())
        return Verdicted(Verdict::Unreadable, probed.Message());
    if (!recognised)
        return Verdicted(Verdict::NotZqv, subject + ": not a ZQV picture");
    ContainerPlace place;
    ContainerOf(input.path, 0, &place); // read once already, by the probe
    PictureBlocks blocks;
    int32_t result = GetPictureAt(plugin, place, &blocks, StopAtInterrupt);
    if (result == ResultAborted && Interrupted())
        return FailedItem(Failure(ExitStopped, subject + ": stopped"), static_cast<int>(Verdict::Unreadable));
    if (result != ResultOk)
        return Verdicted(Verdict::Damaged, subject + ": damaged (" + ResultName(result) + ")");
    return JudgeStream(place, subject);
}

} // namespace

Status RunPlugin(const PluginExports &plugin)
{
    int32_t index = 0;
    for (const char *label : InfoLabels) {
        char text[InfoStringBytes] = {};
        int32_t written = plugin.GetPluginInfo(index++, text, InfoStringBytes - 1);
        std::printf("%-12s %.*s\n", (std::string(label) + ":").c_str(), static_cast<int>(written), text);
    }
    FlushReport();
    return Success();
}

Status RunInfo(const Options &options, const PluginExports &plugin)
{
    if (options.operands.empty()) {
        RunPlugin(plugin);
        std::printf("(these are the plug-in's strings, which zqv plugin prints; zqv info PICTURE... describes "
                    "pictures)\n");
        FlushReport();
        return Success();
    }
    const std::vector<std::string> &paths = options.operands;
    ItemWork work;
    work.count = paths.size();
    work.here = [&](size_t at, const ProgressShare &) { return DescribePicture(options, paths[at]); };
    // Only --check inflates whole streams; the heads alone are not worth a worker.
    work.request = [&](size_t at) {
        return !options.checkEnd || paths[at] == StandardStreamName ? Message{} : Message{paths[at]};
    };
    work.lost = [&](size_t at, int, const std::string &how) {
        return FailedItem(Failure(ExitCannotRead, InputName(paths[at]) + ": not described: " + WorkerLost(how)));
    };
    work.bytes = [&](size_t at) { return InputBytes(paths[at]); };
    int status = ExitOk;
    auto counted = [&](const ItemReport &report) { status = status == ExitOk ? report.exitStatus : status; };
    if (RunItems(work, JobsOf(options), WorkerArguments(options), false, counted))
        return Failure(ExitStopped, "");
    return Failure(static_cast<ExitStatus>(status), "");
}

Status RunCheck(const Options &options, const PluginExports &plugin)
{
    std::vector<InputFile> inputs = CollectInputs(options.operands, options.recursive, IsZqvName);
    ItemWork work;
    work.count = inputs.size();
    work.here = [&](size_t at, const ProgressShare &) { return Judge(plugin, inputs[at]); };
    work.request = [&](size_t at) {
        const InputFile &input = inputs[at];
        return !input.problem.Ok() || input.path == StandardStreamName ? Message{} : Message{input.path};
    };
    work.lost = [&](size_t at, int, const std::string &how) {
        return Verdicted(Verdict::Unreadable, InputName(inputs[at].path) + ": not checked: " + WorkerLost(how));
    };
    work.bytes = [&](size_t at) { return InputBytes(inputs[at].path); };
    size_t counts[VerdictCount] = {};
    auto counted = [&](const ItemReport &report) { ++counts[report.tally]; };
    if (RunItems(work, JobsOf(options), WorkerArguments(options), false, counted))
        return Failure(ExitStopped, "");
    size_t checked = 0;
    for (size_t count : counts)
        checked += count;
    std::printf("%zu checked:", checked);
    for (size_t verdict = 0; verdict < VerdictCount; ++verdict)
        std::printf("%s %zu %s", verdict == 0 ? "" : ",", counts[verdict], VerdictNames[verdict]);
    std::printf("\n");
    FlushReport();
    bool allSound = counts[static_cast<size_t>(Verdict::Sound)] == checked;
    return allSound ? Success() : Failure(ExitSomeFailed, "");
}

ItemReport CheckRequest(const PluginExports &plugin, const Message &request)
{
    if (request.size() != 1)
        return Verdicted(Verdict::Unreadable, "a worker's request is not a picture to check");
    return Judge(plugin, {request[0], "", Success()});
}

ItemReport InfoRequest(const Options &options, const Message &request)
{
    if (request.size() != 1)
        return FailedItem(Failure(ExitCannotRead, "a worker's request is not a picture to describe"));
    return DescribePicture(options, request[0]);
}
