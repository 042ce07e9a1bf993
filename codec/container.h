// codec/container.h -- the ZQV container and its decoding.
//
// A ZQV file ("*.ZQV") has no header, magic or trailer of its own. From its
// first byte to its last it is a zlib stream (RFC 1950: two-byte header,
// deflate data, Adler-32 trailer) in which every byte has been XORed with
// ScrambleMask. The mask does not depend on the position, so any division of
// the file into chunks descrambles chunk by chunk, and scrambling and
// descrambling are one operation.
//
// The stream decompresses to a whole Windows BMP file, little-endian:
//   offset 0   2 bytes  'B' 'M'
//   offset 2   32 bits  file size (not examined)
//   offset 6   16 bits  reserved, must be 0
//   offset 8   16 bits  reserved, must be 0
//   offset 10  32 bits  pixel-data offset, counted from offset 0
//   offset 14           bitmap information (header and colour table)
//   pixel-data offset   pixel data, to the end
// Of the bitmap information only what the blocks handed to a host must cover
// is read (DescribeBitmap): a host trusts the bitmap header and reads as far
// as it describes.
#pragma once

#include "codec/inflater.h"
#include "streams/results.h"
#include "streams/sink.h"
#include "streams/source.h"

#include <cstdint>
#include <zlib.h>

constexpr uint8_t ScrambleMask = 0xD4;

// The BMP file header in front of the bitmap information.
constexpr uint32_t BmpFileHeaderSize = 14;
constexpr uint32_t BmpFileSizeField = 2;
constexpr uint32_t BmpPixelOffsetField = 10;

// Read chunk, an inflate step's room and initial sink block of a stream decode.
constexpr uint32_t ChunkSize = 102400;

// How a container starts: its first two bytes are a zlib header, scrambled.
// That header is all a file shows of the format without decoding, so it is
// the signature programs that pick a decoder by a file's first bytes are
// given (the desktop loader's, the WIC codec's patterns): every header this
// decoder can inflate, a deflate stream with a window of at most 32 KB and
// no preset dictionary, whatever window and level it was written with.
constexpr unsigned ZlibMethodDeflate = 8;           // CMF's low nibble
constexpr unsigned ZlibLargestWindowCode = 7;       // CMF's high nibble: 2^(8+7) bytes
constexpr unsigned ZlibPresetDictionaryFlag = 0x20; // in FLG: a dictionary nobody has
constexpr unsigned ZlibHeaderCheckDivisor = 31;     // CMF * 256 + FLG is a multiple
constexpr uint32_t ContainerStartBytes = 2;

constexpr bool IsZlibHeader(unsigned cmf, unsigned flg)
{
    return (cmf & 0x0F) == ZlibMethodDeflate && (cmf >> 4) <= ZlibLargestWindowCode &&
           (flg & ZlibPresetDictionaryFlag) == 0 && (cmf * 256 + flg) % ZlibHeaderCheckDivisor == 0;
}

constexpr bool IsContainerStart(uint8_t first, uint8_t second)
{
    return IsZlibHeader(first ^ ScrambleMask, second ^ ScrambleMask);
}

// How many two-byte starts IsContainerStart takes.
constexpr unsigned ContainerStartCount = [] {
    unsigned count = 0;
    for (unsigned first = 0; first < 256; ++first)
        for (unsigned second = 0; second < 256; ++second)
            count += IsContainerStart(static_cast<uint8_t>(first), static_cast<uint8_t>(second));
    return count;
}();

// ===========================================================================
// Basic calls: the format, and decoding it.

// XORs count bytes in place with ScrambleMask, a 32-bit word at a time; any
// alignment, count 0 included.
void Descramble(uint8_t *block, uint32_t count);

// True when the first 10 bytes at header are a BMP file header: 'B' 'M' and
// both reserved words zero.
bool HasBmpFileHeader(const uint8_t *header);

