#include "bench/pictures.h"

#include "codec/container.h"
#include "tools/zqv_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace {

constexpr uint32_t InfoHeaderBytes = 40;
constexpr uint32_t PaletteEntryBytes = 4;
constexpr uint32_t RowAlignment = 4;
constexpr uint32_t RgbBytes = 3; // a 24-bit pixel, and a colour: blue, green, red
constexpr uint64_t LargestBmpFile = UINT32_MAX; // the file-size field is 32 bits

// Photo: two slow triangle waves (periods in pixels, so any size has the same
// local texture) give each channel a gradient of a few dozen values across a
// deflate block, and one bit of noise per channel keeps repeated strings rare:
// together they compress like a photo, about 2.5:1 at level 6.
constexpr uint32_t PhotoWaveHalfPeriod = 256;
constexpr uint32_t PhotoCrossHalfPeriod = 192;
constexpr uint32_t PhotoWaveDivisor = 8;
constexpr uint32_t PhotoBlueBase = 30;
constexpr uint32_t PhotoGreenBase = 70;
constexpr uint32_t PhotoRedBase = 100;

// Graphic: the picture is mapped onto a PosterGrid-square grid whatever its
// size, and cut by circles around one centre and by diagonal stripes into
// regions coloured from a small palette.
constexpr uint32_t PosterGrid = 1024;
constexpr int64_t PosterCentreX = 512;
constexpr int64_t PosterCentreY = 384;
constexpr int64_t PosterRingArea = 20000; // squared grid units per ring
constexpr uint32_t PosterStripeWidth = 256;
constexpr uint32_t PosterColourCount = 6;
constexpr uint8_t PosterColours[PosterColourCount][RgbBytes] = {
    {0x20, 0x30, 0xC0}, {0xF0, 0xF0, 0xF0}, {0x10, 0x80, 0x20},
    {0xC0, 0x60, 0x10}, {0x00, 0xD0, 0xF0}, {0x30, 0x30, 0x30},
};

constexpr uint8_t FlatColour[RgbBytes] = {0x40, 0x80, 0xC0};

struct KindTraits {
    PictureKind kind;
    const char *name;
    uint16_t bitsPerPixel;
    uint32_t paletteEntries;
};

constexpr KindTraits Kinds[] = {
    {PictureKind::Photo, "photo", 24, 0},
    {PictureKind::Graphic, "graphic", 24, 0},
    {PictureKind::Graphic8, "graphic8", 8, PosterColourCount},
    {PictureKind::Flat, "flat", 24, 0},
};

// Kinds lists the kinds in the order of the enumeration.
const KindTraits &TraitsOf(PictureKind kind) { return Kinds[static_cast<size_t>(kind)]; }

// 0 rising to halfPeriod and back down, period 2 * halfPeriod.
uint32_t Triangle(uint32_t t, uint32_t halfPeriod)
{
    uint32_t phase = t % (2 * halfPeriod);
    return phase < halfPeriod ? phase : 2 * halfPeriod - phase;
}

uint32_t ToGrid(uint32_t coordinate, uint32_t extent)
{
    return static_cast<uint32_t>(uint64_t{coordinate} * PosterGrid / extent);
}

uint32_t PosterColourAt(uint32_t gridX, uint32_t gridY)
{
    int64_t dx = int64_t{gridX} - PosterCentreX;
    int64_t dy = int64_t{gridY} - PosterCentreY;
    auto ring = static_cast<uint32_t>((dx * dx + dy * dy) / PosterRingArea);
    uint32_t stripe = (gridX + 2 * gridY) / PosterStripeWidth;
    return (ring + stripe) % PosterColourCount;
}

// xorshift32: advances *state and returns it.
uint32_t NextNoise(uint32_t *state)
{
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    return *state;
}

void PaintPhoto(const PictureLayout &layout, uint32_t y, uint32_t *noiseState, uint8_t *row)
{
    for (uint32_t x = 0; x < layout.width; ++x) {
        uint32_t along = Triangle(x + y / 2, PhotoWaveHalfPeriod) / PhotoWaveDivisor;
        uint32_t across = Triangle(y + x / 3, PhotoCrossHalfPeriod) / PhotoWaveDivisor;
        uint32_t noise = NextNoise(noiseState);
        uint8_t *pixel = row + RgbBytes * x;
        pixel[0] = static_cast<uint8_t>(PhotoBlueBase + along + across + (noise & 1));
        pixel[1] = static_cast<uint8_t>(PhotoGreenBase + along + across / 2 + ((noise >> 1) & 1));
        pixel[2] = static_cast<uint8_t>(PhotoRedBase + along / 2 + across + ((noise >> 2) & 1));
    }
}

