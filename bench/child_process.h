// bench/child_process.h -- running this very program again, as a child.
#pragma once

#include "bench/status.h"

#include <string>
#include <vector>

// Starts this program (Windows: CreateProcess of its own module path; Linux:
// fork and exec of /proc/self/exe) with the arguments given, collects what it
// writes to its standard output and waits for it to end. Its standard error
// is this program's. Fails only when the child cannot be started or read.
Status RunSelf(const std::vector<std::string> &arguments, std::string *output, int *exitCode);