// The pixel-data offset field of a BMP file header.
uint32_t BmpPixelDataOffset(const uint8_t *header);

// The file size field of a BMP file header: what the file claims to be, to be
// taken as a hint only.
uint32_t BmpFileSize(const uint8_t *header);

// Descrambles inputLength bytes of input in place and decompresses them, in a
// single inflate step, into at most outputLength bytes of output. Returns 1 if
// what the input holds is a valid start of a zlib stream (a block cut off in
// the middle of the stream succeeds), 0 otherwise. Never leaves a
// decompressor allocated.
int32_t DecodeBlock(uint8_t *input, uint8_t *output, uint32_t inputLength, uint32_t outputLength);

// Decodes the whole container that source holds, from its current position
// to its end, into sink, in ChunkSize chunks. After every inflate step it
// calls progress(consumed / 2, total, userData): consumed counts the
// container bytes taken so far, total is the source's length as Tell gives it
// at its end (a file's full size, even when the container starts at an
// offset). For a source of 2 GiB or more both numbers are divided by one
// power of two, the least that makes total fit an int32_t, so the host sees
// the same proportion. A nonzero answer stops the decode before that step's
// output is written (where it took turns, below, its last turn's output).
//   ResultOk          the stream ended, or the source ran out first (a
//                     truncated container: the sink holds what was decoded).
//                     Bytes after the end of the stream are ignored.
//   ResultAborted     progress asked to stop.
//   ResultBrokenData  the compressed data is damaged.
//   ResultNoMemory    the decompressor cannot be set up, or the sink cannot
//                     take a step's output.
//   ResultFileError   the source's end cannot be found.
// Whatever the result, the sink keeps what was written; the caller decides.
// The work areas are a local memory block of their own (ResultNoMemory when
// it cannot be had), freed before DecodeStream returns; a StreamDecoder
// (below) takes the caller's.
int32_t DecodeStream(ByteSource *source, ByteSink *sink, ProgressCallback progress, intptr_t userData);

// ===========================================================================
// Advanced calls: decodes whose state the caller owns, so that a fault that
// abandons one half-way (in a host's callback, say) leaves nothing behind
// that the caller cannot end; and what a host reads of a picture.

// The zlib decompressor a block decode runs on. It lives with the caller rather
// than inside the decode, so that when a fault abandons a decode half-way the
// caller can still end it and nothing stays allocated. Start one zeroed
// (Inflater{}); EndInflater is safe on one never started or already ended.
struct Inflater {
    z_stream stream;
};
void EndInflater(Inflater *inflater);

// DecodeBlock on the caller's decompressor: a fault leaves it in *inflater,
// for the caller to end.
int32_t DecodeBlockOn(Inflater *inflater, uint8_t *input, uint8_t *output, uint32_t inputLength,
                      uint32_t outputLength);

// The work areas of one stream decode, up to 116 KB: far too much for the
// stack of a host's thread, so they live wherever the caller puts them
// (PlaceDecodeAreas). The input area need be no longer than the container:
// the chunks read are the same.
//
// A step that goes through the output areas rather than the sink's own room
// takes turns, each turn's output written to the sink before the next, until
// the step has its ChunkSize or the inflater stops short: the first turn in
// the small area here, the rest in a wide area the decoder takes only when a
// step needs it (StreamDecoder below). A small picture's decode so never
// takes more than it needs: under wine, a call whose blocks pass some 64 KB
// gets new memory for the rest on every call, and new memory is dear there.
// The turns end where one inflate call with ChunkSize of room ends, with the
// same count of stream bytes used (the last turn has the wide area's room,
// which keeps every inflater going as zlib goes: codec/inflater.h), so the
// steps and their progress reports are the same.
struct DecodeAreas {
    uint8_t *input;     // the read chunk, descrambled in place
    uint32_t inputSize; // ChunkSize, or the container's length when that is less
    uint8_t *output;    // a step's first turn, FirstTurnSize bytes
};
constexpr uint32_t FirstTurnSize = 16384;
constexpr uint32_t WideTurnSize = InflateRoomLikeZlib;

