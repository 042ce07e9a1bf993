#include "tests/zqv/cli_support.h"

#include "tools/plugin_host.h"
#include "tools/process.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <zlib.h>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {
constexpr size_t FileSizeField = 2;

// Runs command with standardInput fed to it, its standard output to
// outputPath (or, when that is empty, to a file read back).
RunResult RunWithOutput(const std::vector<std::string> &command, const Bytes &standardInput,
                        const std::string &outputPath)
{
    // The streams go through files: no pipe can fill up and stall the child.
    ScratchDirectory streams;
    std::string inputPath = streams.Put("stdin", standardInput);
    std::string readBack = streams.File("stdout");
    std::string errorPath = streams.File("stderr");
    RunResult result;
    std::vector<std::string> arguments(command.begin() + 1, command.end());
    result.exitStatus = RunProgram(command[0], arguments, {inputPath, outputPath.empty() ? readBack : outputPath,
                                                           errorPath});
    if (outputPath.empty())
        result.standardOutput = ReadWholeFile(readBack);
    Bytes error = ReadWholeFile(errorPath);
    for (uint8_t byte : error)
        if (byte != '\r')
            result.standardError.push_back(static_cast<char>(byte));
    return result;
}
} // namespace

std::string RunResult::OutputText() const
{
    std::string text;
    for (uint8_t byte : standardOutput)
        if (byte != '\r')
            text.push_back(static_cast<char>(byte));
    return text;
}

std::string RunResult::Describe() const
{
    constexpr size_t ShownBytes = 300;
    std::string output = OutputText().substr(0, ShownBytes);
    return "exit status " + std::to_string(exitStatus) + ", stderr \"" + standardError + "\", stdout \"" + output +
           "\"";
}

std::string ZqvPath()
{
#ifdef _WIN32
    return ProgramDirectory() + "zqv.exe";
#else
    return ProgramDirectory() + "zqv";
#endif
}

RunResult RunZqv(const std::vector<std::string> &arguments, const Bytes &standardInput)
{
    std::vector<std::string> command{ZqvPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunCommand(command, standardInput);
}

RunResult RunCommand(const std::vector<std::string> &command, const Bytes &standardInput)
{
    return RunWithOutput(command, standardInput, "");
}

RunResult RunZqvInto(const std::string &path, const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{ZqvPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunWithOutput(command, {}, path);
}

#ifndef _WIN32
namespace {

// The user RunZqvLimited runs zqv as: one of this test process's own, which
// no other process has (a user needs no name to run a process).
uid_t LimitedUser()
{
    constexpr uid_t FirstTestUser = 1000000;
    return geteuid() == 0 ? FirstTestUser + static_cast<uid_t>(getpid()) : geteuid();
}

// Lets everyone read path and everything below it, and search and run what
// may be searched or run by its owner.
void OpenToAll(const std::filesystem::path &path)
{
    namespace fs = std::filesystem;
    auto open = [](const fs::path &entry) {
        fs::perms perms = fs::status(entry).permissions();
        fs::perms added = fs::perms::group_read | fs::perms::others_read;
        if ((perms & fs::perms::owner_exec) != fs::perms::none)
            added |= fs::perms::group_exec | fs::perms::others_exec;
        fs::permissions(entry, added, fs::perm_options::add);
    };
    open(path);
    for (const auto &entry : fs::recursive_directory_iterator(path))
        open(entry.path());
}

} // namespace

RunResult RunZqvLimited(const std::string &limit, const std::string &directory,
                        const std::vector<std::string> &arguments)
{
    // A copy, as the user may not reach the build tree (a clone below /root).
    std::string zqv = (std::filesystem::path(directory) / "zqv-limited").string();
    std::error_code ignored;
    std::filesystem::copy_file(ZqvPath(), zqv, std::filesystem::copy_options::skip_existing, ignored);
    OpenToAll(directory);
    std::vector<std::string> command;
    if (geteuid() == 0) {
        std::string user = std::to_string(LimitedUser());
        command = {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user, "--clear-groups", "--"};
    }
    for (const std::string &part : {std::string("/usr/bin/env"), std::string("ASAN_OPTIONS=detect_leaks=0"),
                                    std::string("/usr/bin/prlimit"), limit, std::string("--"), zqv})
        command.push_back(part);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunCommand(command);
}

void GiveToLimitedUser(const std::string &path)
{
    if (chown(path.c_str(), LimitedUser(), static_cast<gid_t>(LimitedUser())) != 0)
        std::abort();
}
#endif

ScratchDirectory::ScratchDirectory()
    : path_((std::filesystem::temp_directory_path() / UniqueName("zqv-cli")).string())
{
    std::filesystem::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDirectory::File(const std::string &name) const
{
    return (std::filesystem::path(path_) / name).string();
}

std::string ScratchDirectory::Put(const std::string &name, const Bytes &contents) const
{
    std::string path = File(name);
    if (!WriteWholeFile(path, contents).Ok())
        std::abort();
    return path;
}

std::vector<std::string> ScratchDirectory::Entries() const
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string FixtureDirectory()
{
    const char *directory = std::getenv("ZQV_FIXTURES");
    return directory == nullptr ? std::string() : HostPath(directory);
}

Bytes WithRealSizeField(Bytes bmp)
{
    PutLittle32(bmp, FileSizeField, static_cast<uint32_t>(bmp.size()));
    return bmp;
}

Bytes UnwrapIndependently(const Bytes &container, size_t expectedSize)
{
    Bytes packed = Masked(container);
    Bytes unpacked(expectedSize + 1);
    uLongf unpackedLength = static_cast<uLongf>(unpacked.size());
    if (uncompress(unpacked.data(), &unpackedLength, packed.data(), static_cast<uLong>(packed.size())) != Z_OK)
        return {};
    unpacked.resize(unpackedLength);
    return unpacked;
}
