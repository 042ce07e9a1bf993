#include "tools/zqv/outcome.h"

#include "tools/plugin_host.h"

#include <cstdio>

namespace {

struct ResultExit {
    int32_t result;
    ExitStatus status;
};

// Each plug-in result a decode can end with has an exit status of its own;
// what it means is said by the host library's ResultMessage.
constexpr ResultExit ResultExits[] = {
    {ResultAborted, ExitStopped},      {ResultBadFormat, ExitNotZqv},       {ResultBrokenData, ExitDamaged},
    {ResultNoMemory, ExitNoMemory},    {ResultMemoryError, ExitMemoryLock}, {ResultFileError, ExitFileError},
    {ResultNotImplemented, ExitNotProvided},
};

} // namespace

Status Reported(const Status &status, const std::string &subject, ExitStatus failed)
{
    if (status.Ok())
        return status;
    return Failure(status.Code() == Status::Stopped ? ExitStopped : failed, subject + ": " + status.Message());
}

Status PluginOutcome(int32_t result, const std::string &subject)
{
    if (result == ResultOk)
        return Success();
    for (const ResultExit &exit : ResultExits)
        if (exit.result == result)
            return Failure(exit.status, subject + ": " + ResultMessage(result));
    return Failure(ExitUnknownResult, subject + ": the plug-in failed with unknown result " + std::to_string(result));
}

std::string InputName(const std::string &path) { return path == "-" ? "standard input" : path; }

std::string OutputName(const std::string &path) { return path == "-" ? "standard output" : path; }

void ReportFailure(const Status &outcome)
{
    if (!outcome.Message().empty())
        std::fprintf(stderr, "zqv: %s\n", outcome.Message().c_str());
}
