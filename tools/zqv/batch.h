// tools/zqv/batch.h -- zqv over many pictures at once: what each picture
// comes to, printed in input order; the conversions of decode -o and
// encode -o, planned whole before any is made so that no output is written
// twice and nothing this run writes is taken for an existing file; and the
// work spread over worker processes of zqv itself (-j).
//
// Why processes, not threads: every decode goes through the plug-in's
// exports as a viewer's would, and the plug-in lets one decode run at a time
// in a process (its one lock). Each worker loads the plug-in for itself.
#pragma once

#include "tools/process.h"
#include "tools/status.h"
#include "tools/zqv/console.h"
#include "tools/zqv/inputs.h"

#include <functional>
#include <string>
#include <vector>

// What one picture of a collection came to: the lines it prints and how it
// counts in the summary.
struct ItemReport {
    std::string out;      // for standard output
    std::string err;      // for standard error
    int tally = 0;        // the summary count it adds to, in the command's own numbering
    int exitStatus = 0;   // its own exit status, 0 when it went well
    bool stopped = false; // Ctrl-C stopped it: the run ends after it
};

// Prints the report's lines, standard error's first, and flushes both.
void PrintReport(const ItemReport &report);

// One conversion of a batch: an input, where its output goes, and what was
// decided of it before any work.
struct Conversion {
    InputFile input;
    std::string output;
    Status refused;       // why it is not made (the input's problem, a collision), or success
    bool skipped = false; // its output exists and --force was not given
};

// Plans the batch: each input's output below directory, its extension made
// `extension`. Inputs whose outputs are one file (the same name, or names
// the file system takes as one: in the Windows builds, names that differ
// only in case), or whose output is one of the inputs, are refused, each
// naming the others; the rest are skipped where the output exists and force
// is off.
std::vector<Conversion> PlanConversions(const std::vector<InputFile> &inputs, const std::string &directory,
                                        const std::string &extension, bool force);

// ---------------------------------------------------------------------------
// Working through the pictures: in this process alone, or spread over worker
// processes.

// How a command works through its pictures, as RunItems needs it.
struct ItemWork {
    size_t count = 0;
    // Picture i done here, in this process; share moves the bar as it goes.
    std::function<ItemReport(size_t, const ProgressShare &)> here;
    // What a worker is sent for picture i; empty: done here, as a picture
    // whose report was decided before any work, or standard input.
    std::function<Message(size_t)> request;
    // The report of picture i when its worker, process workerId, ended
    // without answering, as `how` says ("signal 9").
    std::function<ItemReport(size_t, int workerId, const std::string &how)> lost;
    // The bytes of picture i, for the bar.
    std::function<uint64_t(size_t)> bytes;
};

// How long a worker may take to wind down after a stop is asked for: more
// than any picture under way needs to see the stop and tidy up.
constexpr int StopGraceSeconds = 3;

// Runs the pictures and prints each report in input order, a picture's as
// soon as it and all before it are done; counted(report) is called for each
// as it is printed. With jobs of 1 (or one picture for a worker) they are
// done one after another here. With more, by up to jobs worker processes
// (this program, started with workerArguments), each taking the next
// picture as it is free, and reused from picture to picture; a worker that
// dies costs its picture (the lost report) and is replaced. A worker (or the
// thread that drives it) that cannot be started costs nothing: its pictures
// are done by the others or here, and standard error says so once. One bar
// covers the whole run. A stop (Ctrl-C, or a stopped report) hands out no
// more pictures: what is under way ends, a worker that has not ended
// StopGraceSeconds after the stop is killed (its picture lost, as of one
// that died), the reports done are printed, and the result is true.
bool RunItems(const ItemWork &work, int jobs, const std::vector<std::string> &workerArguments, bool barWanted,
              const std::function<void(const ItemReport &)> &counted);

// Why a picture has no report of its own: its worker process died on it,
// as how says.
std::string WorkerLost(const std::string &how);

// A worker's life (zqv COMMAND --worker): every request answered with the
// report workOn makes of it, until the requests end.
Status RunWorker(const std::function<ItemReport(const Message &)> &workOn);
