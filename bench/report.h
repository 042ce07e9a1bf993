// bench/report.h -- where the results go, and in what units: standard output
// and, with --out, a file with the same lines under a heading.
#pragma once

#include "tools/status.h"

#include <cstdint>
#include <string>

// Sizes are given and printed in binary megabytes, as a viewer shows them.
constexpr uint64_t Megabyte = uint64_t{1} << 20;

inline double InMegabytes(uint64_t bytes) { return static_cast<double>(bytes) / Megabyte; }

inline uint64_t FromMegabytes(double megabytes) { return static_cast<uint64_t>(megabytes * Megabyte); }

// One line of text made with a printf format, for the cells of a table.
std::string Formatted(const char *format, double value);


// Creates the file at path and writes the heading to it: the build, date and
// time, zlib version and then what, the run's selection.
Status StartReportFile(const std::string &path, const std::string &what);

// Closes the file, if one was started; fails when not every line reached it.
Status FinishReportFile();

// printf to standard output and to the file, if one was started, both flushed:
// a line is out before any message on standard error that follows it, and a
// run stopped half way keeps its lines. (Every compiler here checks the format.)
void Report(const char *format, ...) __attribute__((format(printf, 1, 2)));
