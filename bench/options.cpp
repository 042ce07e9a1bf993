#include "bench/options.h"

#include "bench/peak.h"
#include "bench/report.h"
#include "tools/zqv_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>

namespace {

// A BMP file must fit its 32-bit size field.
constexpr double LargestSizeMegabytes = 4095;

constexpr const char *Usage = R"(usage: zqv_bench [options]

Times decoding generated pictures, side by side in one process, each figure
the median of its rounds:
  bare     zlib's inflate of the descrambled stream, in one call, into a buffer
           allocated once
  fresh    the same into a new zero-filled block like GetPicture's, allocated
           and freed within the time, so paying the same page faults
  own      the build's own inflater (ISA-L in the win64 and native builds) as
           bare; not timed where that is zlib
  touch    a new block like fresh's, a byte written to each 4 KB page, freed:
           the memory floor of any decoder handing over new memory
  memory   GetPicture of the container in memory (flags 1)
  file     GetPicture of the container written to a file (flags 0)
and the work, (memory - touch) / (fresh - touch) in each round, median:
GetPicture's decoding beyond the memory floor, in units of zlib's. Then
measures the peak working set of one GetPicture from the file in a fresh
child process. Prints one line per case and, for the 100 MB and 400 MB
pictures, how the time scales. bench/plot draws --out files with gnuplot.

options:
  --sizes MB,...    decoded sizes in megabytes (default 0.1,1,10,100,400)
  --kinds KIND,...  photo, graphic, graphic8, flat (default all)
  --levels N,...    zlib levels 0 to 9 (default 1,6,9)
  --rounds N        rounds per case (default 5)
  --largest         instead of the table, find the largest flat picture GetPicture
                    delivers from a file, in a child process
  --out FILE        also write the results to FILE, under a line saying the
                    build, date and selection (bench/results/ keeps full runs)
  --peak FILE       the child's job: decode FILE once and report the peak working set
  --help            this text
)";

std::string Number(double value) { return Formatted("%.10g", value); }

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

Status ParseSize(const std::string &text, double *megabytes)
{
    Status parsed = ParseNumber(text, 0, LargestSizeMegabytes, megabytes);
    return parsed.Ok() && *megabytes <= 0 ? Status::Failure("a size must be above 0") : parsed;
}

Status ParseKind(const std::string &text, PictureKind *kind)
{
    return KindFromName(text, kind) ? Status::Success() : Status::Failure("no picture kind is called '" + text + "'");
}

Status ParseLevel(const std::string &text, int *level) { return ParseWholeNumber(text, LowestLevel, HighestLevel, level); }

// Splits "a,b,c" into *items, each parsed by parseItem; fails on an empty
// list or item.
template <typename Item>
Status ParseList(const std::string &text, Status (*parseItem)(const std::string &, Item *), std::vector<Item> *items)
{
    items->clear();
    for (size_t start = 0; start <= text.size();) {
        size_t comma = std::min(text.find(',', start), text.size());
        Item item{};
        Status parsed = parseItem(text.substr(start, comma - start), &item);
        if (!parsed.Ok())
            return parsed;
        items->push_back(item);
        start = comma + 1;
    }
    return Status::Success();
}

// Takes the value of the option name into *options.
Status TakeValue(const std::string &name, const std::string &value, BenchOptions *options)
{
    if (name == "--sizes")
        return ParseList(value, ParseSize, &options->sizesMegabytes);
    if (name == "--kinds")
        return ParseList(value, ParseKind, &options->kinds);
    if (name == "--levels")
        return ParseList(value, ParseLevel, &options->levels);
    if (name == "--rounds")
        return ParseWholeNumber(value, 1, INT32_MAX, &options->rounds);
    if (name == PeakOptionName)
        options->peakFile = value;
    else
        options->outFile = value;
    return Status::Success();
}

constexpr const char *ValueOptions[] = {"--sizes", "--kinds", "--levels", "--rounds", PeakOptionName, "--out"};

bool TakesValue(const std::string &name) { return std::ranges::find(ValueOptions, name) != std::end(ValueOptions); }

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
        if (option == "--largest") {
            options->largest = true;
        } else if (option == "--help" || option == "-h") {
            options->help = true;
        } else if (!TakesValue(option)) {
            return Status::Failure("unknown option '" + option + "' (--help lists them)");
        } else if (at + 1 == argc) {
            return Status::Failure(option + " needs a value");
        } else {
            Status taken = TakeValue(option, argv[++at], options);
            if (!taken.Ok())
                return Status::Failure(option + ": " + taken.Message());
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
           " round" + (options.rounds == 1 ? "" : "s");
}
