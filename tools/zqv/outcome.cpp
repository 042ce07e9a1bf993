#include "tools/zqv/outcome.h"

#include "plugin/api.h"

#include <cstdio>

namespace {

struct ResultMeaning {
    int32_t result;
    ExitStatus status;
    const char *meaning;
};

// The plug-in answers ResultNoMemory also when a BMP's pixel-data offset is
// below 14, hence the second half of that message.
constexpr ResultMeaning ResultMeanings[] = {
    {ResultAborted, ExitStopped, "stopped before the picture was complete"},
    {ResultBadFormat, ExitNotZqv, "not a ZQV picture (it does not hold a BMP file)"},
    {ResultBrokenData, ExitDamaged, "damaged data (the compressed stream is corrupt)"},
    {ResultNoMemory, ExitNoMemory, "out of memory (or the picture's pixel-data offset is impossible)"},
    {ResultMemoryError, ExitMemoryLock, "out of memory (the decoded picture cannot be locked)"},
    {ResultFileError, ExitFileError, "cannot open the file, or read it at the offset given"},
    {ResultNotImplemented, ExitNotProvided, "the plug-in does not provide this"},
};

} // namespace

Outcome PluginOutcome(int32_t result, const std::string &subject)
{
    if (result == ResultOk)
        return Success();
    for (const ResultMeaning &meaning : ResultMeanings)
        if (meaning.result == result)
            return Failure(meaning.status, subject + ": " + meaning.meaning);
    return Failure(ExitUnknownResult, subject + ": the plug-in failed with unknown result " + std::to_string(result));
}

std::string InputName(const std::string &path) { return path == "-" ? "standard input" : path; }

std::string OutputName(const std::string &path) { return path == "-" ? "standard output" : path; }

void ReportFailure(const Outcome &outcome)
{
    if (!outcome.message.empty())
        std::fprintf(stderr, "zqv: %s\n", outcome.message.c_str());
}
