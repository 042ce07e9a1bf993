#include "bench/memory_counters.h"

#ifdef _WIN32

#include <windows.h>
#include <psapi.h>

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

#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t KilobyteBytes = 1024;
constexpr const char *ResidentField = "VmRSS:";
constexpr const char *PeakResidentField = "VmHWM:";

// The value of a "Name:   1234 kB" line of /proc/self/status, in bytes.
bool ParseKilobytesField(const char *line, const char *field, uint64_t *bytes)
{
    size_t fieldLength = std::strlen(field);
    if (std::strncmp(line, field, fieldLength) != 0)
        return false;
    unsigned long long kilobytes = 0;
    if (std::sscanf(line + fieldLength, "%llu", &kilobytes) != 1)
        return false;
    *bytes = kilobytes * KilobyteBytes;
    return true;
}

} // namespace

Status ReadMemoryCounters(MemoryCounters *counters)
{
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return Status::Failure("cannot read /proc/self/status");
    MemoryCounters read;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        ParseKilobytesField(line, ResidentField, &read.workingSetBytes);
        ParseKilobytesField(line, PeakResidentField, &read.peakWorkingSetBytes);
    }
    std::fclose(status);
    if (read.peakWorkingSetBytes == 0)
        return Status::Failure("/proc/self/status reports no peak resident size (VmHWM)");
    *counters = read;
    return Status::Success();
}

#endif
