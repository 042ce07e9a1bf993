#include "codec/container.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t ScrambleWord = 0x01010101u * ScrambleMask;
constexpr uint32_t BmpReserved1Field = 6;
constexpr uint32_t BmpReserved2Field = 8;

uint16_t ReadLittle16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint32_t ReadLittle32(const uint8_t *bytes) { return ReadLittle16(bytes) | uint32_t(ReadLittle16(bytes + 2)) << 16; }

// The fields of the two kinds of bitmap header, at their offsets in the
// bitmap information.
constexpr uint32_t HeaderSizeField = 0;
constexpr uint32_t CoreWidthField = 4;   // 16 bits
constexpr uint32_t CoreHeightField = 6;  // 16 bits
constexpr uint32_t CoreBitsField = 10;   // 16 bits
constexpr uint32_t WidthField = 4;       // signed 32 bits
constexpr uint32_t HeightField = 8;      // signed 32 bits, negative for top-down
constexpr uint32_t BitsField = 14;       // 16 bits
constexpr uint32_t CompressionField = 16;
constexpr uint32_t ImageSizeField = 20;
constexpr uint32_t ColorsUsedField = 32;

constexpr uint32_t CompressionNone = 0;
constexpr uint32_t CompressionBitFields = 3;
constexpr uint32_t CompressionAlphaBitFields = 6;
constexpr uint32_t BitFieldMaskSize = 4;
constexpr uint32_t MostPalettedBits = 8;
constexpr uint32_t CoreEntrySize = 3; // blue, green, red
constexpr uint32_t RowAlignmentBits = 32;
constexpr uint32_t RowAlignmentBytes = RowAlignmentBits / 8;
constexpr uint64_t UncountableSize = UINT64_MAX;

// A field of the bitmap information, zero where the information ends first.
uint32_t InfoField(const uint8_t *info, uint32_t infoLength, uint32_t offset, uint32_t width)
{
    uint32_t value = 0;
    for (uint32_t i = 0; i < width && offset + i < infoLength; ++i)
        value |= uint32_t(info[offset + i]) << (8 * i);
    return value;
}

uint32_t AbsoluteValue(uint32_t signedField)
{
    return static_cast<int32_t>(signedField) < 0 ? 0u - signedField : signedField;
}

uint64_t RowsBytes(uint32_t width, uint32_t height, uint32_t bits)
{
    // width * bits < 2^48: the stride itself cannot overflow.
    uint64_t stride = (uint64_t(width) * bits + RowAlignmentBits - 1) / RowAlignmentBits * RowAlignmentBytes;
    uint64_t rows;
    return MulSizesValid(stride, height, &rows) ? rows : UncountableSize;
}

uint32_t PaletteEntries(uint32_t colorsUsed, uint32_t bits)
{
    if (colorsUsed != 0 && colorsUsed <= MostPaletteEntries)
        return colorsUsed;
    return bits <= MostPalettedBits ? 1u << bits : 0;
}

// The palette entries a host may read: some copy the whole palette a pixel
// of 1 to 8 bits can index, whatever the colours-used count says.
uint32_t ReadablePaletteEntries(const BitmapHeader &header)
{
    bool indexed = header.bits >= 1 && header.bits <= MostPalettedBits;
    return indexed ? std::max(header.paletteEntries, 1u << header.bits) : header.paletteEntries;
}

uint32_t MaskBytes(uint32_t headerSize, uint32_t compression)
{
    if (headerSize != CommonBitmapHeaderSize)
        return 0; // later headers hold their masks themselves
    if (compression == CompressionBitFields)
        return 3 * BitFieldMaskSize;
    if (compression == CompressionAlphaBitFields)
        return 4 * BitFieldMaskSize;
    return 0;
}

bool HasRows(uint32_t compression)
{
    return compression == CompressionNone || compression == CompressionBitFields ||
           compression == CompressionAlphaBitFields;
}

