// tests/support/fixtures.h -- pictures and containers for the tests, made
// from scratch so every fixture shows where it came from.
#pragma once

#include "platform/platform.h"
#include "tools/files.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A BMP file with a BITMAPINFOHEADER, a grey-ramp colour table for 1, 4 and 8
// bits per pixel, and rows padded to 4 bytes, filled with a pattern that
// depends on the seed. height < 0 makes a top-down picture.
Bytes MakeBmp(int32_t width, int32_t height, uint16_t bitsPerPixel, uint32_t seed = 1);

// A BMP file as MakeBmp's, its pixels all zero (black): it compresses about
// a thousandfold, so a small container takes a while to decode.
Bytes MakeBlackBmp(int32_t width, int32_t height, uint16_t bitsPerPixel);

// Bytes that do not compress: a large picture's container has many chunks.
Bytes MakeNoisyBmp(int32_t width, int32_t height, uint32_t seed = 1);

// XORs every byte with the container's mask.
Bytes Masked(Bytes bytes);

// A ZQV container: zlib compress2 at the level given, then the mask.
Bytes WrapZqv(const Bytes &file, int level = 6);

// The BMP file a container holds, as far as zlib alone decodes it: all of it,
// or what comes out before the container is cut short or turns bad.
Bytes InflateAsFarAsItGoes(const Bytes &container);

// The progress numerators a decode of container reports, one for every
// inflate step, as zlib alone counts them: the container read in chunks of
// 102,400 bytes, each step an inflate call with 102,400 bytes of room, each
// numerator half the container bytes taken so far (a container under 2 GiB).
std::vector<int32_t> ZlibProgress(const Bytes &container);

// An unscrambled zlib stream that holds the first goodBytes of file in a
// stored block, followed by a block of the reserved (invalid) type: it
// decodes that far, then fails.
Bytes ZlibHeadThenInvalidBlock(const Bytes &file, uint16_t goodBytes);

// Pictures every reader of the project must judge alike: the plug-in's
// GetPicture, zqv check and the desktop loader. Each test program runs the
// cases through its own reader.
struct ReaderCase {
    const char *description;
    const char *name; // a file name for it, ending in .zqv
    Bytes container;
    int32_t pictureResult; // what GetPicture answers
    // The start of zqv check's line after "NAME: ", empty for a sound picture.
    const char *checkLine;
    bool loaderLoads; // the desktop loader gives the picture; else a "corrupt image" error
};
std::vector<ReaderCase> ReaderCases();

// Little-endian field access for building and patching headers.
void PutLittle16(Bytes &bytes, size_t offset, uint16_t value);
void PutLittle32(Bytes &bytes, size_t offset, uint32_t value);
uint32_t GetLittle32(const Bytes &bytes, size_t offset);

// The BMP files tests/make-bmp-fixtures made, in the directory ZQV_FIXTURES
// names, sorted; none when it is not set.
std::vector<std::filesystem::path> FixturePictures();

// A run-length encoded BMP file (RLE8 at 8 bits, RLE4 at 4) with MakeBmp's
// headers and palette: each row a run and an absolute piece, as encoders
// write them, then an end of line; an end of bitmap last.
Bytes MakeRunLengthBmp(int32_t width, int32_t height, uint16_t bitsPerPixel);

// bmp with the 32-bit field at offset set to value.
Bytes Patched32(Bytes bmp, size_t offset, uint32_t value);

struct NamedBytes {
    std::string name;
    Bytes bytes;
};

// A BMP file of every kind the front ends that hand pictures to an image
// library are held to: the image tools' fixtures (FixturePictures), MakeBmp's
// of 1, 4, 8 and 24 bits and top-down, and MakeRunLengthBmp's RLE4 and RLE8.
std::vector<NamedBytes> PicturesOfEveryKind();

// The damaged, hostile and foreign containers every front end refuses, each
// with why: the front ends judge alike (codec/container.h) and each answers
// a reason with its own error.
enum class RefusalReason {
    NotZqv,        // not a container, or not a BMP file inside
    Damaged,       // damaged compressed data or checksum
    TooManyPixels, // more than MostPixels
    BadHead,       // a head JudgePictureHead refuses otherwise
    Bomb,          // a stream that decodes to far more than its picture holds
};
struct HostileContainer {
    std::string description;
    Bytes container;
    RefusalReason reason;
};
std::vector<HostileContainer> HostileContainers();

// Every two-byte start zlib writes, for every level and window, scrambled
// as a container starts: first << 8 | second.
std::set<uint16_t> ZlibWrittenStarts();

// The inputs the picture fuzz target once stumbled on, as containers (its
// two control bytes left off), from the directory ZQV_PICTURE_REGRESSIONS
// names; none when it is not set.
std::vector<NamedBytes> PictureFuzzRegressions();

// A file in the temporary directory holding contents, removed when the
// object goes away; Path() is the name as the plug-in is given it.
class TempFile : public TempPath {
public:
    explicit TempFile(const Bytes &contents, const std::string &suffix = ".zqv");
};

// A name in the temporary directory that does not exist.
std::string MissingFilePath();

// Makes the file size bytes long, the new part a hole that takes no disk.
bool ExtendFile(const std::string &path, uint64_t size);

// The whole file; empty if it cannot be read.
Bytes ReadWholeFile(const std::string &path);

// A path of this (Linux) machine as the program under test must name it:
// under wine the root of the Linux file system is drive Z:.
std::string HostPath(const std::string &linuxPath);

// The bytes of a local memory block (locked, copied, unlocked), and its size.
Bytes BlockBytes(HLOCAL block);

// Runs function on a thread whose stack is stackBytes long and waits for it.
// Natively the stack is memory of its own, filled with a pattern first, and
// the result is how much of it the function used (its deepest point); under
// wine the stack is reserved that small (the result is then 0: not measured).
size_t RunOnSmallStack(const std::function<void()> &function, size_t stackBytes);

// Runs each function on a thread of its own and waits for all of them, at
// most timeoutMs milliseconds; false if any was still running then.
bool RunThreads(const std::vector<std::function<void()>> &functions, unsigned timeoutMs);
