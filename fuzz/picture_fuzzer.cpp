// GetPicture on a container in memory (flags 1).
//
// Input layout:
//   byte 0   progress: low 7 bits, answer "stop" at that call (0 never);
//            bit 7, answer "stop" at the final (100, 100) call
//   byte 1   allocation failures: low nibble, fail that local allocation or
//            reallocation (0 none); high nibble, fail that LocalLock (0 none)
//   rest     the container
// After every call every local block must be back (the delivered ones once
// freed), and the out-parameters written only on success. On success both
// blocks must be as long as their bitmap information describes, and the
// pixel block as long as all that zlib alone inflates from the container.
// When nothing was stopped or made to fail and zlib inflates the container to
// its end, the delivered blocks must hold the pieces of that BMP file,
// followed by nothing but zeros.
#include "codec/container.h"
#include "fuzz/fuzz_target.h"
#include "fuzz/zlib_oracle.h"
#include "plugin/api.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

HLOCAL const Untouched = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xdeadbeef));
constexpr uint8_t StopAtCompleteBit = 0x80;
constexpr uint8_t StopAtCallMask = 0x7f;
constexpr int32_t CompleteReport = 100;
constexpr int32_t UserData = 0x5a17c0de;
// Inflating further than this is not worth an execution.
constexpr size_t OracleOutputLimit = 64u << 20;
// The largest local block the stand-in gives while the target runs: beyond
// what any input decodes to that the oracle checks, and far below the
// fuzzer's own memory limit.
constexpr size_t LargestBlock = 2 * OracleOutputLimit;

struct ProgressScript {
    int stopAtCall = 0;
    bool stopAtComplete = false;
    int calls = 0;
    int32_t containerLength = 0;
};
ProgressScript *script = nullptr;

int32_t WINAPI ScriptedProgress(int32_t numerator, int32_t denominator, intptr_t userData)
{
    ++script->calls;
    FUZZ_REQUIRE(userData == UserData, "progress got userData %ld, expected %ld", static_cast<long>(userData), static_cast<long>(UserData));
    bool complete = numerator == CompleteReport && denominator == CompleteReport;
    if (!complete) {
        FUZZ_REQUIRE(denominator == script->containerLength, "progress denominator %d, expected the length %d",
                     denominator, script->containerLength);
        FUZZ_REQUIRE(numerator >= 0 && numerator <= denominator / 2 + 1,
                     "progress numerator %d outside 0..%d", numerator, denominator / 2 + 1);
    }
    if (complete && script->stopAtComplete)
        return 1;
    return script->calls == script->stopAtCall ? 1 : 0;
}

// The BMP file, as far as zlib alone inflates the unmasked container; true
// when that reaches the end of its stream.
bool Inflate(const uint8_t *container, size_t length, Bytes *file)
{
    ZlibReading reading = ReadWithZlib(container, length, OracleOutputLimit, true);
    *file = std::move(reading.file);
    return reading.lastStep == Z_STREAM_END;
}

// The block starts with the expected bytes and holds only zeros after them.
// Read in place: a block may be far larger than what it starts with.
bool HoldsThenZeros(HLOCAL block, const Bytes &expected)
{
    size_t size = LocalSize(block);
    if (size < expected.size())
        return false;
    // An empty block cannot be locked, and holds nothing.
    if (size == 0)
        return true;
    auto *address = static_cast<const uint8_t *>(LocalLock(block));
    FUZZ_REQUIRE(address != nullptr, "a delivered block cannot be locked");
    bool holds = std::equal(expected.begin(), expected.end(), address) &&
                 std::all_of(address + expected.size(), address + size, [](uint8_t byte) { return byte == 0; });
    LocalUnlock(block);
    return holds;
}

uint32_t PixelOffset(const Bytes &file)
{
    return uint32_t(file[10]) | uint32_t(file[11]) << 8 | uint32_t(file[12]) << 16 | uint32_t(file[13]) << 24;
}

bool IsBmp(const Bytes &file)
{
    return file.size() >= BmpFileHeaderSize && file[0] == 'B' && file[1] == 'M' && file[6] == 0 && file[7] == 0 &&
           file[8] == 0 && file[9] == 0;
}

