// tools/imaging.h -- pictures in the formats people keep them in (PNG, JPEG,
// TIFF, ...), through each platform's own imaging: gdk-pixbuf natively
// (imaging_pixbuf.cpp), the Windows Imaging Component in the Windows builds
// (imaging_wic.cpp). zqv decode writes them from the BMP file the plug-in
// decoded; zqv encode reads them into a BMP file it wraps as a ZQV picture.
// Nothing here reads a ZQV container: the pictures reach the platform's
// imaging as BMP files, from the project's own decoder.
#pragma once

#include "tools/files.h"
#include "tools/status.h"

#include <cstdint>
#include <string>
#include <string_view>

// A format zqv writes. BMP is the picture's own file, byte for byte, and
// needs no imaging; the others are the platform's encoders'.
struct ImageFormat {
    const char *name;          // as --format takes it
    const char *extensions[3]; // the file-name endings it goes by, the first the one a batch gives; null-ended
    bool lossless;             // the pixels come back exactly
};

extern const ImageFormat &BmpFormat;

// The format --format names ("png", "jpeg" or "jpg", ...), in any case;
// null when zqv writes none such.
const ImageFormat *ImageFormatNamed(std::string_view name);

// The format a file name's ending asks for, in any case; null when it asks
// for none zqv writes. hasEnding is set when the name has an ending at all
// (a name without one is written as BMP, as before zqv wrote other formats).
const ImageFormat *ImageFormatOfName(const std::string &name, bool *hasEnding);

// The names --format takes, for messages: "bmp, png, jpeg, tiff".
std::string ImageFormatNames();

// The default JPEG quality, and its range.
constexpr int DefaultQuality = 90;
constexpr int LowestQuality = 1;
constexpr int HighestQuality = 100;

// Encodes the picture of the BMP file bmp in format (any but BMP) with the
// platform's encoder; quality (LowestQuality..HighestQuality) for lossy
// formats. A lossless format keeps every pixel and, where the BMP has alpha,
// its alpha. Fails with the platform's message.
Status EncodeImage(const Bytes &bmp, const ImageFormat &format, int quality, Bytes *image);

// Whether a file of this name is one encode takes from a directory: a BMP
// file or a picture the platform reads, by its ending.
bool IsPictureName(const std::string &name);

// Decodes a picture file the platform reads (PNG, JPEG, TIFF, GIF's first
// frame, ...) into a BMP file: 24 bits a pixel, rows bottom-up, or, when
// keepAlpha is set and the picture has transparency, 32 bits with alpha
// under a v5 header. Fails with the platform's message.
Status DecodeImage(const Bytes &file, bool keepAlpha, Bytes *bmp);

// ---------------------------------------------------------------------------
// What the platforms' code shares: a picture as 8-bit blue, green, red and
// alpha, top row first, and the BMP file made of it.

struct BgraPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    Bytes pixels; // width * height * 4 bytes: blue, green, red, alpha
};

// True when any pixel is not fully opaque.
bool HasTransparency(const BgraPicture &picture);

// The BMP file of the picture: 24 bits, or with withAlpha 32 bits under a v5
// header whose masks say where alpha is.
Bytes BmpOfPicture(const BgraPicture &picture, bool withAlpha);
