#include "plugin/picture_sink.h"

#include "plugin/api.h"

#include <algorithm>
#include <cstring>

namespace {

// The blocks the host receives: fixed and zero-filled.
constexpr UINT PictureBlockFlags = LMEM_FIXED;

constexpr uint32_t MostBytes = UINT32_MAX;

PictureSink *Owner(ByteSink *sink) { return reinterpret_cast<PictureSink *>(sink); }

// Appends to a block that may never hold more than mostCapacity; the info
// block is first made when its first byte comes, should the header not have
// made it.
uint32_t AppendToBlock(LocalBlock *block, const uint8_t *bytes, uint32_t count, uint32_t mostCapacity)
{
    if (block->handle == nullptr &&
        !AllocateLocalBlock(block, std::min(std::max(count, SinkGrowth), mostCapacity), PictureBlockFlags))
        return 0;
    return AppendToLocalBlock(block, bytes, count, mostCapacity);
}

// The pixel block a sink opens with: small, since the file header, which
// comes first, sizes it for the whole file; the block grows should it not.
constexpr uint32_t FirstPixelBlock = SinkGrowth;

// Pixel blocks at least this large are made anew at their full size rather
// than grown: the system's allocator grows a small block in place, but moves
// a large one, zero-filling what it adds, which is a pass over the whole
// picture before a byte of it is decoded. Fresh memory from the system is
// zero already.
constexpr uint32_t FreshBlockLeast = 512u << 10;

// Gives the pixel block, which holds nothing yet, the capacity of the whole
// file.
void ReservePixelBlock(PictureSink *picture, uint32_t capacity)
{
    LocalBlock &bits = picture->bits;
    if (capacity <= bits.capacity || bits.used != 0)
        return;
    if (capacity < FreshBlockLeast) {
        ResizeOpenLocalBlock(&bits, capacity);
        return;
    }
    LocalBlock fresh;
    if (!AllocateLocalBlock(&fresh, capacity, PictureBlockFlags))
        return;
    FreeLocalBlock(&bits);
    bits = fresh;
}

// The sizes the blocks are handed over with. A host trusts the bitmap header
// and reads as far as it describes, so each block covers at least that, the
// rest zero: a cut-short picture shows black where it ends. The pixel block
// covers the rows the header describes, and its image size too when a block
// so large can be had. It stays as long as the whole BMP file the two blocks
// make (file header, info block, pixel data), as for a complete picture.
struct HandoverSizes {
    uint32_t info;
    uint32_t bitsLeast;
    uint32_t bitsWanted;
};

// The pixel block for pixel data of pixelBytes after an info block of
// infoSize bytes; false when no block can be that large.
bool WholeFileSize(uint32_t infoSize, uint64_t pixelBytes, uint32_t *size)
{
    uint32_t withInfo;
    return AddSizesValid(BmpFileHeaderSize, infoSize, &withInfo) && AddSizesValid(withInfo, pixelBytes, size);
}

// The sizes for pixelsDecoded bytes of pixel data after the information the
// sink holds; false when even the least a host would read is more than a
// block can hold.
bool PlanHandover(const PictureSink *picture, uint64_t pixelsDecoded, HandoverSizes *sizes)
{
    const LocalBlock &info = picture->info;
    BitmapExtent extent = DescribeBitmap(info.start, info.used);
    if (extent.infoBytes > MostBytes)
        return false;
    sizes->info = std::max(info.used, static_cast<uint32_t>(extent.infoBytes));
    uint64_t pixelsLeast = std::max(pixelsDecoded, extent.rowsBytes);
    uint64_t pixelsWanted = std::max<uint64_t>(pixelsLeast, extent.imageSize);
    if (!WholeFileSize(sizes->info, pixelsLeast, &sizes->bitsLeast))
        return false;
    if (!WholeFileSize(sizes->info, pixelsWanted, &sizes->bitsWanted))
        sizes->bitsWanted = sizes->bitsLeast;
    return true;
}

// A file header that says where the pixel data begins, after itself.
bool HasSoundLayout(const uint8_t *header)
{
    return HasBmpFileHeader(header) && BmpPixelDataOffset(header) >= BmpFileHeaderSize;
}

// Once the file header is known: where the pixel data will begin, and the
// info block, with room for the padding it may get at handover. Only a head
// start: when it cannot be had, the block grows as the bytes come.
void PlanLayout(PictureSink *picture)
{
    bool sound = HasSoundLayout(picture->header);
    picture->pixelsFrom = sound ? BmpPixelDataOffset(picture->header) : BmpFileHeaderSize;
    if (!sound)
        return;
    uint32_t infoSize = picture->pixelsFrom - BmpFileHeaderSize;
    uint64_t infoCapacity = std::min<uint64_t>(uint64_t(infoSize) + MostBitmapInfoPadding, picture->reserveLimit);
    if (infoSize > 0)
        AllocateLocalBlock(&picture->info, static_cast<uint32_t>(infoCapacity), PictureBlockFlags);
}

// Once the information is all there, before the first pixel: the pixel
// block as large as it is handed over for pixel data as long as the file
// header says (the whole file the two blocks make, the information padded
// for the host), so that it need not grow, and move, a copy of the whole
// picture, once decoded. Only a head start, as the info block's.
void ReserveForPixels(PictureSink *picture)
{
    uint32_t fileSize = BmpFileSize(picture->header);
    uint64_t filePixels = fileSize > picture->pixelsFrom ? fileSize - picture->pixelsFrom : 0;
    HandoverSizes sizes;
    if (HasSoundLayout(picture->header) && PlanHandover(picture, filePixels, &sizes))
        ReservePixelBlock(picture, std::min(sizes.bitsWanted, picture->reserveLimit));
}

uint32_t AppendPixels(PictureSink *picture, const uint8_t *bytes, uint32_t count)
{
    return AppendToBlock(&picture->bits, bytes, count, MostBytes);
}

// Takes the start of count bytes into wherever the next byte of the file
// belongs; returns how many were taken, 0 when memory ran out.
uint32_t TakePiece(PictureSink *picture, const uint8_t *bytes, uint32_t count)
{
    uint32_t taken;
    if (picture->written < BmpFileHeaderSize) {
        taken = std::min(count, BmpFileHeaderSize - picture->written);
        std::memcpy(picture->header + picture->written, bytes, taken);
        picture->written += taken;
        if (picture->written == BmpFileHeaderSize)
            PlanLayout(picture);
    } else if (picture->written < picture->pixelsFrom) {
        uint32_t infoSize = picture->pixelsFrom - BmpFileHeaderSize;
        uint32_t infoLeft = picture->pixelsFrom - picture->written;
        taken = AppendToBlock(&picture->info, bytes, std::min(count, infoLeft), infoSize);
        picture->written += taken;
    } else {
        taken = AppendPixels(picture, bytes, count);
        picture->written += taken;
        return taken;
    }
    if (picture->written == picture->pixelsFrom)
        ReserveForPixels(picture);
    return taken;
}

uint32_t PictureWrite(ByteSink *sink, const uint8_t *bytes, uint32_t count)
{
    PictureSink *picture = Owner(sink);
    // No file longer than a 32-bit count can describe is ever delivered.
    if (count > MostBytes - picture->written)
        return 0;
    uint32_t taken = 0;
    while (taken < count) {
        uint32_t piece = TakePiece(picture, bytes + taken, count - taken);
        if (piece == 0)
            break;
        taken += piece;
    }
    return taken;
}

int32_t PicturePutByte(ByteSink *sink, int32_t value)
{
    uint8_t byte = static_cast<uint8_t>(value);
    return PictureWrite(sink, &byte, 1) == 1 ? value : -1;
}

int32_t PictureSize(ByteSink *sink) { return static_cast<int32_t>(Owner(sink)->written); }

int32_t PictureFlush(ByteSink *) { return 0; }

// Pixel data may be inflated straight into the pixel block, but only into
// room it already has: growing it for a step that may produce a few bytes
// would move a block the header sized exactly, and copy all of it.
uint8_t *PictureRoom(void *owner, uint32_t count)
{
    auto *picture = static_cast<PictureSink *>(owner);
    LocalBlock &bits = picture->bits;
    bool pixelsNext = picture->written >= picture->pixelsFrom; // never before the header
    if (!pixelsNext || bits.start == nullptr || count > bits.capacity - bits.used ||
        count > MostBytes - picture->written)
        return nullptr;
    return bits.start + bits.used;
}

void PictureCommit(void *owner, uint32_t count)
{
    auto *picture = static_cast<PictureSink *>(owner);
    picture->bits.used += count;
    picture->written += count;
}

// The checks a decoded file must pass before it is handed over.
int32_t CheckDecodedFile(const PictureSink *picture)
{
    if (picture->written < BmpFileHeaderSize || !HasBmpFileHeader(picture->header))
        return ResultBadFormat;
    uint32_t pixelOffset = BmpPixelDataOffset(picture->header);
    if (pixelOffset < BmpFileHeaderSize)
        return ResultNoMemory;
    if (pixelOffset > picture->written)
        return ResultBadFormat;
    // A host reads a bitmap header from the info block whatever its size.
    if (pixelOffset < LeastPixelDataOffset)
        return ResultBadFormat;
    // A header cut short by the pixel-data offset is padded for the host, but
    // only up to a kind of header that exists: a larger size the file does
    // not hold is no bitmap header, and would make a few hundred bytes claim
    // gigabytes of information. The palette likewise: it is padded to 256
    // entries, and a larger colours-used count the file does not hold would
    // have a host read past the block.
    uint32_t infoLength = pixelOffset - BmpFileHeaderSize;
    uint32_t headerSize = ReadBitmapHeader(picture->info.start, picture->info.used).size;
    if (headerSize > LargestBitmapHeaderSize && headerSize > infoLength)
        return ResultBadFormat;
    BitmapExtent extent = DescribeBitmap(picture->info.start, picture->info.used);
    if (extent.claimedInfoBytes > std::max<uint64_t>(infoLength, extent.infoBytes))
        return ResultBadFormat;
    return ResultOk;
}

// The handover form: unlocked, each exactly as long as planned.
int32_t FitBlocks(PictureSink *picture)
{
    HandoverSizes sizes;
    uint64_t pixelsDecoded = picture->written - picture->pixelsFrom;
    bool coverable = PlanHandover(picture, pixelsDecoded, &sizes); // reads the info block while it is locked
    UnlockLocalBlock(&picture->info);
    UnlockLocalBlock(&picture->bits);
    if (!coverable || !FitLocalBlock(&picture->info, sizes.info))
        return ResultNoMemory;
    // A careless image size field does not cost the picture.
    if (!FitLocalBlock(&picture->bits, sizes.bitsWanted) && !FitLocalBlock(&picture->bits, sizes.bitsLeast))
        return ResultNoMemory;
    // The host reaches the pixels by locking their block: one that cannot be
    // locked is of no use to it.
    if (LocalLock(picture->bits.handle) == nullptr)
        return ResultMemoryError;
    LocalUnlock(picture->bits.handle);
    return ResultOk;
}

} // namespace