// The smallest bitmap header, the core one.
constexpr uint64_t SmallestBitmapHeader = 12;
// Hosts read the 40-byte header's fields from any info block: it is never shorter.
constexpr uint64_t SmallestInfoBlock = 40;
constexpr uint32_t MostPaddedEntries = 256;

uint32_t Field(const Bytes &info, size_t offset, size_t width);

// A colours-used count beyond the 256 entries a palette is padded to, whose
// entries (after the header and its masks) the file's information does not
// hold. Fields are read no further than the information, as the plug-in
// reads them.
bool ClaimsUnheldPalette(const Bytes &file)
{
    uint64_t infoLength = PixelOffset(file) - BmpFileHeaderSize;
    Bytes info(file.begin() + BmpFileHeaderSize, file.begin() + PixelOffset(file));
    uint32_t headerSize = Field(info, 0, 4);
    uint32_t colorsUsed = Field(info, 32, 4);
    if (headerSize == SmallestBitmapHeader || colorsUsed <= MostPaddedEntries)
        return false;
    uint32_t compression = Field(info, 16, 4);
    uint64_t masks = 0;
    if (headerSize == 40 && compression == 3)
        masks = 12;
    if (headerSize == 40 && compression == 6)
        masks = 16;
    return std::max<uint64_t>(headerSize, 40) + masks + uint64_t(colorsUsed) * 4 > infoLength;
}

// What GetPicture must answer for a whole, undamaged stream, and its blocks.
int32_t ExpectedResult(const Bytes &file)
{
    if (!IsBmp(file))
        return ResultBadFormat;
    if (PixelOffset(file) < BmpFileHeaderSize)
        return ResultNoMemory;
    if (PixelOffset(file) > file.size())
        return ResultBadFormat;
    // Bitmap information too short for any bitmap header is no picture.
    if (PixelOffset(file) - BmpFileHeaderSize < SmallestBitmapHeader)
        return ResultBadFormat;
    return ClaimsUnheldPalette(file) ? ResultBadFormat : ResultOk;
}

void CheckAgainstWholeFile(const Bytes &file, int32_t result, HLOCAL info, HLOCAL bits)
{
    int32_t expected = ExpectedResult(file);
    FUZZ_REQUIRE(result == expected, "GetPicture answered %d for a whole %zu-byte stream, expected %d", result,
                 file.size(), expected);
    if (result != ResultOk)
        return;
    uint32_t offset = PixelOffset(file);
    Bytes expectedInfo(file.begin() + BmpFileHeaderSize, file.begin() + offset);
    Bytes expectedBits(file.begin() + offset, file.end());
    FUZZ_REQUIRE(HoldsThenZeros(info, expectedInfo), "the info block is not bytes 14..%u of the file plus zeros",
                 offset);
    FUZZ_REQUIRE(HoldsThenZeros(bits, expectedBits), "the bits block is not the pixel data plus zeros");
}

// ---------------------------------------------------------------------------
// What the blocks must cover: as much as their bitmap information describes,
// however little of it the file held, since a host reads that much. Worked
// out from the info block alone, as a host does; a field the block is too
// short to hold reads as zero.

constexpr uint32_t CoreHeaderSize = 12; // 16-bit width and height, no compression field
constexpr uint32_t InfoHeaderSize = 40;
constexpr size_t FieldsEnd = 40; // every field read lies before this offset
constexpr uint32_t CompressionNone = 0;
constexpr uint32_t CompressionBitFields = 3;
constexpr uint32_t CompressionAlphaBitFields = 6;
constexpr uint64_t BitFieldMasksSize = 12;      // red, green, blue
constexpr uint64_t AlphaBitFieldMasksSize = 16; // and alpha
constexpr uint32_t MostColorsUsed = 256;
constexpr uint32_t MostPalettedBits = 8;
constexpr uint64_t PaletteEntrySize = 4;     // blue, green, red, reserved
constexpr uint64_t CorePaletteEntrySize = 3; // blue, green, red

struct BitmapDescription {
    uint32_t headerSize = 0;
    uint64_t width = 0; // absolute values
    uint64_t height = 0;
    uint32_t bitCount = 0;
    uint32_t compression = 0;
    uint32_t sizeImage = 0;
    uint32_t colorsUsed = 0;
};

