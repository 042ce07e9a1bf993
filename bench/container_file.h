// bench/container_file.h -- ZQV containers on disk, written as a stream.
//
// A container is compressed straight into its file, a piece at a time, so
// that neither a compressBound-sized buffer nor, for the largest pictures,
// the decoded picture itself ever has to be in memory.
#pragma once

#include "bench/status.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <zlib.h>

// A unique name in the temporary directory, in the form this program's file
// functions and the plug-in both accept; the file is removed with the object.
class TempPath {
public:
    explicit TempPath(const std::string &suffix);
    ~TempPath();
    TempPath(const TempPath &) = delete;
    TempPath &operator=(const TempPath &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// Deflates what is appended, at one zlib level, scrambles the stream and
// writes it to a file.
class ContainerWriter {
public:
    ContainerWriter() = default;
    ~ContainerWriter();
    ContainerWriter(const ContainerWriter &) = delete;
    ContainerWriter &operator=(const ContainerWriter &) = delete;

    Status Open(const std::string &path, int level);
    Status Append(const uint8_t *bytes, uint64_t count);
    // Ends the stream and closes the file; *containerBytes gets its length.
    Status Finish(uint64_t *containerBytes);

private:
    Status Deflate(int flush);
    Status WriteOutput(uint32_t count);
    void Close();

    std::string path_;
    std::FILE *file_ = nullptr;
    z_stream stream_{};
    bool deflating_ = false;
    uint64_t written_ = 0;
    std::vector<uint8_t> output_;
};

// Writes file (count bytes) as a container at the given level.
Status WriteContainerFile(const std::string &path, int level, const uint8_t *file, uint64_t count,
                          uint64_t *containerBytes);

// Reads a whole file of a known length into *contents.
Status ReadWholeFile(const std::string &path, uint64_t length, std::vector<uint8_t> *contents);
