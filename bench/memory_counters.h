// bench/memory_counters.h -- this process's working set, now and at its peak.
#pragma once

#include "bench/status.h"

#include <cstdint>

struct MemoryCounters {
    uint64_t workingSetBytes = 0;
    uint64_t peakWorkingSetBytes = 0; // the most ever resident since the process started
};

// Windows: GetProcessMemoryInfo's WorkingSetSize and PeakWorkingSetSize.
// Linux: VmRSS and VmHWM from /proc/self/status. Fails when the system does
// not report them (a peak of zero counts as not reported).
Status ReadMemoryCounters(MemoryCounters *counters);