// The little-endian field of width bytes at offset; 0 when the block ends first.
uint32_t Field(const Bytes &info, size_t offset, size_t width)
{
    if (offset + width > info.size())
        return 0;
    uint32_t value = 0;
    for (size_t index = width; index-- > 0;)
        value = value << 8 | info[offset + index];
    return value;
}

uint64_t Magnitude(uint32_t field)
{
    int64_t value = static_cast<int32_t>(field);
    return static_cast<uint64_t>(value < 0 ? -value : value);
}

BitmapDescription Describe(HLOCAL info)
{
    Bytes fields;
    size_t size = std::min(LocalSize(info), FieldsEnd);
    if (size > 0) {
        auto *address = static_cast<const uint8_t *>(LocalLock(info));
        FUZZ_REQUIRE(address != nullptr, "the info block cannot be locked");
        fields.assign(address, address + size);
        LocalUnlock(info);
    }
    BitmapDescription bitmap;
    bitmap.headerSize = Field(fields, 0, 4);
    if (bitmap.headerSize == CoreHeaderSize) {
        bitmap.width = Field(fields, 4, 2);
        bitmap.height = Field(fields, 6, 2);
        bitmap.bitCount = Field(fields, 10, 2);
        return bitmap;
    }
    bitmap.width = Magnitude(Field(fields, 4, 4));
    bitmap.height = Magnitude(Field(fields, 8, 4));
    bitmap.bitCount = Field(fields, 14, 2);
    bitmap.compression = Field(fields, 16, 4);
    bitmap.sizeImage = Field(fields, 20, 4);
    bitmap.colorsUsed = Field(fields, 32, 4);
    return bitmap;
}

uint64_t InfoBlockNeeds(const BitmapDescription &bitmap)
{
    uint64_t masks = 0;
    if (bitmap.headerSize == InfoHeaderSize && bitmap.compression == CompressionBitFields)
        masks = BitFieldMasksSize;
    if (bitmap.headerSize == InfoHeaderSize && bitmap.compression == CompressionAlphaBitFields)
        masks = AlphaBitFieldMasksSize;
    // The colours used, but all a pixel can index for 1 to 8 bits, as some
    // viewers copy them all.
    uint64_t entries = 0;
    if (bitmap.colorsUsed != 0 && bitmap.colorsUsed <= MostColorsUsed)
        entries = bitmap.colorsUsed;
    else if (bitmap.bitCount <= MostPalettedBits)
        entries = uint64_t(1) << bitmap.bitCount;
    if (bitmap.bitCount >= 1 && bitmap.bitCount <= MostPalettedBits)
        entries = std::max(entries, uint64_t(1) << bitmap.bitCount);
    uint64_t entrySize = bitmap.headerSize == CoreHeaderSize ? CorePaletteEntrySize : PaletteEntrySize;
    return std::max(SmallestInfoBlock, bitmap.headerSize + masks + entries * entrySize);
}

// Only uncompressed and bit-field pixels are laid out in rows of known size.
bool HasRows(const BitmapDescription &bitmap)
{
    return bitmap.headerSize == CoreHeaderSize || bitmap.compression == CompressionNone ||
           bitmap.compression == CompressionBitFields || bitmap.compression == CompressionAlphaBitFields;
}

// Rows of whole 32-bit words; saturates, as a height of 2^31 rows of 2^44
// bytes does not fit 64 bits.
uint64_t RowsSize(const BitmapDescription &bitmap)
{
    uint64_t stride = (bitmap.width * bitmap.bitCount + 31) / 32 * 4;
    if (bitmap.height != 0 && stride > UINT64_MAX / bitmap.height)
        return UINT64_MAX;
    return stride * bitmap.height;
}

