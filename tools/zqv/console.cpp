#include "tools/zqv/console.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include "platform/platform.h"
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

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
void OnSignal(int) { stopRequested = true; }
#endif

// Inputs from this size on take long enough to be worth a bar.
constexpr uint64_t LargeInputBytes = 1u << 20;
constexpr int BarWidth = 40;
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

ProgressBar::ProgressBar(bool wanted, uint64_t inputBytes)
    : shown_(wanted && inputBytes >= LargeInputBytes && StandardErrorIsTerminal())
{
}

void ProgressBar::Clear()
{
    if (shown_ && lastPercent_ >= 0)
        std::fprintf(stderr, "\r%*s\r", BarWidth + 8, "");
    lastPercent_ = -1;
}

void ProgressBar::Update(int64_t done, int64_t total)
{
    int percent = PercentOf(done, total);
    if (!shown_ || percent == lastPercent_)
        return;
    lastPercent_ = percent;
    int filled = percent * BarWidth / FullPercent;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(BarWidth - filled), '.');
    std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), percent);
    std::fflush(stderr);
}