uint32_t MostDecodedFrom(uint64_t containerLength)
{
    uint64_t most;
    if (!MulSizesValid(containerLength, DeflateMostExpansion, &most))
        return MostBytes;
    return static_cast<uint32_t>(std::min<uint64_t>(most, MostBytes));
}

int32_t OpenPictureSink(PictureSink *picture, uint32_t reserveLimit)
{
    *picture = {};
    if (!AllocateLocalBlock(&picture->bits, FirstPixelBlock, PictureBlockFlags))
        return ResultNoMemory;
    picture->reserveLimit = reserveLimit;
    picture->pixelsFrom = BmpFileHeaderSize;
    ByteSink &sink = picture->sink;
    sink.kind = SinkPicture;
    sink.PutByte = PicturePutByte;
    sink.Write = PictureWrite;
    sink.Size = PictureSize;
    sink.Flush = PictureFlush;
    return ResultOk;
}

DirectOutput PictureDirectOutput(PictureSink *picture) { return {picture, PictureRoom, PictureCommit}; }

int32_t FinishPicture(PictureSink *picture, HLOCAL *infoOut, HLOCAL *bitsOut)
{
    int32_t result = CheckDecodedFile(picture);
    if (result == ResultOk)
        result = FitBlocks(picture);
    if (result != ResultOk) {
        DiscardPicture(picture);
        return result;
    }
    *infoOut = picture->info.handle;
    *bitsOut = picture->bits.handle;
    picture->info = {};
    picture->bits = {};
    return ResultOk;
}

void DiscardPicture(PictureSink *picture)
{
    FreeLocalBlock(&picture->info);
    FreeLocalBlock(&picture->bits);
}