// allocationRefused: the stand-in refused an allocation of the call (told to,
// or over its block size limit). Only that excuses a pixel block shorter than
// biSizeImage, which must still hold the rows.
void CheckCover(HLOCAL info, HLOCAL bits, size_t decodedLength, bool allocationRefused)
{
    BitmapDescription bitmap = Describe(info);
    uint64_t infoNeeds = InfoBlockNeeds(bitmap);
    FUZZ_REQUIRE(LocalSize(info) >= infoNeeds,
                 "info block of %zu bytes; header size %u, %u bits, compression %u, %u colours used need %llu",
                 LocalSize(info), bitmap.headerSize, bitmap.bitCount, bitmap.compression, bitmap.colorsUsed,
                 static_cast<unsigned long long>(infoNeeds));
    size_t pixelBlock = LocalSize(bits);
    FUZZ_REQUIRE(pixelBlock >= decodedLength, "bits block of %zu bytes, shorter than the %zu bytes decoded",
                 pixelBlock, decodedLength);
    if (HasRows(bitmap))
        FUZZ_REQUIRE(pixelBlock >= RowsSize(bitmap),
                     "bits block of %zu bytes; %llu rows of %llu pixels at %u bits need %llu", pixelBlock,
                     static_cast<unsigned long long>(bitmap.height), static_cast<unsigned long long>(bitmap.width),
                     bitmap.bitCount, static_cast<unsigned long long>(RowsSize(bitmap)));
    // Nor is a block that would be longer than 4 GiB, which no 32-bit size
    // can give: the whole file (file header, information, pixels) it stands for.
    uint64_t wholeFile = uint64_t(BmpFileHeaderSize) + LocalSize(info) + bitmap.sizeImage;
    if (!allocationRefused && wholeFile <= UINT32_MAX)
        FUZZ_REQUIRE(pixelBlock >= bitmap.sizeImage, "bits block of %zu bytes, biSizeImage %u", pixelBlock,
                     bitmap.sizeImage);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputReader input(data, size);
    uint8_t progressControl = input.Byte();
    uint8_t failureControl = input.Byte();
    size_t length = 0;
    const uint8_t *container = input.Take(input.Remaining(), &length);

    ProgressScript progress;
    progress.stopAtCall = progressControl & StopAtCallMask;
    progress.stopAtComplete = (progressControl & StopAtCompleteBit) != 0;
    progress.containerLength = static_cast<int32_t>(length);
    script = &progress;
    long failAllocation = failureControl & 0x0f;
    long failLock = failureControl >> 4;

    // A hostile header may ask for gigabytes; a 32-bit host would refuse them.
    LocalMemoryLimitBlockSize(LargestBlock);
    long liveBefore = LocalMemoryLiveBlocks();
    long refusedBefore = LocalMemoryRefusedAllocations();
    LocalMemoryFailAllocation(failAllocation);
    LocalMemoryFailLock(failLock);
    HLOCAL info = Untouched;
    HLOCAL bits = Untouched;
    int32_t result = GetPicture(reinterpret_cast<const char *>(container), static_cast<int32_t>(length), 1, &info,
                                &bits, ScriptedProgress, UserData);
    bool allocationRefused = LocalMemoryRefusedAllocations() != refusedBefore;
    LocalMemoryFailAllocation(0);
    LocalMemoryFailLock(0);
    script = nullptr;

    FUZZ_REQUIRE(result >= ResultOk && result <= ResultMemoryError, "GetPicture answered %d, expected 0..5",
                 result);
    if (result != ResultOk) {
        FUZZ_REQUIRE(info == Untouched && bits == Untouched, "result %d, yet an out-parameter was written", result);
    } else {
        FUZZ_REQUIRE(info != nullptr && bits != nullptr && info != Untouched && bits != Untouched,
                     "ResultOk without both blocks");
    }
    if (failLock == 0)
        FUZZ_REQUIRE(result != ResultMemoryError, "ResultMemoryError with no lock made to fail");
    bool undisturbed = progressControl == 0 && failureControl == 0;
    if (result == ResultOk || undisturbed) {
        Bytes file;
        bool whole = Inflate(container, length, &file);
        // Of a stream cut short the build's inflater may give a few bytes
        // less than zlib.
        size_t decoded = whole ? file.size() : file.size() - std::min<size_t>(file.size(), InflateMostWithheldAtCut);
        if (result == ResultOk)
            CheckCover(info, bits, decoded, allocationRefused);
        // A refused block may cost the picture (ResultNoMemory).
        if (undisturbed && whole && !allocationRefused)
            CheckAgainstWholeFile(file, result, info, bits);
    }
    if (result == ResultOk) {
        LocalFree(info);
        LocalFree(bits);
    }
    FUZZ_REQUIRE(LocalMemoryLiveBlocks() == liveBefore, "%ld local blocks live after the call, expected %ld",
                 LocalMemoryLiveBlocks(), liveBefore);
    return 0;
}
