// The whole-file decode that front ends hand to an image library
// (PictureFileDecode, codec/container.h): the WIC codec's content judgement
// and limits, over the shared code.
//
// Input layout:
//   byte 0   the pieces the container is fed in: (low nibble + 1) << high
//            nibble bytes
//   rest     the container
// The container is decoded three times: fed in those pieces, fed whole, and
// for its head only, in those pieces again. Unless zlib finds the stream
// damaged, the two whole decodes must agree on the verdict and the file (as
// far as both decoded, where the stream is cut short: the inflater may
// withhold InflateMostWithheldAtCut bytes there in one schedule and not in
// the other), and the head-only decode must refuse a head the first decode
// refused and pass one it passed. Of a damaged stream the inflater may give
// bytes zlib never gives before it finds the damage, and what they are is
// its own affair (ISA-L's may even differ from run to run), so only the
// checks of each outcome hold there. A picture's file must be no longer
// than its head allows, zero past what was decoded, and hold all the pixel
// data its header describes for an image library to find: every row, or
// run-length data that reaches its end before the file does, walked as the
// format says and as a reader that drops the rest of an absolute piece at
// the end of a row walks it. Every local block must be back once the
// decodes are ended.
#include "codec/container.h"
#include "fuzz/fuzz_target.h"
#include "fuzz/zlib_oracle.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

// The largest local block the stand-in gives while the target runs: far
// below the fuzzer's memory limit, with three decodes' blocks alive.
constexpr size_t LargestBlock = 64u << 20;
constexpr uint32_t CompressionRle8 = 1, CompressionRle4 = 2;

struct Outcome {
    FileVerdict verdict;
    HeadVerdict head;
    bool streamEnded;
    const uint8_t *file;
    uint32_t length;
    uint64_t decoded; // of length, the bytes decoded; the rest is padding
};

Outcome Decode(PictureFileDecode &decode, const uint8_t *container, size_t size, size_t piece, bool headOnly)
{
    if (StartPictureFileDecode(&decode, headOnly))
        for (size_t at = 0; at < size; at += piece)
            if (!FeedPictureFile(&decode, container + at, static_cast<uint32_t>(std::min(piece, size - at))))
                break;
    FileVerdict verdict = FinishPictureFile(&decode);
    const LocalBlock &file = decode.sink.block;
    return {verdict, decode.head.verdict, decode.decoder.streamEnded, file.start, file.used, decode.rows.position};
}

// Walks run-length pixel data as a reader does, from the pixel-data offset:
// true when it reaches an end of bitmap or its last row before the file
// ends. A reader that drops an absolute piece's pixels past the row's end
// goes on from there, reading the rest of the piece as codes.
bool RunLengthReaderFinishes(const Outcome &picture, const BitmapHeader &header, uint32_t pixelOffset,
                             bool dropsPastRowEnd)
{
    uint64_t at = pixelOffset, x = 0, y = 0;
    auto next = [&](uint8_t *byte) {
        if (at >= picture.length)
            return false;
        *byte = picture.file[at++];
        return true;
    };
    bool rle8 = header.compression == CompressionRle8;
    while (y < header.height) {
        uint8_t count, code;
        if (!next(&count) || !next(&code))
            return false;
        if (count > 0) {
            x += count;
            continue;
        }
        if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 1) {
            return true;
        } else if (code == 2) {
            uint8_t dx, dy;
            if (!next(&dx) || !next(&dy))
                return false;
            x += dx;
            y += dy;
        } else {
            uint64_t pixels = code;
            if (dropsPastRowEnd)
                pixels = std::min<uint64_t>(pixels, std::max<uint64_t>(header.width, x) - x);
            uint64_t bytes = rle8 ? pixels : (pixels + 1) / 2;
            bytes += bytes % 2;
            for (uint8_t ignored; bytes > 0; --bytes)
                if (!next(&ignored))
                    return false;
            x += code;
        }
    }
    return true;
}

