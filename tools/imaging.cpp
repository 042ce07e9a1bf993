// The formats zqv writes, and the BMP files the platforms' imaging shares.
#include "tools/imaging.h"

#include "codec/container.h"
#include "tools/zqv_format.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr ImageFormat Formats[] = {
    {"bmp", {".bmp", ".dib", nullptr}, true},
    {"png", {".png", nullptr, nullptr}, true},
    {"jpeg", {".jpg", ".jpeg", ".jpe"}, false},
    {"tiff", {".tif", ".tiff", nullptr}, true},
};

// Other names --format takes for a format.
struct FormatAlias {
    const char *alias;
    const char *name;
};
constexpr FormatAlias Aliases[] = {{"jpg", "jpeg"}, {"tif", "tiff"}};

// Endings of pictures encode takes from directories beyond those zqv writes.
constexpr const char *ReadOnlyEndings[] = {".gif"};

constexpr uint32_t BytesPerPixel = 4;
constexpr uint16_t OpaqueBits = 24;
constexpr uint16_t AlphaBits = 32;
constexpr uint32_t CompressionNone = 0;
constexpr uint32_t CompressionBitFields = 3;
constexpr uint32_t V5HeaderSize = 124;
constexpr uint32_t PixelsPerMetre = 2835; // 72 dots an inch
constexpr uint32_t SrgbColourSpace = 0x73524742; // 'sRGB'
constexpr uint32_t PerceptualIntent = 4;        // LCS_GM_IMAGES

std::string Lowered(std::string_view text)
{
    std::string lowered(text);
    std::ranges::transform(lowered, lowered.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

// The name's ending from its last dot, lower-cased; empty when it has none
// (a dot that starts the name, or one in a directory, is no ending).
std::string EndingOf(const std::string &name)
{
    size_t dot = name.rfind('.');
    size_t separator = name.find_last_of("/\\");
    if (dot == std::string::npos || dot == 0 || (separator != std::string::npos && dot <= separator + 1))
        return "";
    return Lowered(std::string_view(name).substr(dot));
}

bool HasEnding(const ImageFormat &format, const std::string &ending)
{
    for (const char *known : format.extensions)
        if (known != nullptr && ending == known)
            return true;
    return false;
}

// Rows of whole 32-bit words.
uint32_t RowStride(uint32_t width, uint16_t bits) { return (width * bits + 31) / 32 * 4; }

} // namespace

const ImageFormat &BmpFormat = Formats[0];

const ImageFormat *ImageFormatNamed(std::string_view name)
{
    std::string lowered = Lowered(name);
    for (const FormatAlias &alias : Aliases)
        if (lowered == alias.alias)
            lowered = alias.name;
    const ImageFormat *found = std::ranges::find(Formats, lowered, &ImageFormat::name);
    return found == std::end(Formats) ? nullptr : found;
}

const ImageFormat *ImageFormatOfName(const std::string &name, bool *hasEnding)
{
    std::string ending = EndingOf(name);
    *hasEnding = !ending.empty();
    for (const ImageFormat &format : Formats)
        if (HasEnding(format, ending))
            return &format;
    return nullptr;
}

std::string ImageFormatNames()
{
    std::string names;
    for (const ImageFormat &format : Formats)
        names += (names.empty() ? "" : ", ") + std::string(format.name);
    return names;
}

bool IsPictureName(const std::string &name)
{
    std::string ending = EndingOf(name);
    bool hasEnding = false;
    return ImageFormatOfName(name, &hasEnding) != nullptr || std::ranges::find(ReadOnlyEndings, ending) != std::end(ReadOnlyEndings);
}

bool HasTransparency(const BgraPicture &picture)
{
    for (size_t at = 3; at < picture.pixels.size(); at += BytesPerPixel)
        if (picture.pixels[at] != 0xFF)
            return true;
    return false;
}

Bytes BmpOfPicture(const BgraPicture &picture, bool withAlpha)
{
    uint16_t bits = withAlpha ? AlphaBits : OpaqueBits;
    uint32_t headerSize = withAlpha ? V5HeaderSize : CommonBitmapHeaderSize;
    uint32_t stride = RowStride(picture.width, bits);
    uint32_t pixelOffset = BmpFileHeaderSize + headerSize;
    Bytes file(pixelOffset + uint64_t(stride) * picture.height, 0);
    WriteBmpFileHeader(file.data(), static_cast<uint32_t>(file.size()), pixelOffset);
    uint8_t *info = file.data() + BmpFileHeaderSize;
    PutLittle<uint32_t>(info, headerSize);
    PutLittle<uint32_t>(info + 4, picture.width);
    PutLittle<uint32_t>(info + 8, picture.height); // positive: bottom-up
    PutLittle<uint16_t>(info + 12, 1);
    PutLittle<uint16_t>(info + 14, bits);
    PutLittle<uint32_t>(info + 16, withAlpha ? CompressionBitFields : CompressionNone);
    PutLittle<uint32_t>(info + 20, static_cast<uint32_t>(file.size() - pixelOffset));
    PutLittle<uint32_t>(info + 24, PixelsPerMetre);
    PutLittle<uint32_t>(info + 28, PixelsPerMetre);
    if (withAlpha) {
        PutLittle<uint32_t>(info + 40, 0x00FF0000); // red
        PutLittle<uint32_t>(info + 44, 0x0000FF00); // green
        PutLittle<uint32_t>(info + 48, 0x000000FF); // blue
        PutLittle<uint32_t>(info + 52, 0xFF000000); // alpha
        PutLittle<uint32_t>(info + 56, SrgbColourSpace);
        PutLittle<uint32_t>(info + 108, PerceptualIntent);
    }
    uint32_t bytesPerPixel = bits / 8;
    for (uint32_t row = 0; row < picture.height; ++row) {
        const uint8_t *from = picture.pixels.data() + uint64_t(row) * picture.width * BytesPerPixel;
        uint8_t *to = file.data() + pixelOffset + uint64_t(picture.height - 1 - row) * stride;
        for (uint32_t column = 0; column < picture.width; ++column)
            std::copy(from + column * BytesPerPixel, from + column * BytesPerPixel + bytesPerPixel,
                      to + column * bytesPerPixel);
    }
    return file;
}
