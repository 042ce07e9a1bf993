// tools/files.h -- temporary names, and whole files and streams read and
// written. Calls given a StopCheck ask it between slices (Ctrl-C in zqv) and
// fail with Status::Stopped if it says stop; any other failure says what and
// why ("cannot open: No such file or directory"), to follow the file's name.
#pragma once

#include "tools/status.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// True when the work should stop; null never stops.
using StopCheck = bool (*)();

// STEM-PROCESS-SERIAL: a name no other call, in this process or another, makes.
std::string UniqueName(const std::string &stem);

// A UniqueName, followed by suffix, in the temporary directory.
std::string UniqueTempPath(const std::string &stem, const std::string &suffix);

// A UniqueTempPath whose file, if the owner makes one, goes with the object.
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

// std::filesystem takes narrow names as UTF-8 in the Windows builds, where the
// C library, the command line and the plug-in speak the ANSI code page: names
// pass between the two only through these. Natively both are the bytes given.
std::filesystem::path PathOfName(const std::string &name);
std::string NameOfPath(const std::filesystem::path &path);

// A name as UTF-8 text, for output that must be UTF-8 (JSON): in the Windows
// builds converted from the ANSI code page; natively the bytes given, which
// need not be valid UTF-8, as Linux names need not be.
std::string Utf8OfName(const std::string &name);

// Standard input and output carry bytes unchanged (Windows: binary mode).
void UseBinaryMode(std::FILE *stream);

// Appends at most maxBytes from stream to *contents.
Status ReadStream(std::FILE *stream, size_t maxBytes, Bytes *contents, StopCheck stop = nullptr);

// Writes contents to stream and flushes it.
Status WriteStream(std::FILE *stream, const Bytes &contents, StopCheck stop = nullptr);

// Opens the file at path for reading in binary, at byte offset (which may be
// past its end: nothing is then read). The caller closes *file.
Status OpenFileAt(const std::string &path, uint64_t offset, std::FILE **file);

// At most maxBytes of the file at path from byte offset on (fewer when it is
// shorter; none from its end on), in memory taken once, at that size.
Status ReadFileSlice(const std::string &path, uint64_t offset, size_t maxBytes, Bytes *slice,
                     StopCheck stop = nullptr);

// The first maxBytes of the file at path.
inline Status ReadFileHead(const std::string &path, size_t maxBytes, Bytes *head, StopCheck stop = nullptr)
{
    return ReadFileSlice(path, 0, maxBytes, head, stop);
}

// The whole file at path.
inline Status ReadWholeFile(const std::string &path, Bytes *contents, StopCheck stop = nullptr)
{
    return ReadFileSlice(path, 0, SIZE_MAX, contents, stop);
}

// Creates or truncates the file at path and writes contents to it.
Status WriteWholeFile(const std::string &path, const Bytes &contents, StopCheck stop = nullptr);

// Removes what WriteFileAtomically in the process processId left beside
// path: the temporary file of a process that died while it wrote.
void RemoveTemporariesOf(const std::string &path, int processId);

// Writes contents to a new hidden file beside path (".zqv-PROCESS-SERIAL.tmp",
// short whatever path's name is), never one that exists already, then renames
// it to path; on any failure it is removed, so an existing file at path
// survives everything but success.
Status WriteFileAtomically(const std::string &path, const Bytes &contents, StopCheck stop = nullptr);
