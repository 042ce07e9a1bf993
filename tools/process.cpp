#include "tools/process.h"

#include <cstdio>

#ifdef _WIN32

#include "platform/platform.h"

namespace {

// One argument as the C runtime's command-line parser splits it back out:
// in quotes, with backslashes doubled only where they precede a quote.
std::string QuoteArgument(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char character : argument) {
        if (character == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(character == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += character;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// The file at path, or (path empty) a copy of this program's own stream,
// as a handle the child inherits; null when there is none.
HANDLE InheritableStream(const std::string &path, DWORD access, DWORD disposition, DWORD standard)
{
    if (!path.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        return file == INVALID_HANDLE_VALUE ? nullptr : file;
    }
    HANDLE inheritable = nullptr;
    HANDLE own = GetStdHandle(standard);
    if (own != nullptr && own != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &inheritable, 0, TRUE, DUPLICATE_SAME_ACCESS);
    return inheritable;
}

} // namespace

int RunProgram(const std::string &program, const std::vector<std::string> &arguments, const ChildStreams &streams)
{
    std::string commandLine = QuoteArgument(program);
    for (const std::string &argument : arguments)
        commandLine.append(1, ' ').append(QuoteArgument(argument));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableStream(streams.input, GENERIC_READ, OPEN_EXISTING, STD_INPUT_HANDLE);
    startup.hStdOutput = InheritableStream(streams.output, GENERIC_WRITE, CREATE_ALWAYS, STD_OUTPUT_HANDLE);
    startup.hStdError = InheritableStream(streams.error, GENERIC_WRITE, CREATE_ALWAYS, STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    DWORD exitCode = static_cast<DWORD>(-1);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    for (HANDLE stream : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (stream != nullptr)
            CloseHandle(stream);
    return static_cast<int>(exitCode);
}

#else

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int SignalStatusBase = 128; // as a shell reports a child ended by a signal
constexpr mode_t OwnerReadWrite = 0600;

void Redirect(posix_spawn_file_actions_t *actions, int descriptor, const std::string &path, int flags)
{
    if (!path.empty())
        posix_spawn_file_actions_addopen(actions, descriptor, path.c_str(), flags, OwnerReadWrite);
}

} // namespace

int RunProgram(const std::string &program, const std::vector<std::string> &arguments, const ChildStreams &streams)
{
    std::vector<std::string> copies(arguments);
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (std::string &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    Redirect(&actions, STDIN_FILENO, streams.input, O_RDONLY);
    Redirect(&actions, STDOUT_FILENO, streams.output, O_WRONLY | O_CREAT | O_TRUNC);
    Redirect(&actions, STDERR_FILENO, streams.error, O_WRONLY | O_CREAT | O_TRUNC);
    std::fflush(nullptr); // nothing buffered may reach the child's streams twice
    pid_t child = 0;
    int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : SignalStatusBase + WTERMSIG(status);
}

#endif
