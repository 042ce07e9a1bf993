// tools/picture_facts.h -- what a ZQV picture is, learnt from its container
// without the plug-in: the BMP headers from the head of the stream alone, and
// how the whole stream ends.
#pragma once

#include "tools/files.h"
#include "tools/plugin_host.h"
#include "tools/status.h"

#include <cstdint>
#include <string>

// How much of a container is read for its headers. They take at most some
// 140 bytes of the BMP file, which any zlib stream, even one stored without
// compression, yields from far fewer container bytes than this.
constexpr size_t PictureHeadBytes = 16 * 1024;

// The facts of a picture's BMP headers, and of its container.
struct PictureFacts {
    uint64_t containerBytes = 0; // the container's size: its file's from its offset on
    uint64_t bytesRead = 0;      // how much of it was read to learn these
    uint32_t declaredBytes = 0;  // the BMP file header's file size
    uint32_t pixelOffset = 0;    // the BMP file header's pixel-data offset
    uint32_t headerBytes = 0;    // the bitmap header's size, which says its kind
    uint32_t width = 0;
    uint32_t height = 0; // its absolute value; topDown holds its sign
    bool topDown = false;
    uint16_t bitsPerPixel = 0;
    uint32_t compression = 0; // the header's code; a core header's is 0
    uint64_t paletteEntries = 0;
};

// The Status code of a file that is no ZQV picture.
constexpr int NotZqvPicture = 3;

// The container's length: its file's size from the offset on (0 from the
// end on), or its bytes'. Fails when the file's size cannot be had.
Status MeasureContainer(const ContainerPlace &place, uint64_t *length);

// Reads the head of the container and the BMP headers it inflates to. Fails
// when the file cannot be read, or with NotZqvPicture when it is no ZQV
// picture (the message says why, to follow the file's name).
Status ReadPictureFacts(const ContainerPlace &place, PictureFacts *facts);

// A compression code's name ("none", "RLE8", "bit fields", ...); "unknown"
// for a code no bitmap header defines.
const char *CompressionName(uint32_t compression);

// The kind of bitmap header a size belongs to ("core", "info", "v4", "v5",
// ...); "other" for a size no header has.
const char *HeaderKindName(uint32_t headerBytes);

// How a container's stream ends.
enum class StreamEnd {
    Complete,      // at the end of the file, its checksum right
    CutShort,      // the file ends first
    TrailingBytes, // bytes follow its end
    Damaged,       // the compressed data is corrupt
};

struct ContainerEnd {
    StreamEnd end = StreamEnd::Damaged;
    uint64_t decodedBytes = 0;  // what the stream inflated to before it ended
    uint64_t trailingBytes = 0; // file bytes after the stream's end
    uint32_t rows = 0;          // the rows its bitmap header describes
    uint32_t rowsReached = 0;   // of those, the rows its pixel data reaches (RowCoverage)
};

// Inflates the whole container, keeping none of it, to see how it ends and
// how many rows of the picture its pixel data reaches; fails only when the
// file cannot be read or stop says stop.
Status ScanContainerEnd(const ContainerPlace &place, ContainerEnd *end, StopCheck stop = nullptr);

// "complete", "cut short", "trailing bytes" or "damaged".
const char *StreamEndName(StreamEnd end);
