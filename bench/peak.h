// bench/peak.h -- the memory one GetPicture call needs. A peak working set only
// ever rises, so it is measured in a child that does nothing else: "zqv_bench
// --peak FILE" loads the plug-in, decodes FILE once from the file, as a viewer
// does, and reports its peak working set less the one it started from.
#pragma once

#include "tools/status.h"

#include <cstdint>
#include <string>

// The option that makes the program the child.
constexpr const char *PeakOptionName = "--peak";

// What the child found.
struct PeakReport {
    int32_t result = 0;      // GetPicture's result
    uint64_t peakBytes = 0; // peak working set less the starting working set
};

// The child's side: decodes containerPath, prints its report and returns the
// exit status: 0 delivered, 1 GetPicture failed, 2 nothing could be measured.
int RunPeakChild(const std::string &containerPath);

// The parent's side: runs the child on containerPath and reads its report.
// Fails when the child could not be run or gave no report.
Status MeasurePeakInChild(const std::string &containerPath, PeakReport *report);
