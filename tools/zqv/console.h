// tools/zqv/console.h -- zqv at a console: its standard streams, Ctrl-C,
// and the progress bar. Ctrl-C is a request to stop, not a kill that could
// leave a temporary file behind: the handler raises a flag, and the work
// reads it at its next step (the plug-in through the progress callback) and
// winds down, tidying up.
#pragma once

#include "tools/status.h"

#include <cstddef>
#include <cstdint>

// Natively, a standard stream zqv was started without (closed, as by `>&-`)
// is held by /dev/null opened the other way, for writing where it is read
// and for reading where it is written: its use fails, as it would have, and
// no file zqv opens takes its number and gets what was meant for it (a
// worker's channel, an output file). Call first. Does nothing under Windows.
void HoldClosedStandardStreams();

// Flushes standard output, as every report does once printed; the reason
// of the first failure is kept for ReportWritten. From the printing thread.
void FlushReport();

// Whether the whole report reached standard output: flushed a last time and
// closed, once all is printed. Fails with ExitCannotWrite ("standard output:
// cannot write: No space left on device") when any of it did not: a script
// must not take a cut report for a whole one.
Status ReportWritten();

// Installs the handler: sigaction for SIGINT, SIGTERM and SIGHUP natively
// (and SIGXFSZ ignored, so a write past the file-size limit fails like any
// other), SetConsoleCtrlHandler on Windows. Call once, early. Only what
// cannot be caught (SIGKILL) or a power loss can leave a temporary file.
void CatchInterrupts();

// True once the user has asked to stop.
bool Interrupted();

// Natively, a stop asked of this process (SIGINT, SIGTERM, SIGHUP) is passed
// on to the worker processes named here, so that each winds down and tidies
// up as this one does; name each while it runs, and no longer once it ends.
// Under Windows Ctrl-C reaches every process of the console by itself, and
// these do nothing.
void ForwardStopsTo(int processId);
void StopForwardingTo(int processId);

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

    // Shows done / total (clamped to 0..100 %) and, when items is not 0,
    // "itemsDone/items" after it (the pictures of a batch); redraws only on
    // a change.
    void Update(int64_t done, int64_t total, size_t itemsDone = 0, size_t items = 0);

    // Wipes the bar, if drawn, so a line can be printed; the next Update
    // draws it again.
    void Clear();

private:
    bool shown_;
    int lastPercent_ = -1;
    size_t lastItemsDone_ = 0;
};

// One picture's share of a bar that may span a batch: its progress moves the
// bar from before to before + bytes, of total.
struct ProgressShare {
    ProgressBar &bar;
    uint64_t before;
    uint64_t bytes;
    uint64_t total;

    void Update(int64_t done, int64_t of) const;
};
