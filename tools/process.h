// tools/process.h -- running a program as a child process: once, to its
// end (RunProgram), or as a worker that takes requests one after another.
#pragma once

#include "tools/status.h"

#include <functional>
#include <string>
#include <vector>

// Where a child's standard streams go: the file at each path (input read,
// output and error created or truncated), or where a path is empty, ours.
struct ChildStreams {
    std::string input;
    std::string output;
    std::string error;
};

// Runs program (a path) with the arguments, waits for it and returns its exit
// status (natively 128 + the signal when a signal ended it), or -1 when it
// could not be started.
int RunProgram(const std::string &program, const std::vector<std::string> &arguments,
               const ChildStreams &streams);

// ---------------------------------------------------------------------------
// Workers: child processes that share out the work of this one. A worker
// reads requests on its standard input and answers each on its standard
// output; its standard error is ours. A message is a list of strings, sent
// with their lengths, so any bytes may be in them. A Worker record lives
// with its caller; start it zeroed (Worker{}).

struct Worker {
    int id = 0; // the process id
#ifdef _WIN32
    void *process = nullptr;  // HANDLE
    void *requests = nullptr; // HANDLE: the writing end of its standard input
    void *answers = nullptr;  // HANDLE: the reading end of its standard output
#else
    int channel = -1; // a socket that is its standard input and output
#endif
};

using Message = std::vector<std::string>;

// Starts program with the arguments as a worker. Fails, with nothing left
// open, when it cannot be started (too many processes or open files), the
// message saying why ("cannot start a process: Resource temporarily
// unavailable"). Safe to call from several threads: no worker inherits
// another's channel, so each sees its own end when this process closes it.
Status StartWorker(const std::string &program, const std::vector<std::string> &arguments, Worker *worker);

// Sends a request; false when the worker is gone.
bool SendRequest(Worker *worker, const Message &request);

// How long a worker is waited for: asked every PatienceStepMs or so while
// it keeps its answer or its end, true to wait on, false to give up.
using Patience = std::function<bool()>;
constexpr int PatienceStepMs = 100;

// Receives the answer to the last request; false when the worker ended
// without one (it died, or was stopped), or when patience ran out first
// (the worker may still be running: EndWorker then kills it).
bool ReceiveAnswer(Worker *worker, Message *answer, const Patience &patience);

// Closes the worker's standard input, which ends a worker waiting for work,
// and waits for it while patience lasts; then kills it (SIGKILL, under
// Windows TerminateProcess) and waits for that. Leaves the record as new.
// Returns how it ended: empty for exit status 0, else what ended it ("exit
// status 3", "signal 9", "exception 0xc0000005").
std::string EndWorker(Worker *worker, const Patience &patience);

// The worker's own side: the next request on standard input, false at its
// end; and its answer on standard output, false when no one reads it.
bool ReceiveRequest(Message *request);
bool SendAnswer(const Message &answer);

// The number of processors this process may run on (at least 1).
int AvailableProcessors();