// The bytes the work areas of a decode of a container of containerLength
// bytes take (UINT64_MAX: of unknown length), and where in memory of that
// many bytes each of them lies. The memory need not be zero.
uint32_t DecodeAreasBytes(uint64_t containerLength);
DecodeAreas PlaceDecodeAreas(uint8_t *memory, uint64_t containerLength);

// Room in a sink's own memory where inflate may put its output directly,
// sparing the copy from the output area to the sink. Before every step the
// decode asks Room for ChunkSize bytes at the sink's write position; where it
// gets them, inflate writes there, and after the step (once progress has let
// it go on, exactly where Write would have been called) Commit makes the
// bytes produced part of the stream. Where Room gives null, the step goes
// through the output area and Write as usual, in turns. The steps, their
// progress reports and what the sink ends up holding are the same either way.
struct DirectOutput {
    void *owner;
    uint8_t *(*Room)(void *owner, uint32_t count);
    void (*Commit)(void *owner, uint32_t count);
};

// One stream decode, as DecodeStream makes it, in a record the caller owns
// and fills: what it reads, where it writes, its work areas, whom it tells.
// Start it zeroed (StreamDecoder{}), fill it, run it, and end it whatever
// happened.
struct StreamDecoder {
    StreamInflater inflater;    // the decompressor (codec/inflater.h)
    ByteSource *source;         // read from where it stands to its end
    ByteSink *sink;             // takes what is decoded
    const DirectOutput *direct; // null: every step goes through the output areas
    DecodeAreas *areas;
    LocalBlock wideArea; // the wide output area, WideTurnSize bytes, once a step has needed it
    ProgressCallback progress;
    intptr_t userData;
    int32_t result; // as DecodeStream's, once RunStreamDecoder returns
    // A fed decode's place (StartFedDecoder): the container bytes taken so
    // far, and whether its stream has ended.
    uint64_t fed;
    bool streamEnded;
};

// Runs the decode the StreamDecoder at decoder describes and leaves its
// result in it. Shaped as a body for the fault guard (platform/platform.h):
// a fault cuts it short, and EndStreamDecoder still ends it.
void RunStreamDecoder(void *decoder);

// Frees what a decode took (the decompressor's state, the wide output area);
// safe on a decoder never started or already ended.
void EndStreamDecoder(StreamDecoder *decoder);

// A fed decode: the caller hands the container over in pieces as they come
// (from a network, or a host that pushes bytes), rather than the decoder
// reading a source. Fill the record as for RunStreamDecoder, leaving source
// null, then StartFedDecoder, FeedStreamDecoder for every piece, and
// EndStreamDecoder whatever happened. Each piece is copied through the input
// area in steps of its size (give it areas of a container of unknown length,
// PlaceDecodeAreas(memory, UINT64_MAX), for ChunkSize steps) and decoded as
// RunStreamDecoder decodes a chunk: the same inflate steps, sink writes and
// DirectOutput use. Progress reports count the container bytes taken so far
// over those fed so far, this piece included, since a fed decode does not
// know where the container ends.
//
// StartFedDecoder: ResultOk, or ResultNoMemory when the decompressor cannot
// be set up.
// FeedStreamDecoder: ResultOk when the piece was taken; once the stream has
// ended (decoder->streamEnded; its checksum was right) the rest of the piece
// and any later piece are ignored. Else ResultAborted, ResultBrokenData or
// ResultNoMemory as for DecodeStream, and the decoder is ended: feed it no
// more. A container whose stream never ends is cut short: what was decoded
// is in the sink, and decoder->streamEnded stays false.
int32_t StartFedDecoder(StreamDecoder *decoder);
int32_t FeedStreamDecoder(StreamDecoder *decoder, const uint8_t *bytes, uint32_t count);

