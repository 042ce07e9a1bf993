#include "bench/options.h"

#include "bench/peak.h"

#include <cstdint>
#include <cstdlib>
#include <functional>

namespace {

constexpr int LowestLevel = 0;
constexpr int HighestLevel = 9;
// A BMP file must fit its 32-bit size field.
constexpr double LargestSizeMegabytes = 4095;

constexpr const char *Usage = R"(usage: zqv_bench [options]

Times decoding generated pictures, side by side in one process, each figure
the median of its rounds:
  bare     zlib's inflate of the descrambled stream, in one call, into a buffer
           allocated once
  fresh    the same into a new zero-filled block like GetPicture's, allocated
           and freed within the time, so paying the same page faults
  memory   GetPicture of the container in memory (flags 1)
  file     GetPicture of the container written to a file (flags 0)
then measures the peak working set of one GetPicture from the file in a
fresh child process. Prints one line per case and, for the 100 MB and
400 MB pictures, how the time scales.

options:
  --sizes MB,...    decoded sizes in megabytes (default 0.1,1,10,100,400)
  --kinds KIND,...  photo, graphic, graphic8, flat (default all)
  --levels N,...    zlib levels 0 to 9 (default 1,6,9)
  --rounds N        rounds per case (default 5)
  --sink            also compare the sink's block growth, at each size up to 100 MB
  --largest         instead of the table, find the largest flat picture GetPicture
                    delivers from a file, in a child process
  --out FILE        also write the results to FILE, under a line saying the
                    build, date and selection (bench/results/ keeps full runs)
  --peak FILE       the child's job: decode FILE once and report the peak working set
  --help            this text
)";

// Splits "a,b,c" and parses each item; fails on an empty list or item.
Status ParseList(const std::string &text, const char *option,
                 const std::function<Status(const std::string &)> &parseItem)
{
    if (text.empty())
        return Status::Failure(std::string(option) + " needs a list");
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        Status parsed = parseItem(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!parsed.Ok())
            return Status::Failure(std::string(option) + ": " + parsed.Message());
        if (comma == std::string::npos)
            return Status::Success();
        start = comma + 1;
    }
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

Status ParseNumber(const std::string &text, double lowest, double highest, double *value)
{
    char *end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(parsed >= lowest && parsed <= highest))
        return Status::Failure("'" + text + "' is not a number from " + Number(lowest) + " to " + Number(highest));
    *value = parsed;
    return Status::Success();
}

Status ParseWholeNumber(const std::string &text, int lowest, int highest, int *value)
{
    double parsed = 0;
    Status status = ParseNumber(text, lowest, highest, &parsed);
    if (status.Ok() && parsed != static_cast<int>(parsed))
        status = Status::Failure("'" + text + "' is not a whole number");
    if (status.Ok())
        *value = static_cast<int>(parsed);
    return status;
}

Status ParseSizes(const char *option, const std::string &text, BenchOptions *options)
{
    options->sizesMegabytes.clear();
    return ParseList(text, option, [&](const std::string &item) {
        double megabytes = 0;
        Status parsed = ParseNumber(item, 0, LargestSizeMegabytes, &megabytes);
        if (parsed.Ok() && megabytes <= 0)
            parsed = Status::Failure("a size must be above 0");
        if (parsed.Ok())
            options->sizesMegabytes.push_back(megabytes);
        return parsed;
    });
}

Status ParseKinds(const char *option, const std::string &text, BenchOptions *options)
{
    options->kinds.clear();
    return ParseList(text, option, [&](const std::string &item) {
        PictureKind kind{};
        if (!KindFromName(item, &kind))
            return Status::Failure("no picture kind is called '" + item + "'");
        options->kinds.push_back(kind);
        return Status::Success();
    });
}

Status ParseLevels(const char *option, const std::string &text, BenchOptions *options)
{
    options->levels.clear();
    return ParseList(text, option, [&](const std::string &item) {
        int level = 0;
        Status parsed = ParseWholeNumber(item, LowestLevel, HighestLevel, &level);
        if (parsed.Ok())
            options->levels.push_back(level);
        return parsed;
    });
}

Status ParseRounds(const char *option, const std::string &text, BenchOptions *options)
{
    Status parsed = ParseWholeNumber(text, 1, INT32_MAX, &options->rounds);
    return parsed.Ok() ? parsed : Status::Failure(std::string(option) + ": " + parsed.Message());
}

Status TakePeakFile(const char *, const std::string &text, BenchOptions *options)
{
    options->peakFile = text;
    return Status::Success();
}

Status TakeOutFile(const char *, const std::string &text, BenchOptions *options)
{
    options->outFile = text;
    return Status::Success();
}

// The options that take a value, and what each does with it.
struct ValueOption {
    const char *name;
    Status (*parse)(const char *name, const std::string &value, BenchOptions *options);
};

constexpr ValueOption ValueOptions[] = {
    {"--sizes", ParseSizes},   {"--kinds", ParseKinds},        {"--levels", ParseLevels},
    {"--rounds", ParseRounds}, {PeakOptionName, TakePeakFile}, {"--out", TakeOutFile},
};

const ValueOption *FindValueOption(const std::string &name)
{
    for (const ValueOption &option : ValueOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

// The value after the option at argv[*at], *at moved onto it.
Status TakeValue(int argc, char **argv, int *at, std::string *value)
{
    if (*at + 1 >= argc)
        return Status::Failure(std::string(argv[*at]) + " needs a value");
    *value = argv[++*at];
    return Status::Success();
}

// The items as the options take them: each as name gives it, commas between.
template <typename Item, typename Name>
std::string Joined(const std::vector<Item> &items, Name name)
{
    std::string joined;
    for (const Item &item : items) {
        if (!joined.empty())
            joined += ',';
        joined += name(item);
    }
    return joined;
}

} // namespace

Status ParseOptions(int argc, char **argv, BenchOptions *options)
{
    for (int at = 1; at < argc; ++at) {
        std::string option = argv[at];
        if (option == "--sink") {
            options->sinkGrowth = true;
        } else if (option == "--largest") {
            options->largest = true;
        } else if (option == "--help" || option == "-h") {
            options->help = true;
        } else if (const ValueOption *valueOption = FindValueOption(option)) {
            std::string value;
            Status status = TakeValue(argc, argv, &at, &value);
            if (status.Ok())
                status = valueOption->parse(valueOption->name, value, options);
            if (!status.Ok())
                return status;
        } else {
            return Status::Failure("unknown option '" + option + "' (--help lists them)");
        }
    }
    return Status::Success();
}

void PrintUsage(std::FILE *stream) { std::fputs(Usage, stream); }

std::string DescribeSelection(const BenchOptions &options)
{
    if (options.largest)
        return "largest picture search";
    std::string sizes = Joined(options.sizesMegabytes, Number);
    std::string kinds = Joined(options.kinds, KindName);
    std::string levels = Joined(options.levels, [](int level) { return std::to_string(level); });
    return "sizes " + sizes + " MB, kinds " + kinds + ", levels " + levels + ", " + std::to_string(options.rounds) +
           " round" + (options.rounds == 1 ? "" : "s") + (options.sinkGrowth ? ", sink growth" : "");
}
