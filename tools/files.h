// tools/files.h -- names for temporary files, and whole files read and
// written.
//
// The calls that take a StopCheck work in slices and ask it between them,
// so that a long read or write can be stopped (Ctrl-C in zqv); a stopped
// call fails with Status::Stopped. Every other failure has Status::Failed
// and a message that says what failed and why ("cannot open: No such file
// or directory"), for the caller to put after the file's name.
#pragma once

#include "tools/status.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// True when the work should stop; null never stops.
using StopCheck = bool (*)();

// STEM-PROCESS-SERIAL: a name no other call in this process, nor another
// process, makes.
std::string UniqueName(const std::string &stem);

// A UniqueName, followed by suffix, in the temporary directory.
std::string UniqueTempPath(const std::string &stem, const std::string &suffix);

// A UniqueTempPath whose file is removed with the object (the file itself is
// left to the owner to make).
class TempPath {
public:
    TempPath(const std::string &stem, const std::string &suffix);
    ~TempPath();
    TempPath(const TempPath &) = delete;
    TempPath &operator=(const TempPath &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// Standard input and output carry bytes unchanged (Windows: binary mode).
void UseBinaryMode(std::FILE *stream);

// Appends at most maxBytes from stream to *contents.
Status ReadStream(std::FILE *stream, size_t maxBytes, Bytes *contents, StopCheck stop = nullptr);

// Writes contents to stream and flushes it.
Status WriteStream(std::FILE *stream, const Bytes &contents, StopCheck stop = nullptr);

// The first maxBytes of the file at path (fewer when it is shorter), in
// memory taken once, at that size.
Status ReadFileHead(const std::string &path, size_t maxBytes, Bytes *head, StopCheck stop = nullptr);

// The whole file at path.
inline Status ReadWholeFile(const std::string &path, Bytes *contents, StopCheck stop = nullptr)
{
    return ReadFileHead(path, SIZE_MAX, contents, stop);
}

// Creates or truncates the file at path and writes contents to it.
Status WriteWholeFile(const std::string &path, const Bytes &contents, StopCheck stop = nullptr);

// Writes contents to a hidden file beside path, unique to this process
// (".NAME.zqv-PROCESS.tmp"), then renames it to path. That file is created
// only if no such file exists, so a clash of names never truncates somebody
// else's file, and it is removed on any failure: an existing file at path
// survives everything but success.
Status WriteFileAtomically(const std::string &path, const Bytes &contents, StopCheck stop = nullptr);