void PaintPoster(const PictureLayout &layout, uint32_t y, uint8_t *row)
{
    uint32_t gridY = ToGrid(y, layout.height);
    bool indexed = layout.paletteEntries != 0;
    for (uint32_t x = 0; x < layout.width; ++x) {
        uint32_t colour = PosterColourAt(ToGrid(x, layout.width), gridY);
        if (indexed)
            row[x] = static_cast<uint8_t>(colour);
        else
            std::memcpy(row + RgbBytes * x, PosterColours[colour], RgbBytes);
    }
}

void PaintFlat(const PictureLayout &layout, uint8_t *row)
{
    for (uint32_t x = 0; x < layout.width; ++x)
        std::memcpy(row + RgbBytes * x, FlatColour, RgbBytes);
}

} // namespace

const char *KindName(PictureKind kind) { return TraitsOf(kind).name; }

bool KindFromName(const std::string &name, PictureKind *kind)
{
    const KindTraits *found = std::ranges::find(Kinds, name, &KindTraits::name);
    if (found != std::end(Kinds))
        *kind = found->kind;
    return found != std::end(Kinds);
}

Status LayoutPicture(PictureKind kind, uint64_t targetBytes, PictureLayout *layout)
{
    const KindTraits &traits = TraitsOf(kind);
    PictureLayout planned;
    planned.kind = kind;
    planned.bitsPerPixel = traits.bitsPerPixel;
    planned.paletteEntries = traits.paletteEntries;
    planned.pixelOffset = BmpFileHeaderSize + InfoHeaderBytes + traits.paletteEntries * PaletteEntryBytes;
    uint64_t bytesPerPixel = traits.bitsPerPixel / 8;
    uint64_t pixelBytes = targetBytes > planned.pixelOffset ? targetBytes - planned.pixelOffset : 0;
    // A multiple of 4 pixels wide, so that no row needs padding.
    auto side = static_cast<uint32_t>(std::sqrt(static_cast<double>(pixelBytes / bytesPerPixel)));
    planned.width = std::max(RowAlignment, side / RowAlignment * RowAlignment);
    planned.rowBytes = static_cast<uint32_t>(planned.width * bytesPerPixel);
    planned.height = static_cast<uint32_t>(std::min<uint64_t>(pixelBytes / planned.rowBytes, INT32_MAX));
    planned.fileBytes = planned.pixelOffset + uint64_t{planned.rowBytes} * planned.height;
    if (planned.height == 0)
        return Status::Failure("a " + std::string(traits.name) + " picture needs more than " +
                               std::to_string(targetBytes) + " bytes");
    if (planned.fileBytes > LargestBmpFile)
        return Status::Failure("a BMP file cannot hold " + std::to_string(planned.fileBytes) + " bytes");
    *layout = planned;
    return Status::Success();
}

void WriteBmpHeaders(const PictureLayout &layout, uint8_t *file)
{
    std::memset(file, 0, layout.pixelOffset);
    WriteBmpFileHeader(file, static_cast<uint32_t>(layout.fileBytes), layout.pixelOffset);
    uint8_t *info = file + BmpFileHeaderSize;
    PutLittle(info + 0, InfoHeaderBytes);
    PutLittle(info + 4, layout.width);
    PutLittle(info + 8, layout.height);
    PutLittle(info + 12, uint16_t{1}); // planes
    PutLittle(info + 14, layout.bitsPerPixel);
    PutLittle(info + 20, static_cast<uint32_t>(layout.fileBytes - layout.pixelOffset));
    PutLittle(info + 32, layout.paletteEntries);
    uint8_t *palette = info + InfoHeaderBytes;
    for (uint32_t entry = 0; entry < layout.paletteEntries; ++entry)
        std::memcpy(palette + entry * PaletteEntryBytes, PosterColours[entry], RgbBytes);
}

void RowPainter::Paint(uint32_t y, uint8_t *row)
{
    switch (layout_.kind) {
    case PictureKind::Photo:
        PaintPhoto(layout_, y, &noise_, row);
        break;
    case PictureKind::Graphic:
    case PictureKind::Graphic8:
        PaintPoster(layout_, y, row);
        break;
    case PictureKind::Flat:
        PaintFlat(layout_, row);
        break;
    }
}

void PaintPicture(const PictureLayout &layout, uint8_t *file)
{
    WriteBmpHeaders(layout, file);
    RowPainter painter(layout);
    uint8_t *row = file + layout.pixelOffset;
    for (uint32_t y = 0; y < layout.height; ++y, row += layout.rowBytes)
        painter.Paint(y, row);
}
