// bench/report.h -- where the results go: standard output and, with --out,
// a file that gets the same lines under a heading that says what ran where.
#pragma once

#include "bench/status.h"

#include <string>

#if defined(__GNUC__)
#define ZQV_REPORT_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define ZQV_REPORT_FORMAT
#endif

// Creates the file at path and writes the heading line to it: the build,
// the date and time, the zlib version and then what, the run's selection.
// Fails when the file cannot be created.
Status StartReportFile(const std::string &path, const std::string &what);

// Closes the file, if one was started; fails when not every line reached it.
Status FinishReportFile();

// printf to standard output and to the file, if one was started. Both are
// flushed, so that a line is out before any message on standard error that
// follows it, and a run stopped half way keeps the lines it has.
void Report(const char *format, ...) ZQV_REPORT_FORMAT;
