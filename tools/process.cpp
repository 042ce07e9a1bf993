#include "tools/process.h"

#include <cstdint>
#include <cstdio>
#include <mutex>

namespace {

// No message between zqv and its workers comes near this; a length beyond it
// is a stream out of step, not a message.
constexpr uint32_t MostMessageBytes = 1u << 30;

void AppendWord(std::string *bytes, uint32_t word)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes->push_back(static_cast<char>(word >> shift));
}

// A message as it travels: the count of its strings, then each string's
// length and bytes, lengths as 32-bit little-endian words.
std::string Framed(const Message &message)
{
    std::string bytes;
    AppendWord(&bytes, static_cast<uint32_t>(message.size()));
    for (const std::string &part : message) {
        AppendWord(&bytes, static_cast<uint32_t>(part.size()));
        bytes += part;
    }
    return bytes;
}

// Reads one message through readExactly(destination, count), which fills
// the destination or fails.
template <typename ReadExactly> bool ReadFramed(ReadExactly readExactly, Message *message)
{
    auto readWord = [&](uint32_t *word) {
        unsigned char bytes[4];
        if (!readExactly(bytes, sizeof bytes))
            return false;
        *word = bytes[0] | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
        return true;
    };
    uint32_t count = 0;
    if (!readWord(&count) || count > MostMessageBytes)
        return false;
    message->assign(count, std::string());
    uint64_t total = 0;
    for (std::string &part : *message) {
        uint32_t length = 0;
        if (!readWord(&length) || (total += length) > MostMessageBytes)
            return false;
        part.resize(length);
        if (length > 0 && !readExactly(part.data(), length))
            return false;
    }
    return true;
}

} // namespace

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

namespace {

// Exit codes from here on are the system's exception codes (an access
// violation is 0xC0000005), not a program's own.
constexpr DWORD ExceptionCodes = 0xC0000000u;
// The exit code a worker killed for want of patience is given: a shell's for
// a process ended by SIGKILL.
constexpr UINT KilledExitCode = 128 + 9;

// Workers start one at a time: a child inherits every inheritable handle, so
// while one starts, its ends of its pipes must be the only such ones.
std::mutex workerStart;

// Waits until the pipe from has bytes, or has ended (which ReadFile then
// finds), while patience lasts; process, the writer, ending wakes it early.
bool AwaitBytes(HANDLE from, HANDLE process, const Patience &patience)
{
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(from, nullptr, 0, nullptr, &available, nullptr) || available > 0)
            return true;
        if (!patience())
            return false;
        WaitForSingleObject(process, PatienceStepMs);
    }
}

// Reads exactly count bytes; false at the pipe's end, on an error, or when
// patience (if any) runs out first.
bool ReadHandle(HANDLE from, void *destination, size_t count, HANDLE process = nullptr,
                const Patience &patience = nullptr)
{
    auto *bytes = static_cast<char *>(destination);
    while (count > 0) {
        DWORD got = 0;
        if (patience && !AwaitBytes(from, process, patience))
            return false;
        if (!ReadFile(from, bytes, static_cast<DWORD>(count), &got, nullptr) || got == 0)
            return false;
        bytes += got;
        count -= got;
    }
    return true;
}

bool WriteHandle(HANDLE to, const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        DWORD wrote = 0;
        if (!WriteFile(to, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote, nullptr))
            return false;
        done += wrote;
    }
    return true;
}

// A pipe whose one end, the child's, is inheritable.
bool ChildPipe(HANDLE *childEnd, HANDLE *ourEnd, bool childReads)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    *childEnd = childReads ? readEnd : writeEnd;
    *ourEnd = childReads ? writeEnd : readEnd;
    SetHandleInformation(*ourEnd, HANDLE_FLAG_INHERIT, 0);
    return true;
}

void CloseIfOpen(HANDLE handle)
{
    if (handle != nullptr)
        CloseHandle(handle);
}

// The failure of what, with the system's error code.
Status SystemFailure(const std::string &what)
{
    return Status::Failure(what + " (error " + std::to_string(GetLastError()) + ")");
}

} // namespace

Status StartWorker(const std::string &program, const std::vector<std::string> &arguments, Worker *worker)
{
    std::string commandLine = QuoteArgument(program);
    for (const std::string &argument : arguments)
        commandLine.append(1, ' ').append(QuoteArgument(argument));
    std::lock_guard<std::mutex> starting(workerStart);
    HANDLE childInput = nullptr, requests = nullptr, childOutput = nullptr, answers = nullptr;
    bool piped = ChildPipe(&childInput, &requests, true) && ChildPipe(&childOutput, &answers, false);
    Status failure = piped ? Status::Success() : SystemFailure("cannot make a pipe");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = InheritableStream("", GENERIC_WRITE, 0, STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (piped && !CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process))
        failure = SystemFailure("cannot start a process");
    for (HANDLE childEnd : {childInput, childOutput, startup.hStdError})
        CloseIfOpen(childEnd);
    if (!failure.Ok()) {
        CloseIfOpen(requests);
        CloseIfOpen(answers);
        return failure;
    }
    CloseHandle(process.hThread);
    *worker = {static_cast<int>(process.dwProcessId), process.hProcess, requests, answers};
    return Status::Success();
}

bool SendRequest(Worker *worker, const Message &request) { return WriteHandle(worker->requests, Framed(request)); }

