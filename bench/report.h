// bench/report.h -- where the results go, and in what units: standard
// output and, with --out, a file that gets the same lines under a heading
// that says what ran where.
#pragma once

#include "tools/status.h"

#include <cstdint>
#include <string>

// Sizes are given and printed in binary megabytes, as the picture sizes a
// viewer shows.
constexpr uint64_t Megabyte = uint64_t{1} << 20;

inline double InMegabytes(uint64_t bytes) { return static_cast<double>(bytes) / Megabyte; }

inline uint64_t FromMegabytes(double megabytes) { return static_cast<uint64_t>(megabytes * Megabyte); }

// One line of text made with a printf format, for the cells of a table.
std::string Formatted(const char *format, double value);


// Creates the file at path and writes the heading line to it: the build,
// the date and time, the zlib version and then what, the run's selection.
// Fails when the file cannot be created.
Status StartReportFile(const std::string &path, const std::string &what);

// Closes the file, if one was started; fails when not every line reached it.
Status FinishReportFile();

// printf to standard output and to the file, if one was started. Both are
// flushed, so that a line is out before any message on standard error that
// follows it, and a run stopped half way keeps the lines it has.
// (Every compiler of the builds is GNU-compatible and checks the format.)
void Report(const char *format, ...) __attribute__((format(printf, 1, 2)));
