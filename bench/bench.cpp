// zqv_bench: how fast GetPicture decodes and how much memory it needs, against
// zlib's own inflate of the same data in the same run (see --help, the README
// and bench/timing.h). The table is bench/decode_table, the peak of one
// GetPicture bench/peak, --largest bench/largest and --out bench/report.
#include "bench/decode_table.h"
#include "bench/largest.h"
#include "bench/options.h"
#include "bench/peak.h"
#include "bench/report.h"

#include <cstdio>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

int Fail(const Status &status, int exitStatus = ExitFailure)
{
    std::fflush(stdout);
    std::fprintf(stderr, "zqv_bench: %s\n", status.Message().c_str());
    return exitStatus;
}

Status RunMeasurements(const BenchOptions &options)
{
    if (options.largest)
        return RunLargestSearch();
    PluginExports plugin;
    Status loaded = LoadPlugin(&plugin);
    if (!loaded.Ok())
        return loaded;
    Status table = RunDecodeTable(options, plugin);
    UnloadPlugin(&plugin);
    return table;
}

// The measurements, their lines also going to the --out file if there is one.
int RunReported(const BenchOptions &options)
{
    if (!options.outFile.empty()) {
        Status started = StartReportFile(options.outFile, DescribeSelection(options));
        if (!started.Ok())
            return Fail(started);
    }
    Status measured = RunMeasurements(options);
    int exitStatus = measured.Ok() ? ExitSuccess : Fail(measured);
    Status finished = FinishReportFile();
    return finished.Ok() ? exitStatus : Fail(finished);
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options;
    Status parsed = ParseOptions(argc, argv, &options);
    if (!parsed.Ok())
        return Fail(parsed, ExitUsage);
    if (options.help) {
        PrintUsage(stdout);
        return ExitSuccess;
    }
    if (!options.peakFile.empty())
        return RunPeakChild(options.peakFile);
    return RunReported(options);
}