// The smallest bitmap header: the 12-byte core header. Bitmap information
// shorter than this is no picture.
constexpr uint32_t CoreBitmapHeaderSize = 12;

// The largest kind of bitmap header (the v5 header). A header that claims
// more is read only where the file holds all of it.
constexpr uint32_t LargestBitmapHeaderSize = 124;

// The common header of every bitmap that is not a core one (the info
// header): the fields up to the important-colours count. Hosts read these 40
// bytes from any bitmap information, whatever its header size says.
constexpr uint32_t CommonBitmapHeaderSize = 40;

// The least pixel-data offset of a picture: the file header and the
// smallest bitmap header come before its pixels.
constexpr uint32_t LeastPixelDataOffset = BmpFileHeaderSize + CoreBitmapHeaderSize;

// The largest palette, and the size of its entries under any header but the
// core one.
constexpr uint32_t MostPaletteEntries = 256;
constexpr uint32_t PaletteEntrySize = 4; // blue, green, red, reserved

// The most bitmap information a host may read beyond what the file holds
// (DescribeBitmap's infoBytes less the file's information, for a header the
// file holds): a header of the largest kind and a whole palette, which is
// more than a common header's masks and palette.
constexpr uint32_t MostBitmapInfoPadding = LargestBitmapHeaderSize + MostPaletteEntries * PaletteEntrySize;

// The fields of a bitmap header that say what the bitmap is, read from the
// bitmap information (bytes 14 on of a BMP file; fields beyond infoLength
// read as zero). A core header (size 12) has 16-bit width and height and no
// compression, image size or colours-used fields; any other is read as the
// common 40-byte header.
//   paletteEntries  the palette the header implies: its colours-used count
//                   when set and at most 256, else 2^bits for 8 bits or
//                   fewer, else none.
//   colorsUsed      the colours-used field as it stands (0 under a core
//                   header, which has none).
struct BitmapHeader {
    uint32_t size;        // the header's own size, which says its kind
    uint32_t width;       // absolute values
    uint32_t height;
    bool topDown;         // a negative height: rows from the top down
    uint32_t bits;        // per pixel
    uint32_t compression; // 0 none, 1 RLE8, 2 RLE4, 3 bit fields, ...
    uint32_t imageSize;   // 0 when the header has none
    uint32_t paletteEntries;
    uint32_t colorsUsed;
};
BitmapHeader ReadBitmapHeader(const uint8_t *info, uint32_t infoLength);

// How much a host reads, trusting a bitmap information block:
//   infoBytes   the header (at least 40 bytes, even a core header's: hosts
//               read the common fields from any bitmap information), the three
//               or four bit-field masks that follow a 40-byte header with
//               bit-field compression, and the palette: for 1 to 8 bits the
//               whole 2^bits entries a pixel can index (some hosts copy them
//               all whatever the colours-used count says), or the
//               colours-used count when that is more; for more bits the
//               colours-used count when set and at most 256. 3 bytes an
//               entry under the core header, 4 under any other;
//   rowsBytes   for an uncompressed or bit-field bitmap, its rows: the row
//               stride (rounded up to 4 bytes) times the height, both taken
//               as absolute values; 0 for a compressed one;
//   imageSize   the header's image size field, 0 when it has none;
//   claimedInfoBytes  as infoBytes, but with a colours-used count above 256
//               taken at its word: what a host that trusts that count reads.
// Fields beyond infoLength read as zero. A size too large to count is
// UINT64_MAX, which no block can have.
struct BitmapExtent {
    uint64_t infoBytes;
    uint64_t rowsBytes;
    uint32_t imageSize;
    uint64_t claimedInfoBytes;
};
BitmapExtent DescribeBitmap(const uint8_t *info, uint32_t infoLength);

