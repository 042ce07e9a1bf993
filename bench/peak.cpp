#include "bench/peak.h"

#include "bench/child_process.h"
#include "bench/memory_counters.h"
#include "bench/picture_calls.h"

#include <cinttypes>
#include <cstdio>

namespace {

// The child's one line of output; the parent reads it back with the same format.
constexpr const char *ReportFormat = "peak-working-set-bytes %" SCNu64 " result %" SCNd32;
constexpr const char *ReportPrintFormat = "peak-working-set-bytes %" PRIu64 " result %" PRId32 "\n";

constexpr int ChildDelivered = 0;
constexpr int ChildPictureFailed = 1;
constexpr int ChildCannotMeasure = 2;

int CannotMeasure(const std::string &message)
{
    std::fprintf(stderr, "zqv_bench --peak: %s\n", message.c_str());
    return ChildCannotMeasure;
}

// Reads the report line anywhere in the child's output.
bool ParseReport(const std::string &output, PeakReport *report)
{
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (std::sscanf(line.c_str(), ReportFormat, &report->peakBytes, &report->result) == 2)
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

} // namespace

int RunPeakChild(const std::string &containerPath)
{
    PluginExports plugin;
    std::string error;
    if (!LoadPlugin(&plugin, &error))
        return CannotMeasure(error);
    MemoryCounters before;
    Status counted = ReadMemoryCounters(&before);
    if (!counted.Ok())
        return CannotMeasure(counted.Message());
    int32_t result = 0;
    {
        PictureBlocks blocks;
        result = GetPictureFromFile(plugin, containerPath, &blocks);
    }
    MemoryCounters after;
    counted = ReadMemoryCounters(&after);
    UnloadPlugin(&plugin);
    if (!counted.Ok())
        return CannotMeasure(counted.Message());
    uint64_t grown = after.peakWorkingSetBytes > before.workingSetBytes
                         ? after.peakWorkingSetBytes - before.workingSetBytes
                         : 0;
    std::printf(ReportPrintFormat, grown, result);
    return result == ResultOk ? ChildDelivered : ChildPictureFailed;
}

Status MeasurePeakInChild(const std::string &containerPath, PeakReport *report)
{
    std::string output;
    int exitCode = 0;
    Status ran = RunSelf({PeakOptionName, containerPath}, &output, &exitCode);
    if (!ran.Ok())
        return ran;
    if (!ParseReport(output, report))
        return Status::Failure("the " + std::string(PeakOptionName) + " child ended with status " +
                               std::to_string(exitCode) + " without a report");
    return Status::Success();
}
