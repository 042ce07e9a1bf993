// zqv plugin, info and check: what the plug-in is, and what pictures are.
#include "tools/zqv/commands.h"

#include "tools/picture_facts.h"
#include "tools/zqv/console.h"
#include "tools/zqv/inputs.h"

#include <cstdio>
#include <string>

namespace {

const char *const InfoLabels[] = {"interface", "name", "pattern", "description"};
constexpr int32_t InfoStringBytes = 256;
constexpr const char *PictureExtension = ".zqv";

// Text with JSON's quotes and escapes; bytes from 0x80 on pass unchanged, so
// a UTF-8 name stays UTF-8.
std::string JsonString(const std::string &text)
{
    std::string quoted = "\"";
    for (char character : text) {
        auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\\')
            quoted += std::string("\\") + character;
        else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            quoted += escape;
        } else
            quoted += character;
    }
    return quoted + "\"";
}

// The container's size as a share of the decoded size.
double Ratio(const PictureFacts &facts)
{
    return facts.declaredBytes == 0 ? 0.0 : static_cast<double>(facts.containerBytes) / facts.declaredBytes;
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

void PrintFactsText(const std::string &path, const PictureFacts &facts, const ContainerEnd *end)
{
    std::printf("%s: %u x %u, %u bits per pixel, compression %s, %s header (%u bytes), %s, %llu palette entries, "
                "%u bytes decoded, %llu bytes in the container (%.1f%%)",
                path.c_str(), facts.width, facts.height, facts.bitsPerPixel, CompressionName(facts.compression),
                HeaderKindName(facts.headerBytes), facts.headerBytes, RowOrder(facts),
                static_cast<unsigned long long>(facts.paletteEntries), facts.declaredBytes,
                static_cast<unsigned long long>(facts.containerBytes), 100 * Ratio(facts));
    if (end != nullptr)
        std::printf(", %s", EndText(facts, *end).c_str());
    std::printf("\n");
}

void PrintFactsJson(const std::string &path, const PictureFacts &facts, const ContainerEnd *end)
{
    std::printf("{\"file\": %s, \"width\": %u, \"height\": %u, \"bits_per_pixel\": %u, \"compression\": %s, "
                "\"header\": %s, \"header_bytes\": %u, \"rows\": \"%s\", \"palette_entries\": %llu, "
                "\"decoded_bytes\": %u, \"container_bytes\": %llu, \"ratio\": %.4f",
                JsonString(path).c_str(), facts.width, facts.height, facts.bitsPerPixel,
                JsonString(CompressionName(facts.compression)).c_str(),
                JsonString(HeaderKindName(facts.headerBytes)).c_str(), facts.headerBytes, RowOrder(facts),
                static_cast<unsigned long long>(facts.paletteEntries), facts.declaredBytes,
                static_cast<unsigned long long>(facts.containerBytes), Ratio(facts));
    if (end != nullptr)
        std::printf(", \"end\": \"%s\", \"stream_bytes\": %llu, \"trailing_bytes\": %llu", StreamEndName(end->end),
                    static_cast<unsigned long long>(end->decodedBytes),
                    static_cast<unsigned long long>(end->trailingBytes));
    std::printf("}\n");
}

// One picture's facts printed; fails (ExitNotZqv, ExitCannotRead) when it
// has none.
Status DescribePicture(const Options &options, const std::string &path)
{
    PictureFacts facts;
    Status read = ReadPictureFacts(path, &facts);
    if (!read.Ok())
        return Reported(read, path, read.Code() == NotZqvPicture ? ExitNotZqv : ExitCannotRead);
    ContainerEnd end;
    if (options.checkEnd) {
        Status scanned = ScanContainerEnd(path, &end, Interrupted);
        if (!scanned.Ok())
            return Reported(scanned, path, ExitCannotRead);
    }
    (options.json ? PrintFactsJson : PrintFactsText)(path, facts, options.checkEnd ? &end : nullptr);
    return Success();
}

// What check makes of a picture.
enum class Verdict { Sound, Damaged, CutShort, TrailingBytes, NotZqv, Unreadable };
constexpr size_t VerdictCount = 6;
constexpr const char *VerdictNames[VerdictCount] = {"sound",          "damaged", "cut short",
                                                    "trailing bytes", "not ZQV", "unreadable"};

struct Judgement {
    Verdict verdict = Verdict::Sound;
    std::string line; // what is wrong, after the file's name
};

// Stops GetPicture at Ctrl-C; check shows no bar.
int32_t WINAPI StopAtInterrupt(int32_t, int32_t, intptr_t) { return Interrupted() ? 1 : 0; }

// How the stream of a picture the plug-in decoded ends, judged by inflating
// it: the plug-in answers ResultOk for one cut short or followed by bytes.
Status JudgeStream(const std::string &path, Judgement *judgement)
{
    ContainerEnd end;
    Status scanned = ScanContainerEnd(path, &end, Interrupted);
    if (!scanned.Ok())
        return Reported(scanned, path, ExitCannotRead);
    PictureFacts facts;
    ReadPictureFacts(path, &facts); // the plug-in decoded it: its head is a BMP file's
    constexpr Verdict ByEnd[] = {Verdict::Sound, Verdict::CutShort, Verdict::TrailingBytes, Verdict::Damaged};
    *judgement = {ByEnd[static_cast<size_t>(end.end)], path + ": " + EndText(facts, end)};
    return Success();
}

// Judges one picture; fails only when stopped.
Status Judge(const PluginExports &plugin, const InputFile &input, Judgement *judgement)
{
    if (!input.problem.Ok()) {
        *judgement = {Verdict::Unreadable, input.path + ": " + input.problem.Message()};
        return Success();
    }
    bool recognised = false;
    Status probed = ProbeFile(plugin, input.path, &recognised);
    if (probed.Code() == ExitStopped)
        return probed;
    if (!probed.Ok() || !recognised) {
        *judgement = !probed.Ok() ? Judgement{Verdict::Unreadable, probed.Message()}
                                  : Judgement{Verdict::NotZqv, input.path + ": not a ZQV picture"};
        return Success();
    }
    PictureBlocks blocks;
    int32_t result = GetPictureFromFile(plugin, input.path, 0, &blocks, StopAtInterrupt);
    if (result == ResultAborted && Interrupted())
        return Failure(ExitStopped, input.path + ": stopped");
    if (result != ResultOk) {
        *judgement = {Verdict::Damaged, input.path + ": damaged (" + ResultName(result) + ")"};
        return Success();
    }
    return JudgeStream(input.path, judgement);
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
    std::fflush(stdout);
    return Success();
}

Status RunInfo(const Options &options, const PluginExports &plugin)
{
    if (options.operands.empty()) {
        RunPlugin(plugin);
        std::printf("(these are the plug-in's strings, which zqv plugin prints; zqv info PICTURE... describes "
                    "pictures)\n");
        std::fflush(stdout);
        return Success();
    }
    ExitStatus status = ExitOk;
    for (const std::string &path : options.operands) {
        Status described = DescribePicture(options, path);
        std::fflush(stdout);
        if (described.Code() == ExitStopped)
            return described;
        if (!described.Ok()) {
            ReportFailure(described);
            if (status == ExitOk)
                status = static_cast<ExitStatus>(described.Code());
        }
    }
    return Failure(status, "");
}

Status RunCheck(const Options &options, const PluginExports &plugin)
{
    size_t counts[VerdictCount] = {};
    for (const InputFile &input : CollectInputs(options.operands, options.recursive, PictureExtension)) {
        Judgement judgement;
        Status judged = Judge(plugin, input, &judgement);
        if (!judged.Ok())
            return judged;
        ++counts[static_cast<size_t>(judgement.verdict)];
        if (judgement.verdict != Verdict::Sound)
            std::printf("%s\n", judgement.line.c_str());
        std::fflush(stdout);
    }
    size_t checked = 0;
    for (size_t count : counts)
        checked += count;
    std::printf("%zu checked:", checked);
    for (size_t verdict = 0; verdict < VerdictCount; ++verdict)
        std::printf("%s %zu %s", verdict == 0 ? "" : ",", counts[verdict], VerdictNames[verdict]);
    std::printf("\n");
    std::fflush(stdout);
    bool allSound = counts[static_cast<size_t>(Verdict::Sound)] == checked;
    return allSound ? Success() : Failure(ExitSomeFailed, "");
}
