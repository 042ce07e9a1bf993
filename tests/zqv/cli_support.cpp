#include "tests/zqv/cli_support.h"

#include "tools/plugin_host.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <zlib.h>

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace {

constexpr size_t FileSizeField = 2;

#ifdef _WIN32

// Quotes one argument so the child's runtime splits it back unchanged.
std::string QuoteArgument(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char character : argument) {
        if (character == '\\') {
            backslashes++;
            continue;
        }
        quoted.append(character == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(character);
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

HANDLE OpenInheritable(const std::string &path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

int SpawnAndWait(const std::vector<std::string> &arguments, const std::string &inputPath,
                 const std::string &outputPath, const std::string &errorPath)
{
    std::string commandLine = QuoteArgument(ZqvPath());
    for (const std::string &argument : arguments)
        commandLine.append(1, ' ').append(QuoteArgument(argument));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = OpenInheritable(inputPath, GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = OpenInheritable(outputPath, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = OpenInheritable(errorPath, GENERIC_WRITE, CREATE_ALWAYS);
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(ZqvPath().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    DWORD exitCode = static_cast<DWORD>(-1);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(startup.hStdInput);
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    return static_cast<int>(exitCode);
}

#else

int SpawnAndWait(const std::vector<std::string> &arguments, const std::string &inputPath,
                 const std::string &outputPath, const std::string &errorPath)
{
    std::string program = ZqvPath();
    std::vector<char *> argv{program.data()};
    std::vector<std::string> copies(arguments);
    for (std::string &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

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
    // The streams go through files: no pipe can fill up and stall the child.
    ScratchDirectory streams;
    std::string inputPath = streams.Put("stdin", standardInput);
    std::string outputPath = streams.File("stdout");
    std::string errorPath = streams.File("stderr");
    RunResult result;
    result.exitStatus = SpawnAndWait(arguments, inputPath, outputPath, errorPath);
    result.standardOutput = LoadFile(outputPath);
    Bytes error = LoadFile(errorPath);
    result.standardError.assign(error.begin(), error.end());
    return result;
}

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
    if (!WriteWholeFile(path, contents))
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

Bytes LoadFile(const std::string &path)
{
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(path, error);
    std::FILE *file = error ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return {};
    Bytes contents(static_cast<size_t>(size));
    contents.resize(std::fread(contents.data(), 1, contents.size(), file));
    std::fclose(file);
    return contents;
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
