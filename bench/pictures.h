// bench/pictures.h -- the BMP files the benchmark decodes, made from scratch,
// each kind a class of pictures that compress differently:
//   photo     24-bit smooth gradients with fine noise (about 2.5:1 at level 6)
//   graphic   24-bit posterized: large regions of a few flat colours, with edges
//   graphic8  the same regions as 8-bit colour indexes with a palette
//   flat      24-bit, one colour
// Rows are painted one by one with integer arithmetic: a 400 MB picture takes
// about a second, and a row needs none of the rest in memory.
#pragma once

#include "tools/status.h"

#include <array>
#include <cstdint>
#include <string>

enum class PictureKind { Photo, Graphic, Graphic8, Flat };

constexpr std::array<PictureKind, 4> AllPictureKinds = {PictureKind::Photo, PictureKind::Graphic,
                                                        PictureKind::Graphic8, PictureKind::Flat};

const char *KindName(PictureKind kind);
// False when name is none of the kinds' names.
bool KindFromName(const std::string &name, PictureKind *kind);

// Where everything is in a picture's BMP file.
struct PictureLayout {
    PictureKind kind = PictureKind::Flat;
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bitsPerPixel = 0;
    uint32_t paletteEntries = 0;
    uint32_t rowBytes = 0;    // a multiple of 4: rows need no padding
    uint32_t pixelOffset = 0; // file header, info header and palette
    uint64_t fileBytes = 0;
};

// A roughly square picture of the kind whose BMP file is as long as it can
// be without exceeding targetBytes. Fails when not even one row fits, or the
// file would not fit the BMP header's 32-bit size field.
Status LayoutPicture(PictureKind kind, uint64_t targetBytes, PictureLayout *layout);

// Writes the BMP file header, the BITMAPINFOHEADER and the palette: the
// first layout.pixelOffset bytes of the file.
void WriteBmpHeaders(const PictureLayout &layout, uint8_t *file);

// Paints the rows of one picture, in any order for the flat and graphic
// kinds; photo noise follows the order of the calls.
class RowPainter {
public:
    explicit RowPainter(const PictureLayout &layout) : layout_(layout) {}
    // Fills layout.rowBytes bytes at row with row y (0 = the bottom row).
    void Paint(uint32_t y, uint8_t *row);

private:
    PictureLayout layout_;
    uint32_t noise_ = 0x2545F491; // xorshift state; any nonzero seed
};

// Writes the whole BMP file, layout.fileBytes bytes, at file.
void PaintPicture(const PictureLayout &layout, uint8_t *file);