bool StartInflater(Inflater *inflater, uint8_t *input, uint32_t inputLength)
{
    std::memset(&inflater->stream, 0, sizeof inflater->stream);
    inflater->stream.next_in = input;
    inflater->stream.avail_in = inputLength;
    return inflateInit(&inflater->stream) == Z_OK;
}

bool IsGoodStep(int inflateResult) { return inflateResult == Z_OK || inflateResult == Z_STREAM_END; }

} // namespace

bool HasBmpFileHeader(const uint8_t *header)
{
    return header[0] == 'B' && header[1] == 'M' && ReadLittle16(header + BmpReserved1Field) == 0 &&
           ReadLittle16(header + BmpReserved2Field) == 0;
}

uint32_t BmpPixelDataOffset(const uint8_t *header) { return ReadLittle32(header + BmpPixelOffsetField); }

uint32_t BmpFileSize(const uint8_t *header) { return ReadLittle32(header + BmpFileSizeField); }

BitmapHeader ReadBitmapHeader(const uint8_t *info, uint32_t infoLength)
{
    auto field = [&](uint32_t offset, uint32_t width) { return InfoField(info, infoLength, offset, width); };
    BitmapHeader header{};
    header.size = field(HeaderSizeField, 4);
    if (header.size == CoreBitmapHeaderSize) {
        header.width = field(CoreWidthField, 2);
        header.height = field(CoreHeightField, 2);
        header.bits = field(CoreBitsField, 2);
        header.paletteEntries = PaletteEntries(0, header.bits);
        return header;
    }
    uint32_t height = field(HeightField, 4);
    header.width = AbsoluteValue(field(WidthField, 4));
    header.height = AbsoluteValue(height);
    header.topDown = static_cast<int32_t>(height) < 0;
    header.bits = field(BitsField, 2);
    header.compression = field(CompressionField, 4);
    header.imageSize = field(ImageSizeField, 4);
    header.colorsUsed = field(ColorsUsedField, 4);
    header.paletteEntries = PaletteEntries(header.colorsUsed, header.bits);
    return header;
}

BitmapExtent DescribeBitmap(const uint8_t *info, uint32_t infoLength)
{
    BitmapHeader header = ReadBitmapHeader(info, infoLength);
    if (header.size == CoreBitmapHeaderSize) {
        uint64_t palette = uint64_t(ReadablePaletteEntries(header)) * CoreEntrySize;
        uint64_t infoBytes = std::max<uint64_t>(CoreBitmapHeaderSize + palette, CommonBitmapHeaderSize);
        return {infoBytes, RowsBytes(header.width, header.height, header.bits), 0, infoBytes};
    }
    uint64_t paletteStart = std::max(header.size, CommonBitmapHeaderSize) + MaskBytes(header.size, header.compression);
    uint64_t palette = uint64_t(ReadablePaletteEntries(header)) * PaletteEntrySize;
    uint64_t claimedPalette = std::max<uint64_t>(palette, uint64_t(header.colorsUsed) * PaletteEntrySize);
    uint64_t rows = HasRows(header.compression) ? RowsBytes(header.width, header.height, header.bits) : 0;
    return {paletteStart + palette, rows, header.imageSize, paletteStart + claimedPalette};
}

void Descramble(uint8_t *block, uint32_t count)
{
    uint32_t wholeWords = count / 4;
    for (uint32_t i = 0; i < wholeWords; ++i) {
        uint32_t word;
        std::memcpy(&word, block + 4 * i, sizeof word);
        word ^= ScrambleWord;
        std::memcpy(block + 4 * i, &word, sizeof word);
    }
    for (uint32_t i = wholeWords * 4; i < count; ++i)
        block[i] ^= ScrambleMask;
}

void EndInflater(Inflater *inflater)
{
    // inflateEnd refuses, harmlessly, a stream that was never started or has
    // already ended.
    inflateEnd(&inflater->stream);
}

