#include "tools/zqv/interrupt.h"

#include <csignal>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <atomic>
#include <windows.h>
#endif

#ifdef _WIN32

namespace {

// The console handler runs on a thread of its own.
std::atomic<bool> stopRequested{false};

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    stopRequested = true;
    return TRUE;
}

} // namespace

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool Interrupted() { return stopRequested; }

#else

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) { stopRequested = 1; }

} // namespace

void CatchInterrupts()
{
    // No SA_RESTART: a read blocked on a pipe returns at once with EINTR, so
    // an interrupt while reading standard input is seen without delay.
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return stopRequested != 0; }

#endif
