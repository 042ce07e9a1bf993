// tools/zqv_format.h -- the ZQV format from the host's side: the BMP file the
// plug-in's blocks come from, and the container made from a BMP file.
#pragma once

#include "tools/files.h"
#include "tools/status.h"

#include <cstdint>
#include <functional>
#include <string>
#include <zlib.h>

// Writes value at `at` least significant byte first, as BMP headers hold it.
template <typename Unsigned> void PutLittle(uint8_t *at, Unsigned value)
{
    for (size_t byte = 0; byte < sizeof value; ++byte)
        at[byte] = static_cast<uint8_t>(value >> (8 * byte));
}

// Reads the value PutLittle writes at `at`.
template <typename Unsigned> Unsigned GetLittle(const uint8_t *at)
{
    Unsigned value = 0;
    for (size_t byte = 0; byte < sizeof value; ++byte)
        value = static_cast<Unsigned>(value | Unsigned(at[byte]) << (8 * byte));
    return value;
}

// Writes the 14-byte BMP file header at header: 'BM', the file size, zero
// reserved words and the pixel-data offset.
void WriteBmpFileHeader(uint8_t *header, uint32_t fileBytes, uint32_t pixelOffset);

// Why bytes are not a BMP file as the plug-in accepts one (a whole file header,
// 'BM', zero reserved words, a pixel-data offset from 14 to the size), or null.
const char *BmpFileProblem(const Bytes &bytes);

// The BMP file around the plug-in's two blocks, the bitmap information (file
// bytes 14 to off-1, padded with zeros where viewers read more) and a pixel
// block as long as the file the two make (bytes off on, then zeros): the
// header is rebuilt from their sizes, the pixels cut to fit it. pixelOffset
// is the decoded file's own pixel-data offset, which takes off the padding,
// so a complete picture comes back byte for byte; 0 (unknown) keeps the
// information whole.
Bytes RebuildBmp(const Bytes &info, const Bytes &pixels, uint32_t pixelOffset);

constexpr int LowestLevel = 0;  // stored, no compression
constexpr int HighestLevel = 9; // smallest output
constexpr int DefaultLevel = 6; // zlib's own default

// Makes a ZQV container as a stream: the BMP file appended piece by piece is
// compressed as one zlib stream, every byte XORed with 0xD4, and handed to the
// output as it comes, so neither picture nor container need be whole in memory.
class ZqvEncoder {
public:
    // Takes each finished piece of container; a failure ends the encoding.
    using Output = std::function<Status(const uint8_t *bytes, size_t count)>;

    ZqvEncoder() = default;
    ~ZqvEncoder();
    ZqvEncoder(const ZqvEncoder &) = delete;
    ZqvEncoder &operator=(const ZqvEncoder &) = delete;

    // Starts a container at level (LowestLevel..HighestLevel); fails when
    // zlib cannot start (out of memory, or a level out of range).
    Status Start(int level, Output output);

    // Compresses count more bytes of the BMP file (after a Start that worked).
    Status Append(const uint8_t *bytes, uint64_t count);

    // Ends the stream; the last pieces reach the output.
    Status Finish();

    // The container's length so far.
    uint64_t ContainerBytes() const { return written_; }

private:
    Status Deflate(int flush);
    void End();

    Output output_;
    z_stream stream_{};
    bool started_ = false;
    uint64_t written_ = 0;
    Bytes piece_;
};

// An Output that appends to *container.
ZqvEncoder::Output AppendTo(Bytes *container);

// Writes the container of the BMP file that feed appends to the encoder, at
// level, to the file at path (created or truncated); *containerBytes gets its
// length.
Status WriteZqvFile(const std::string &path, int level, const std::function<Status(ZqvEncoder &)> &feed,
                    uint64_t *containerBytes);