int32_t DecodeBlockOn(Inflater *inflater, uint8_t *input, uint8_t *output, uint32_t inputLength,
                      uint32_t outputLength)
{
    Descramble(input, inputLength);
    if (!StartInflater(inflater, input, inputLength))
        return 0;
    inflater->stream.next_out = output;
    inflater->stream.avail_out = outputLength;
    int stepResult = inflate(&inflater->stream, Z_NO_FLUSH);
    int endResult = inflateEnd(&inflater->stream);
    return IsGoodStep(stepResult) && endResult == Z_OK ? 1 : 0;
}

int32_t DecodeBlock(uint8_t *input, uint8_t *output, uint32_t inputLength, uint32_t outputLength)
{
    Inflater inflater{};
    return DecodeBlockOn(&inflater, input, output, inputLength, outputLength);
}

namespace {

constexpr uint32_t CompressionRle8 = 1;
constexpr uint32_t CompressionRle4 = 2;
constexpr uint32_t MostIndexedBits = 31; // 2^bits still fits a colours-used count

// A colours-used count a pixel cannot index: image libraries refuse it, some
// only after taking memory for a palette that large.
bool HasOversizePalette(const BitmapHeader &header)
{
    return header.bits <= MostIndexedBits && header.colorsUsed > (1u << header.bits);
}

// The steps of the run-length walk.
enum RlePhase : uint8_t { RleNext, RleRun, RleEscape, RleDeltaX, RleDeltaY, RleAbsolute, RlePadding };
constexpr uint8_t RleEndOfLine = 0;
constexpr uint8_t RleEndOfBitmap = 1;
constexpr uint8_t RleDelta = 2;

bool IsRunLength(uint32_t compression) { return compression == CompressionRle8 || compression == CompressionRle4; }

// Places count pixels at the walk's position; only those within the row move it.
void PlacePixels(RowCoverage *coverage, uint64_t count)
{
    coverage->x = std::min<uint64_t>(coverage->x + count, std::max<uint64_t>(coverage->x, coverage->header.width));
}

// An absolute piece is padded to a whole 16-bit word: RLE8 holds a pixel a
// byte, RLE4 two.
uint32_t AbsoluteBytes(const RowCoverage *coverage)
{
    uint32_t run = coverage->run;
    return coverage->header.compression == CompressionRle8 ? run : run / 2 + run % 2;
}

void WalkRunLength(RowCoverage *coverage, uint8_t byte)
{
    switch (coverage->phase) {
    case RleNext:
        coverage->run = byte;
        coverage->phase = byte != 0 ? RleRun : RleEscape;
        break;
    case RleRun:
        PlacePixels(coverage, coverage->run);
        coverage->phase = RleNext;
        break;
    case RleEscape:
        coverage->phase = RleNext;
        if (byte == RleEndOfLine) {
            coverage->x = 0;
            ++coverage->y;
        } else if (byte == RleEndOfBitmap) {
            coverage->x = 0;
            coverage->y = coverage->header.height;
        } else if (byte == RleDelta) {
            coverage->phase = RleDeltaX;
        } else {
            coverage->run = byte;
            coverage->count = 0;
            coverage->phase = RleAbsolute;
        }
        break;
    case RleDeltaX:
        coverage->x += byte;
        coverage->phase = RleDeltaY;
        break;
    case RleDeltaY:
        coverage->y += byte;
        coverage->phase = RleNext;
        break;
    case RleAbsolute: {
        uint32_t pixels = coverage->header.compression == CompressionRle8 ? 1 : 2;
        pixels = std::min(pixels, coverage->run - coverage->count);
        PlacePixels(coverage, pixels);
        coverage->count += pixels;
        if (coverage->count == coverage->run)
            coverage->phase = AbsoluteBytes(coverage) % 2 == 1 ? RlePadding : RleNext;
        break;
    }
    default: // RlePadding
        coverage->phase = RleNext;
        break;
    }
}

uint64_t RowStride(const BitmapHeader &header)
{
    return (uint64_t(header.width) * header.bits + RowAlignmentBits - 1) / RowAlignmentBits * RowAlignmentBytes;
}

} // namespace

