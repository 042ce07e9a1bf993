#include "bench/peak.h"

#include "tools/files.h"
#include "tools/plugin_host.h"
#include "tools/process.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <cstring>
#endif

namespace {

// The child's one line of output; the parent reads it back with the same format.
constexpr const char *ReportFormat = "peak-working-set-bytes %" SCNu64 " result %" SCNd32;
constexpr const char *ReportPrintFormat = "peak-working-set-bytes %" PRIu64 " result %" PRId32 "\n";

constexpr int ChildDelivered = 0;
constexpr int ChildPictureFailed = 1;
constexpr int ChildCannotMeasure = 2;

struct MemoryCounters {
    uint64_t workingSetBytes = 0;
    uint64_t peakWorkingSetBytes = 0; // the most ever resident since the process started
};

#ifdef _WIN32

// GetProcessMemoryInfo's WorkingSetSize and PeakWorkingSetSize.
Status ReadMemoryCounters(MemoryCounters *counters)
{
    PROCESS_MEMORY_COUNTERS reported{};
    reported.cb = sizeof reported;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &reported, sizeof reported))
        return Status::Failure("GetProcessMemoryInfo failed (error " + std::to_string(GetLastError()) + ")");
    if (reported.PeakWorkingSetSize == 0)
        return Status::Failure("GetProcessMemoryInfo reports no peak working set");
    counters->workingSetBytes = reported.WorkingSetSize;
    counters->peakWorkingSetBytes = reported.PeakWorkingSetSize;
    return Status::Success();
}

#else

constexpr uint64_t KilobyteBytes = 1024;

// The value of a "Name:   1234 kB" line of /proc/self/status, in bytes.
void ParseKilobytesField(const char *line, const char *field, uint64_t *bytes)
{
    size_t fieldLength = std::strlen(field);
    unsigned long long kilobytes = 0;
    if (std::strncmp(line, field, fieldLength) == 0 && std::sscanf(line + fieldLength, "%llu", &kilobytes) == 1)
        *bytes = kilobytes * KilobyteBytes;
}

// VmRSS and VmHWM from /proc/self/status.
Status ReadMemoryCounters(MemoryCounters *counters)
{
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return Status::Failure("cannot read /proc/self/status");
    MemoryCounters read;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        ParseKilobytesField(line, "VmRSS:", &read.workingSetBytes);
        ParseKilobytesField(line, "VmHWM:", &read.peakWorkingSetBytes);
    }
    std::fclose(status);
    if (read.peakWorkingSetBytes == 0)
        return Status::Failure("/proc/self/status reports no peak resident size (VmHWM)");
    *counters = read;
    return Status::Success();
}

#endif

int CannotMeasure(const std::string &message)
{
    std::fprintf(stderr, "zqv_bench --peak: %s\n", message.c_str());
    return ChildCannotMeasure;
}

// Reads the report line anywhere in the child's output.
bool ParseReport(const std::string &output, PeakReport *report)
{
    size_t line = output.find("peak-working-set-bytes ");
    return line != std::string::npos &&
           std::sscanf(output.c_str() + line, ReportFormat, &report->peakBytes, &report->result) == 2;
}

} // namespace

int RunPeakChild(const std::string &containerPath)
{
    PluginExports plugin;
    MemoryCounters before;
    Status measurable = LoadPlugin(&plugin);
    if (measurable.Ok())
        measurable = ReadMemoryCounters(&before);
    if (!measurable.Ok())
        return CannotMeasure(measurable.Message());
    PictureBlocks blocks;
    int32_t result = GetPictureFromFile(plugin, containerPath, 0, &blocks);
    blocks.Free();
    MemoryCounters after;
    measurable = ReadMemoryCounters(&after);
    UnloadPlugin(&plugin);
    if (!measurable.Ok())
        return CannotMeasure(measurable.Message());
    uint64_t grown = std::max(after.peakWorkingSetBytes, before.workingSetBytes) - before.workingSetBytes;
    std::printf(ReportPrintFormat, grown, result);
    return result == ResultOk ? ChildDelivered : ChildPictureFailed;
}

Status MeasurePeakInChild(const std::string &containerPath, PeakReport *report)
{
    // The child's output goes through a file, which no full pipe can stall.
    TempPath outputPath("zqv-bench", ".out");
    int exitCode = RunProgram(ProgramPath(), {PeakOptionName, containerPath}, {"", outputPath.Path(), ""});
    if (exitCode < 0)
        return Status::Failure("cannot start " + ProgramPath() + " " + PeakOptionName);
    Bytes output;
    ReadWholeFile(outputPath.Path(), &output);
    if (!ParseReport(std::string(output.begin(), output.end()), report))
        return Status::Failure("the " + std::string(PeakOptionName) + " child ended with status " +
                               std::to_string(exitCode) + " without a report");
    return Status::Success();
}
