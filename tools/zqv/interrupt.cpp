#include "tools/zqv/interrupt.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include "platform/platform.h"
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
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

bool Interrupted() { return stopRequested; }