PictureHead JudgePictureHead(const uint8_t *file, uint32_t length)
{
    PictureHead head{};
    head.verdict = HeadVerdict::NotBmp;
    if (length < BmpFileHeaderSize || !HasBmpFileHeader(file))
        return head;
    head.pixelOffset = BmpPixelDataOffset(file);
    // The fields are read as an image library reads them: from the head,
    // whatever the pixel-data offset says.
    const uint8_t *info = file + BmpFileHeaderSize;
    uint32_t infoLength = length - BmpFileHeaderSize;
    head.header = ReadBitmapHeader(info, infoLength);
    const BitmapHeader &header = head.header;
    if (head.pixelOffset < LeastPixelDataOffset)
        head.verdict = HeadVerdict::PixelsInHeaders;
    else if (header.size > LargestBitmapHeaderSize)
        head.verdict = HeadVerdict::HeaderTooLarge;
    else if (HasOversizePalette(header))
        head.verdict = HeadVerdict::OversizePalette;
    else if (uint64_t(header.width) * header.height > MostPixels)
        head.verdict = HeadVerdict::TooManyPixels;
    else {
        head.mostDecoded = MostDecodedBytes(header.width, header.height, DescribeBitmap(info, infoLength).infoBytes);
        head.verdict = head.pixelOffset > head.mostDecoded ? HeadVerdict::PixelsPastPicture : HeadVerdict::Picture;
    }
    return head;
}

void StartRowCoverage(RowCoverage *coverage, const uint8_t *head, uint32_t headLength)
{
    *coverage = RowCoverage{};
    if (headLength >= BmpFileHeaderSize) {
        PictureHead judged = JudgePictureHead(head, headLength);
        coverage->pixelOffset = judged.pixelOffset;
        coverage->header = judged.header;
    }
    CoverRows(coverage, head, headLength);
}

void CoverRows(RowCoverage *coverage, const uint8_t *bytes, uint32_t count)
{
    uint64_t end = coverage->position + count;
    if (end > coverage->pixelOffset) {
        uint64_t skipped = coverage->position < coverage->pixelOffset ? coverage->pixelOffset - coverage->position : 0;
        coverage->pixelBytes += count - skipped;
        if (IsRunLength(coverage->header.compression))
            for (uint64_t at = skipped; at < count && coverage->y < coverage->header.height; ++at)
                WalkRunLength(coverage, bytes[at]);
    }
    coverage->position = end;
}

uint32_t RowsReached(const RowCoverage *coverage)
{
    const BitmapHeader &header = coverage->header;
    uint64_t rows = header.height;
    if (IsRunLength(header.compression)) {
        rows = coverage->y + (coverage->x > 0 ? 1 : 0);
    } else if (HasRows(header.compression)) {
        uint64_t stride = RowStride(header);
        rows = stride == 0 ? header.height : coverage->pixelBytes / stride;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(rows, header.height));
}

uint64_t CompleteFileLength(const RowCoverage *coverage)
{
    const BitmapHeader &header = coverage->header;
    if (HasRows(header.compression)) {
        uint64_t rows = RowsBytes(header.width, header.height, header.bits);
        uint64_t complete;
        if (rows == UncountableSize || __builtin_add_overflow(rows, coverage->pixelOffset, &complete))
            return UncountableSize;
        return std::max(coverage->position, complete);
    }
    if (IsRunLength(header.compression))
        return std::max<uint64_t>(coverage->position, coverage->pixelOffset) + MostPendingRunBytes +
               2 * uint64_t(header.height);
    return coverage->position;
}