bool ReceiveAnswer(Worker *worker, Message *answer, const Patience &patience)
{
    return ReadFramed(
        [&](void *into, size_t count) { return ReadHandle(worker->answers, into, count, worker->process, patience); },
        answer);
}

std::string EndWorker(Worker *worker, const Patience &patience)
{
    CloseIfOpen(worker->requests);
    while (WaitForSingleObject(worker->process, PatienceStepMs) == WAIT_TIMEOUT)
        if (!patience()) {
            TerminateProcess(worker->process, KilledExitCode);
            WaitForSingleObject(worker->process, INFINITE);
            break;
        }
    DWORD exitCode = 0;
    GetExitCodeProcess(worker->process, &exitCode);
    CloseIfOpen(worker->answers);
    CloseIfOpen(worker->process);
    *worker = Worker{};
    if (exitCode == 0)
        return "";
    char described[32];
    std::snprintf(described, sizeof described, exitCode >= ExceptionCodes ? "exception 0x%08lx" : "exit status %lu",
                  static_cast<unsigned long>(exitCode));
    return described;
}

bool ReceiveRequest(Message *request)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return ReadFramed([&](void *into, size_t count) { return ReadHandle(input, into, count); }, request);
}

bool SendAnswer(const Message &answer) { return WriteHandle(GetStdHandle(STD_OUTPUT_HANDLE), Framed(answer)); }

int AvailableProcessors()
{
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0)
        return 1;
    return __builtin_popcountll(process);
}

#else

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
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

namespace {

// Waits until descriptor can be read (or has ended, or failed, which the
// read then finds) while patience lasts.
bool AwaitReadable(int descriptor, const Patience &patience)
{
    for (;;) {
        pollfd readable{descriptor, POLLIN, 0};
        int ready = poll(&readable, 1, PatienceStepMs);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true;
        if (!patience())
            return false;
    }
}

// Reads exactly count bytes from descriptor, through interruptions; false
// at its end, on an error, or when patience (if any) runs out first.
bool ReadDescriptor(int descriptor, void *destination, size_t count, const Patience &patience = nullptr)
{
    auto *bytes = static_cast<char *>(destination);
    while (count > 0) {
        if (patience && !AwaitReadable(descriptor, patience))
            return false;
        ssize_t got = read(descriptor, bytes, count);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

// Writes all of bytes to descriptor; a socket whose reader is gone fails
// with EPIPE rather than raise SIGPIPE.
bool WriteDescriptor(int descriptor, const std::string &bytes, bool isSocket)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t wrote = isSocket ? send(descriptor, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                                 : write(descriptor, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The failure of what, with the system's reason.
Status SystemFailure(const std::string &what, int error)
{
    return Status::Failure(what + ": " + std::strerror(error));
}

// Waits for the child to end, through interruptions, and takes its status.
int Reap(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
        ;
    return status;
}

// Whether the child has ended, waiting for it while patience lasts; the
// checks come quickly at first, as a worker told to end does so at once.
bool AwaitEnd(pid_t child, const Patience &patience)
{
    constexpr auto FirstStep = std::chrono::milliseconds(1);
    constexpr auto LastStep = std::chrono::milliseconds(PatienceStepMs);
    for (auto step = FirstStep;; step = std::min(step * 2, LastStep)) {
        siginfo_t ended{};
        int waited = waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT);
        if (waited != 0 && errno == EINTR)
            continue;
        if (waited != 0 || ended.si_pid == child) // no such child has nothing to wait for either
            return true;
        if (!patience())
            return false;
        std::this_thread::sleep_for(step);
    }
}

} // namespace

Status StartWorker(const std::string &program, const std::vector<std::string> &arguments, Worker *worker)
{
    std::vector<std::string> copies(arguments);
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (std::string &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // Both ends close on exec: the child gets its end only as its standard
    // input and output, and no other worker gets either.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return SystemFailure("cannot make a socket pair", errno);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    std::fflush(nullptr);
    pid_t child = 0;
    int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (spawned != 0) {
        close(ends[0]);
        return SystemFailure("cannot start a process", spawned);
    }
    *worker = {static_cast<int>(child), ends[0]};
    return Status::Success();
}

bool SendRequest(Worker *worker, const Message &request)
{
    return WriteDescriptor(worker->channel, Framed(request), true);
}

bool ReceiveAnswer(Worker *worker, Message *answer, const Patience &patience)
{
    return ReadFramed(
        [&](void *into, size_t count) { return ReadDescriptor(worker->channel, into, count, patience); }, answer);
}

std::string EndWorker(Worker *worker, const Patience &patience)
{
    if (worker->channel >= 0)
        close(worker->channel);
    // Not yet reaped, the worker keeps its process id: the kill cannot reach
    // another process that has taken it since.
    if (!AwaitEnd(worker->id, patience))
        kill(worker->id, SIGKILL);
    int status = Reap(worker->id);
    *worker = Worker{};
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    return exitStatus == 0 ? "" : "exit status " + std::to_string(exitStatus);
}

bool ReceiveRequest(Message *request)
{
    return ReadFramed([](void *into, size_t count) { return ReadDescriptor(STDIN_FILENO, into, count); }, request);
}

bool SendAnswer(const Message &answer) { return WriteDescriptor(STDOUT_FILENO, Framed(answer), false); }

int AvailableProcessors()
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&allowed));
}

#endif
