// tools/process.h -- running a program as a child process.
#pragma once

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