// ===========================================================================
// Front ends that hand the decoded BMP file on to an image library (the
// desktop loader to gdk-pixbuf's BMP reader, the WIC codec to WIC's BMP
// decoder) judge its head first, before the library sees it and so before
// any memory is taken for the picture: a header alone says how much a
// picture takes, and a few bytes can claim gigabytes.

// The most pixels a picture may have: 16384 x 16384, a picture of 1 GiB at
// 4 bytes a pixel, as image libraries hold a picture with alpha.
constexpr uint64_t MostPixels = uint64_t(1) << 28;

// What a BMP file may hold besides its headers, palette and rows: gaps, a
// colour profile.
constexpr uint64_t MostExtraBytes = uint64_t(1) << 20;

// The head that is judged: the file header and the common bitmap header.
constexpr uint32_t JudgedHeadBytes = BmpFileHeaderSize + CommonBitmapHeaderSize;

// The most a picture's decoded BMP file may hold, given its width and height
// (within MostPixels) and the length of its bitmap information
// (DescribeBitmap's infoBytes): its rows at 4 bytes a pixel and 4 more a row
// (no depth or run-length encoding takes more), the headers, and
// MostExtraBytes. A stream that decodes to more is a decompression bomb.
constexpr uint64_t MostDecodedBytes(uint32_t width, uint32_t height, uint64_t infoBytes)
{
    constexpr uint64_t MostBytesPerPixel = 4;
    constexpr uint64_t MostBytesPerRowEnd = 4;
    return BmpFileHeaderSize + infoBytes + uint64_t(height) * (MostBytesPerPixel * width + MostBytesPerRowEnd) +
           MostExtraBytes;
}

enum class HeadVerdict {
    Picture,           // hand it on
    NotBmp,            // no BMP file header: not a picture
    PixelsInHeaders,   // a pixel-data offset below LeastPixelDataOffset
    HeaderTooLarge,    // a bitmap header longer than LargestBitmapHeaderSize
    OversizePalette,   // a colours-used count above the 2^bits a pixel can index
    TooManyPixels,     // more than MostPixels
    PixelsPastPicture, // the pixel data would start past all the picture can hold
};

struct PictureHead {
    HeadVerdict verdict;
    BitmapHeader header;  // as ReadBitmapHeader reads it
    uint32_t pixelOffset; // the file header's pixel-data offset
    uint64_t mostDecoded; // for a Picture, the most its whole file may decode to
};

// Judges the first length bytes of a decoded BMP file: JudgedHeadBytes, or
// the whole file when it is shorter. The verdicts are tried in the order
// listed.
PictureHead JudgePictureHead(const uint8_t *file, uint32_t length);

// How many of a picture's rows its pixel data reaches, learnt from its BMP
// file as it is decoded, as an image library that paints rows as they come
// reaches them. Rows without compression (none, bit fields) count whole row
// strides. Run-length encoded pixel data (RLE4, RLE8) is walked through its
// escapes: an end of line or a delta moves to a later row, an end of bitmap
// reaches every row, and the row the data ends in counts once anything is
// placed in it. Pixel data of any other compression cannot be measured
// without decoding it, and counts as reaching every row. Start it with the
// file's head (StartRowCoverage: the first JudgedHeadBytes bytes, or the
// whole file when shorter), give it the rest of the file as it comes
// (CoverRows), and ask RowsReached; the record is the caller's.
struct RowCoverage {
    BitmapHeader header;
    uint32_t pixelOffset;
    uint64_t position;   // bytes of the file given so far
    uint64_t pixelBytes; // of those, bytes of pixel data
    // The run-length walk: where it stands, and what it expects next.
    uint64_t x;
    uint64_t y;
    uint8_t phase;
    uint32_t run;   // pixels of the current run or absolute piece
    uint32_t count; // of those, how many came
};
void StartRowCoverage(RowCoverage *coverage, const uint8_t *head, uint32_t headLength);
void CoverRows(RowCoverage *coverage, const uint8_t *bytes, uint32_t count);
// The rows reached so far, at most the header's height.
uint32_t RowsReached(const RowCoverage *coverage);

