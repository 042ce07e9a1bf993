#include "bench/report.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <zlib.h>

namespace {

#if defined(_WIN64)
constexpr const char *BuildName = "win64";
#elif defined(_WIN32)
constexpr const char *BuildName = "win32";
#else
constexpr const char *BuildName = "native";
#endif
// The stream decoder's inflater in this build (codec/inflater.h).
#ifdef ZQV_INFLATE_WITH_ISAL
constexpr const char *InflaterName = "ISA-L";
#else
constexpr const char *InflaterName = "zlib";
#endif

std::FILE *reportFile = nullptr;
bool reportFileFailed = false; // a write or flush to it failed

std::string LocalDateAndTime()
{
    std::time_t now = std::time(nullptr);
    char text[32] = "unknown date";
    if (const std::tm *local = std::localtime(&now))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", local);
    return text;
}

} // namespace

Status StartReportFile(const std::string &path, const std::string &what)
{
    reportFile = std::fopen(path.c_str(), "w");
    if (reportFile == nullptr)
        return Status::Failure("cannot create " + path);
    reportFileFailed = std::fprintf(reportFile, "zqv_bench, %s build, %s, zlib %s, inflating with %s: %s\n\n",
                                    BuildName, LocalDateAndTime().c_str(), zlibVersion(), InflaterName,
                                    what.c_str()) < 0;
    return Status::Success();
}

Status FinishReportFile()
{
    if (reportFile == nullptr)
        return Status::Success();
    bool closed = std::fclose(reportFile) == 0;
    reportFile = nullptr;
    if (reportFileFailed || !closed)
        return Status::Failure("the results could not all be written to the --out file");
    return Status::Success();
}

void Report(const char *format, ...)
{
    for (std::FILE *stream : {stdout, reportFile}) {
        if (stream == nullptr)
            continue;
        std::va_list arguments;
        va_start(arguments, format);
        bool written = std::vfprintf(stream, format, arguments) >= 0 && std::fflush(stream) == 0;
        va_end(arguments);
        if (!written && stream == reportFile)
            reportFileFailed = true;
    }
}

std::string Formatted(const char *format, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}