void CheckPicture(const Outcome &picture)
{
    FUZZ_REQUIRE(picture.length >= BmpFileHeaderSize, "a picture of %u bytes", picture.length);
    for (uint64_t at = picture.decoded; at < picture.length; ++at)
        FUZZ_REQUIRE(picture.file[at] == 0, "padding byte %llu is %u", static_cast<unsigned long long>(at),
                     picture.file[at]);
    uint32_t headLength = std::min(picture.length, JudgedHeadBytes);
    PictureHead head = JudgePictureHead(picture.file, headLength);
    FUZZ_REQUIRE(head.verdict == HeadVerdict::Picture, "a picture whose head is refused (%d)", int(head.verdict));
    FUZZ_REQUIRE(picture.length <= head.mostDecoded, "%u bytes, more than the %llu its head allows",
                 picture.length, static_cast<unsigned long long>(head.mostDecoded));
    const BitmapHeader &header = head.header;
    BitmapExtent extent = DescribeBitmap(picture.file + BmpFileHeaderSize, headLength - BmpFileHeaderSize);
    if (extent.rowsBytes > 0)
        FUZZ_REQUIRE(picture.length >= head.pixelOffset + extent.rowsBytes,
                     "%u bytes, short of the %u + %llu its rows take", picture.length, head.pixelOffset,
                     static_cast<unsigned long long>(extent.rowsBytes));
    if (header.compression == CompressionRle8 || header.compression == CompressionRle4)
        for (bool dropsPastRowEnd : {false, true})
            FUZZ_REQUIRE(RunLengthReaderFinishes(picture, header, head.pixelOffset, dropsPastRowEnd),
                         "a reader%s runs out of run-length data", dropsPastRowEnd ? " that drops pixels" : "");
}

// Whether zlib finds the container's stream damaged, as far as it inflates
// it within the block limit.
bool ZlibFindsDamage(const uint8_t *container, size_t size)
{
    int last = ReadWithZlib(container, size, LargestBlock, false).lastStep;
    return last == Z_DATA_ERROR || last == Z_NEED_DICT;
}

// The same file from two decodes: byte for byte when the stream ended;
// else as far as both decoded, each decoding no more than
// InflateMostWithheldAtCut bytes beyond the other.
bool SameFile(const Outcome &a, const Outcome &b)
{
    if (a.streamEnded && b.streamEnded)
        return a.length == b.length && (a.length == 0 || std::memcmp(a.file, b.file, a.length) == 0);
    uint64_t shorter = std::min(a.decoded, b.decoded), longer = std::max(a.decoded, b.decoded);
    return longer - shorter <= InflateMostWithheldAtCut && std::memcmp(a.file, b.file, shorter) == 0;
}

// Ends the decodes; every block they took must be back.
int Ended(PictureFileDecode &inPieces, PictureFileDecode &whole, PictureFileDecode &headOnly, long blocksBefore)
{
    EndPictureFileDecode(&inPieces);
    EndPictureFileDecode(&whole);
    EndPictureFileDecode(&headOnly);
    FUZZ_REQUIRE(LocalMemoryLiveBlocks() == blocksBefore, "%ld local blocks left behind",
                 LocalMemoryLiveBlocks() - blocksBefore);
    LocalMemoryLimitBlockSize(0);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputReader input(data, size);
    uint8_t pieces = input.Byte();
    size_t piece = size_t((pieces & 0x0F) + 1) << (pieces >> 4);
    size_t containerSize;
    const uint8_t *container = input.Take(input.Remaining(), &containerSize);

    LocalMemoryLimitBlockSize(LargestBlock);
    long blocksBefore = LocalMemoryLiveBlocks();
    PictureFileDecode inPieces{}, whole{}, headOnly{};
    Outcome fed = Decode(inPieces, container, containerSize, piece, false);
    Outcome once = Decode(whole, container, containerSize, containerSize + 1, false);
    Outcome head = Decode(headOnly, container, containerSize, piece, true);

    for (const Outcome *outcome : {&fed, &once})
        if (outcome->verdict == FileVerdict::Picture)
            CheckPicture(*outcome);
    if (ZlibFindsDamage(container, containerSize))
        return Ended(inPieces, whole, headOnly, blocksBefore);
    FUZZ_REQUIRE(fed.verdict == once.verdict, "in pieces of %zu: verdict %d, whole: %d", piece, int(fed.verdict),
                 int(once.verdict));
    if (fed.verdict == FileVerdict::Picture)
        FUZZ_REQUIRE(SameFile(fed, once), "in pieces of %zu: a file of %u bytes, whole: %u, or other bytes", piece,
                     fed.length, once.length);
    // The head alone, fed as the first decode was.
    if (fed.verdict == FileVerdict::BadHead)
        FUZZ_REQUIRE(head.verdict == FileVerdict::BadHead && head.head == fed.head,
                     "the head alone is not refused as the whole is (%d, %d)", int(head.verdict), int(head.head));
    if (fed.verdict == FileVerdict::NotContainer || fed.verdict == FileVerdict::Picture)
        FUZZ_REQUIRE(head.verdict == fed.verdict, "the head alone: verdict %d, the whole: %d", int(head.verdict),
                     int(fed.verdict));
    return Ended(inPieces, whole, headOnly, blocksBefore);
}