// How long the file must be for an image library that reads a whole BMP
// file to find all the pixel data the header describes, the file ending
// where the coverage stands: for rows (no compression, bit fields) the pixel
// data offset and every row; for run-length data, the file so far (at least
// the pixel-data offset) and MostPendingRunBytes more for a piece under way
// and an end of line, two zero bytes, for every row of the picture, whatever
// the walk found (a library may walk damaged data otherwise than RowCoverage
// does, and bytes after an end of bitmap are nobody's); else the file so far.
// A file padded with zero bytes to that length reads as the plug-in's blocks
// of a picture cut short read: zero where the file ended. UINT64_MAX when it
// is too large to count.
constexpr uint64_t MostPendingRunBytes = 256; // an absolute piece of 255 bytes and its padding
uint64_t CompleteFileLength(const RowCoverage *coverage);

// ===========================================================================
// A whole picture in memory, for an image library that reads a BMP file from
// memory once it is all there (the WIC codec hands it to WIC's BMP decoder):
// the container decoded into one block by a fed StreamDecoder, the head of
// its BMP file judged (JudgePictureHead) before memory is taken for the
// rest, a decompression bomb stopped at MostDecodedBytes, and a picture cut
// short padded with zero bytes to CompleteFileLength, so that the library
// finds all the pixel data it looks for and shows the picture as far as it
// goes, the rest as the plug-in's blocks show it. The record is the
// caller's: start it zeroed (PictureFileDecode{}), StartPictureFileDecode,
// FeedPictureFile for every piece of the container in order, then
// FinishPictureFile, and EndPictureFileDecode whatever happened.

enum class FileVerdict {
    Picture,      // the file is in the block, padded where its pixel data falls short
    NotContainer, // empty, or its first two bytes are no container start
    BadHead,      // JudgePictureHead refused the head (NotBmp included): head.verdict says why
    Damaged,      // the compressed data or its checksum is damaged
    Bomb,         // the stream decodes to more than its picture can hold
    RowsTooLong,  // its pixel data falls short of rows longer than the picture may hold
    NoMemory,     // the block or the decoder's state cannot be had
};

struct PictureFileDecode {
    ByteSink sink; // the decoder writes the file here; must stay first
    StreamDecoder decoder;
    DecodeAreas areas;
    LocalBlock areasBlock; // the decoder's work areas, of a container of unknown length
    // sink.block is the decoded file, locked, its first used bytes the file
    // (padded once finished). To keep it past EndPictureFileDecode, copy the
    // record and zero this one.
    bool headOnly; // stop once the head is judged (a probe)
    uint8_t containerStart[ContainerStartBytes];
    uint32_t containerStartLength;
    bool headJudged;
    PictureHead head;      // once judged
    RowCoverage rows;      // once the head is judged a picture
    FileVerdict refusal;   // why the file was refused while it came, or Picture
};

// Takes the decoder's state and work areas, and a first block for the file;
// false when they cannot be had (then FeedPictureFile takes nothing and
// FinishPictureFile gives NoMemory; EndPictureFileDecode all the same).
bool StartPictureFileDecode(PictureFileDecode *decode, bool headOnly);

// Decodes the next count bytes of the container; true while more is wanted:
// false once the stream has ended (bytes after it are ignored), the head is
// judged (headOnly), or the decode failed, which FinishPictureFile tells.
bool FeedPictureFile(PictureFileDecode *decode, const uint8_t *bytes, uint32_t count);

// The verdict once the container has been fed: the head of a file shorter
// than JudgedHeadBytes is judged now, and a picture is padded to
// CompleteFileLength (for headOnly, neither: Picture once the head passed).
FileVerdict FinishPictureFile(PictureFileDecode *decode);

// Frees the decoder, its work areas and the file block; safe to repeat.
void EndPictureFileDecode(PictureFileDecode *decode);
