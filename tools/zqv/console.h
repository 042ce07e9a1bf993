// tools/zqv/console.h -- zqv at a console: Ctrl-C, and the progress bar.
// Ctrl-C is a request to stop, not a kill that could leave a temporary file
// behind: the handler raises a flag, and the work reads it at its next step
// (the plug-in through the progress callback) and winds down, tidying up.
#pragma once

#include <cstdint>

// Installs the handler: sigaction for SIGINT, SIGTERM and SIGHUP natively
// (and SIGXFSZ ignored, so a write past the file-size limit fails like any
// other), SetConsoleCtrlHandler on Windows. Call once, early. Only what
// cannot be caught (SIGKILL) or a power loss can leave a temporary file.
void CatchInterrupts();

// True once the user has asked to stop.
bool Interrupted();

// Draws "[#####.....]  50%" on standard error, redrawing in place. A bar
// that is not shown ignores every call, so callers need not ask.
class ProgressBar {
public:
    // Shown only if wanted (no --quiet), the input is 1 MiB or more and standard
    // error is a terminal: in a pipe or a log file the bar would be noise.
    ProgressBar(bool wanted, uint64_t inputBytes);
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // Shows done / total (clamped to 0..100 %); redraws only on a change.
    void Update(int64_t done, int64_t total);

    // Wipes the bar, if drawn, so a line can be printed; the next Update
    // draws it again.
    void Clear();

private:
    bool shown_;
    int lastPercent_ = -1;
};
