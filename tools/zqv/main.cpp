// zqv: the command-line companion of IFYZQV.SPI. See help.cpp for what it
// does; every command reaches the plug-in through the host library.
#include "tools/plugin_host.h"
#include "tools/zqv/commands.h"
#include "tools/zqv/console.h"
#include "tools/zqv/options.h"
#include "tools/zqv/outcome.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// A worker of another zqv's -j: answers its requests until they end.
Status RunAsWorker(const Options &options, const PluginExports &plugin)
{
    return RunWorker([&](const Message &request) {
        switch (options.command) {
        case Command::Decode:
            return ConvertRequest(options, &plugin, request);
        case Command::Check:
            return CheckRequest(plugin, request);
        default:
            return InfoRequest(options, request);
        }
    });
}

Status RunWithPlugin(const Options &options)
{
    PluginExports plugin;
    Status loaded = LoadPlugin(&plugin);
    if (!loaded.Ok())
        return Failure(ExitNoPlugin, loaded.Message());
    Status outcome = options.worker                      ? RunAsWorker(options, plugin)
                     : options.command == Command::Decode ? RunDecode(options, plugin)
                     : options.command == Command::Probe ? RunProbe(options, plugin)
                     : options.command == Command::Check ? RunCheck(options, plugin)
                     : options.command == Command::Info  ? RunInfo(options, plugin)
                                                         : RunPlugin(plugin);
    UnloadPlugin(&plugin);
    return outcome;
}

Status Run(const Options &options)
{
    if (options.help) {
        std::fputs(HelpText(options.command), stdout);
        return Success();
    }
    if (options.version) {
        std::printf("%s\n", VersionText());
        return Success();
    }
    CatchInterrupts();
    if (options.command == Command::Encode && options.worker)
        return RunWorker([&](const Message &request) { return ConvertRequest(options, nullptr, request); });
    if (options.command == Command::Encode)
        return RunEncode(options);
    return RunWithPlugin(options);
}

} // namespace

int main(int argc, char **argv)
{
    HoldClosedStandardStreams();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    Options options;
    Status outcome = ParseCommandLine(arguments, &options);
    if (outcome.Ok())
        outcome = Run(options);
    // Whatever the command came to, a report that did not all reach standard
    // output fails the run; one that failed to write says so already.
    Status written = ReportWritten();
    ReportFailure(outcome);
    if (written.Ok() || outcome.Code() == ExitCannotWrite)
        return outcome.Code();
    ReportFailure(written);
    return written.Code();
}
