// tools/zqv/files.h -- zqv's inputs and outputs, through the host library's
// files (tools/files.h).
//
// A path of "-" means standard input or standard output. Every call stops
// at Ctrl-C (ExitStopped); an output file is written beside its destination
// under a temporary name and renamed into place only once it is complete,
// so an existing destination survives any failure.
#pragma once

#include "tools/zqv/outcome.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Reads the whole file (or standard input) into *contents.
Status ReadWholeInput(const std::string &path, Bytes *contents);

// Reads at most maxBytes from the start of the file (or standard input).
Status ReadInputHead(const std::string &path, size_t maxBytes, Bytes *head);

// Fails (ExitCannotRead) when path names a directory: zqv reads files only,
// and says so before any work starts.
Status CheckNotDirectory(const std::string &path);

// Fails (ExitCannotWrite) when the output cannot possibly be written: the
// destination is a directory, or its directory does not exist. Run before
// the work, so a long conversion is not wasted on a typo.
Status CheckOutputPath(const std::string &path);

// Writes contents to path (or standard output) as described above.
Status WriteOutputAtomically(const std::string &path, const Bytes &contents);
