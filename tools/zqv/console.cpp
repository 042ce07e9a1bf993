#include "tools/zqv/console.h"

#include "tools/zqv/outcome.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include "platform/platform.h"
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Why standard output first failed to take the report; 0 while it has not.
int reportError = 0;

// Set from a signal handler natively, from the console handler's own thread
// on win32; a lock-free atomic is safe for both.
std::atomic<bool> stopRequested{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    stopRequested = true;
    return TRUE;
}
#else
// The workers a stop is passed on to; 0 is a free place. Read by the signal
// handler, so lock-free atomics, and kill, which a handler may call.
constexpr size_t MostForwarded = 256;
std::atomic<int> forwardedTo[MostForwarded];

void OnSignal(int signal)
{
    stopRequested = true;
    for (std::atomic<int> &processId : forwardedTo)
        if (int id = processId.load(); id > 0)
            kill(id, signal);
}
#endif

// Inputs from this size on take long enough to be worth a bar.
constexpr uint64_t LargeInputBytes = 1u << 20;
constexpr int BarWidth = 40;
// What Clear wipes: the brackets, the bar, the percentage and a count of
// pictures such as "  12345/67890".
constexpr int BarLineWidth = BarWidth + 32;
constexpr int FullPercent = 100;

int PercentOf(int64_t done, int64_t total)
{
    return total <= 0 ? 0 : static_cast<int>(std::clamp<int64_t>(done, 0, total) * FullPercent / total);
}

bool StandardErrorIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

} // namespace

void HoldClosedStandardStreams()
{
#ifndef _WIN32
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (fcntl(stream, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", stream == STDIN_FILENO ? O_WRONLY : O_RDONLY); // the lowest free number: stream's
#endif
}

void FlushReport()
{
    if (std::fflush(stdout) != 0 && reportError == 0)
        reportError = errno;
}

Status ReportWritten()
{
    FlushReport();
    bool cut = std::ferror(stdout) != 0;
    if (std::fclose(stdout) != 0 && reportError == 0)
        reportError = errno;
    if (!cut && reportError == 0)
        return Success();
    // A failure inside printf, which flushes as its buffer fills, leaves no
    // reason behind.
    std::string why = reportError != 0 ? std::strerror(reportError) : "the report was cut short";
    return Failure(ExitCannotWrite, "standard output: cannot write: " + why);
}

void CatchInterrupts()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    // No SA_RESTART: a read blocked on a pipe returns at once with EINTR, so
    // an interrupt while reading standard input is seen without delay.
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    // A write past the file-size limit (ulimit -f) then fails with EFBIG, as
    // any failed write, and the file it was for is removed; the signal's
    // default would end the process with the temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool Interrupted() { return stopRequested; }

#ifdef _WIN32
void ForwardStopsTo(int) {}
void StopForwardingTo(int) {}
#else
void ForwardStopsTo(int processId)
{
    for (std::atomic<int> &place : forwardedTo) {
        int free = 0;
        if (place.compare_exchange_strong(free, processId))
            return;
    }
}

void StopForwardingTo(int processId)
{
    for (std::atomic<int> &place : forwardedTo) {
        int named = processId;
        if (place.compare_exchange_strong(named, 0))
            return;
    }
}
#endif

void ProgressShare::Update(int64_t done, int64_t of) const
{
    uint64_t share = of <= 0 ? 0 : bytes * static_cast<uint64_t>(std::clamp<int64_t>(done, 0, of)) / of;
    bar.Update(static_cast<int64_t>(before + share), static_cast<int64_t>(total));
}

ProgressBar::ProgressBar(bool wanted, uint64_t inputBytes)
    : shown_(wanted && inputBytes >= LargeInputBytes && StandardErrorIsTerminal())
{
}

void ProgressBar::Clear()
{
    if (shown_ && lastPercent_ >= 0)
        std::fprintf(stderr, "\r%*s\r", BarLineWidth, "");
    lastPercent_ = -1;
}

void ProgressBar::Update(int64_t done, int64_t total, size_t itemsDone, size_t items)
{
    int percent = PercentOf(done, total);
    if (!shown_ || (percent == lastPercent_ && itemsDone == lastItemsDone_))
        return;
    lastPercent_ = percent;
    lastItemsDone_ = itemsDone;
    int filled = percent * BarWidth / FullPercent;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(BarWidth - filled), '.');
    std::string count = items == 0 ? "" : "  " + std::to_string(itemsDone) + "/" + std::to_string(items);
    std::fprintf(stderr, "\r[%s] %3d%%%s", bar.c_str(), percent, count.c_str());
    std::fflush(stderr);
}
