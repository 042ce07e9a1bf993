#include "bench/child_process.h"

#include <cstdio>

#ifdef _WIN32

#include <windows.h>

namespace {

constexpr DWORD ReadPieceBytes = 4096;

// One argument as the C runtime's command-line parser splits it back out:
// in quotes, with backslashes doubled only where they precede a quote.
std::string QuoteArgument(const std::string &argument)
{
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

std::string ErrorText(const char *what)
{
    return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

std::string ReadAll(HANDLE pipe)
{
    std::string collected;
    char piece[ReadPieceBytes];
    DWORD read = 0;
    while (ReadFile(pipe, piece, sizeof piece, &read, nullptr) && read > 0)
        collected.append(piece, read);
    return collected;
}

// This process's standard error, as a handle the child may inherit; null
// when there is none.
HANDLE InheritableStandardError()
{
    HANDLE inheritable = nullptr;
    HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
    if (own != nullptr && own != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &inheritable, 0, TRUE, DUPLICATE_SAME_ACCESS);
    return inheritable;
}

} // namespace

Status RunSelf(const std::vector<std::string> &arguments, std::string *output, int *exitCode)
{
    char modulePath[MAX_PATH];
    DWORD pathLength = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    if (pathLength == 0 || pathLength == MAX_PATH)
        return Status::Failure(ErrorText("GetModuleFileNameA"));
    std::string commandLine = QuoteArgument(modulePath);
    for (const std::string &argument : arguments) {
        commandLine += ' ';
        commandLine += QuoteArgument(argument);
    }

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return Status::Failure(ErrorText("CreatePipe"));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0); // the child gets the write end only
    HANDLE childError = InheritableStandardError();

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = childError;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(modulePath, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    std::string startError = started ? std::string() : ErrorText("CreateProcessA");
    // Only the child may hold the write end now, so the pipe ends when it does.
    CloseHandle(writeEnd);
    if (childError != nullptr)
        CloseHandle(childError);
    if (!started) {
        CloseHandle(readEnd);
        return Status::Failure(startError);
    }
    *output = ReadAll(readEnd);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    *exitCode = static_cast<int>(code);
    return Status::Success();
}

#else

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t ReadPieceBytes = 4096;
constexpr const char *OwnExecutable = "/proc/self/exe";
constexpr int ExecFailedStatus = 127; // as a shell reports a command it could not run
constexpr int SignalStatusBase = 128; // as a shell reports a child ended by a signal

std::string ErrorText(const char *what) { return std::string(what) + " failed: " + std::strerror(errno); }

std::string ReadAll(int descriptor)
{
    std::string collected;
    char piece[ReadPieceBytes];
    for (;;) {
        ssize_t read = ::read(descriptor, piece, sizeof piece);
        if (read > 0)
            collected.append(piece, static_cast<size_t>(read));
        else if (read == 0 || errno != EINTR)
            return collected;
    }
}

[[noreturn]] void ExecSelf(const std::vector<std::string> &arguments, int outputDescriptor)
{
    dup2(outputDescriptor, STDOUT_FILENO);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(OwnExecutable));
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    execv(OwnExecutable, argv.data());
    _exit(ExecFailedStatus);
}

int ExitCodeOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    return SignalStatusBase + WTERMSIG(waitStatus);
}

} // namespace

Status RunSelf(const std::vector<std::string> &arguments, std::string *output, int *exitCode)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return Status::Failure(ErrorText("pipe2"));
    std::fflush(nullptr); // nothing buffered may reach the child's copy of the streams
    pid_t child = fork();
    if (child < 0) {
        std::string error = ErrorText("fork");
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return Status::Failure(error);
    }
    if (child == 0)
        ExecSelf(arguments, pipeEnds[1]);
    close(pipeEnds[1]);
    *output = ReadAll(pipeEnds[0]);
    close(pipeEnds[0]);
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) < 0)
        if (errno != EINTR)
            return Status::Failure(ErrorText("waitpid"));
    *exitCode = ExitCodeOf(waitStatus);
    return Status::Success();
}

#endif
