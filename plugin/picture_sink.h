// plugin/picture_sink.h -- PictureSink, where GetPicture's decode goes.
//
// The host receives a decoded BMP file as two fixed local memory blocks: the
// bitmap information (bytes 14 to off-1 of the file, off being the file
// header's pixel-data offset) and a block as long as the whole file holding
// the pixel data (bytes off to the end) followed by zeros. A PictureSink
// takes the decoded file as it comes and lays it out that way at once: the
// 14-byte file header is kept aside, the bitmap information goes into the
// info block and the pixel data straight to the start of the bits block. No
// copy of the whole file is ever made, and a huge picture is written to
// memory once.
//
// The file header's size field sizes the bits block as soon as the header
// has been decoded, so the block is usually allocated once, at its final
// size. The field is only a hint: it is never trusted beyond what the
// container could possibly decode to, the block still grows when more comes,
// and it is cut to what was decoded at the end.
//
// The decoder writes to the sink through its ByteSink, the first member, as
// to any sink; the record lives in the caller's storage.
#pragma once

#include "codec/container.h"
#include "platform/platform.h"
#include "streams/sink.h"

#include <cstdint>

// The kind number of a PictureSink's ByteSink. CloseSink refuses it (-1):
// such a sink ends with FinishPicture or DiscardPicture instead.
constexpr int32_t SinkPicture = 2;

struct PictureSink {
    ByteSink sink; // the decoder's view; must stay first

    uint8_t header[BmpFileHeaderSize]; // the BMP file header, once decoded
    uint32_t written;                  // bytes of the file taken so far
    // Where the bits block's share of the file begins: the pixel-data offset
    // once the header is known and sound, else just past the header (a file
    // whose header is unsound is refused at the end; only its length counts
    // until then).
    uint32_t pixelsFrom;
    // The most the header's size field may make the sink reserve: what the
    // container could decode to at best.
    uint32_t reserveLimit;
    // Fixed, zero-filled blocks, filled from their start and handed to the
    // host as they are.
    LocalBlock info;
    LocalBlock bits;
};

// The most that deflate expands its input: 258 bytes from a match coded in
// two bits, a little over 1,032 bytes per input byte in the long run.
constexpr uint32_t DeflateMostExpansion = 1032;

// What a container of containerLength bytes can decode to at most, as the
// reserve limit of OpenPictureSink; the largest 32-bit count for a longer one.
uint32_t MostDecodedFrom(uint64_t containerLength);

// Opens the sink with a small bits block, which the file header's size
// field makes as large as the whole file (the file header is decoded first)
// or which grows as the file comes. reserveLimit caps what that field may
// reserve.
// ResultOk, or
// ResultNoMemory when the first block cannot be had (nothing is left
// allocated).
int32_t OpenPictureSink(PictureSink *picture, uint32_t reserveLimit);

// Lets the decode inflate pixel data straight into the pixel block, while it
// has room, instead of copying it there from the output area.
DirectOutput PictureDirectOutput(PictureSink *picture);

// Ends a sink whose decode succeeded, checking the decoded file and handing
// over its two blocks. On ResultOk *infoOut and *bitsOut receive the blocks,
// unlocked, which then belong to the caller; on any other result they are
// not written and every block is freed. Each block covers what a host reads
// trusting the bitmap header (DescribeBitmap), zero past what was decoded:
// the info block its header, masks and palette; the pixel block the decoded
// file, the rows the header describes and its image size field (that last
// one only where a block so large can be had).
//   ResultBadFormat    fewer than 14 bytes, no BMP file header, a pixel-data
//                      offset beyond the decoded file's end, bitmap
//                      information shorter than the smallest bitmap header,
//                      or a header larger than any kind (124 bytes) that the
//                      bitmap information does not hold
//   ResultNoMemory     a pixel-data offset below 14, or a block that cannot
//                      take its final size
//   ResultMemoryError  the pixel block cannot be locked at its final size
int32_t FinishPicture(PictureSink *picture, HLOCAL *infoOut, HLOCAL *bitsOut);

// Frees every block of a sink whose decode failed. Safe to repeat, and
// harmless after FinishPicture, which leaves the sink holding nothing.
void DiscardPicture(PictureSink *picture);
