#include "tools/zqv/bmp.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr uint32_t FileSizeField = 2;

void PutLittle32(uint8_t *at, uint32_t value)
{
    for (int byte = 0; byte < 4; ++byte)
        at[byte] = static_cast<uint8_t>(value >> (8 * byte));
}

// Why bytes are not a BMP file, or null if they are.
const char *BmpProblem(const Bytes &bytes)
{
    if (bytes.size() < BmpHeaderBytes)
        return "too short for a BMP file header";
    if (bytes[0] != 'B' || bytes[1] != 'M')
        return "it does not start with 'BM'";
    // The rest of the test the plug-in makes: the reserved words.
    if (!HasBmpFileHeader(bytes.data()))
        return "the header's reserved words are not zero";
    uint32_t pixelOffset = BmpPixelDataOffset(bytes.data());
    if (pixelOffset < BmpHeaderBytes || pixelOffset > bytes.size())
        return "the pixel-data offset points outside the file";
    return nullptr;
}

} // namespace

Outcome CheckBmpFile(const Bytes &bytes, const std::string &subject)
{
    const char *problem = BmpProblem(bytes);
    if (problem == nullptr)
        return Success();
    return Failure(ExitNotBmp, subject + ": not a BMP file (" + problem + ")");
}

Bytes RebuildBmp(const Bytes &info, const Bytes &pixels)
{
    size_t pixelOffset = BmpHeaderBytes + info.size();
    size_t pixelBytes = pixels.size() > pixelOffset ? pixels.size() - pixelOffset : 0;
    Bytes file(pixelOffset + pixelBytes, 0);
    file[0] = 'B';
    file[1] = 'M';
    PutLittle32(&file[FileSizeField], static_cast<uint32_t>(file.size()));
    PutLittle32(&file[BmpPixelOffsetField], static_cast<uint32_t>(pixelOffset));
    std::copy(info.begin(), info.end(), file.begin() + BmpHeaderBytes);
    std::copy(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(pixelBytes),
              file.begin() + static_cast<std::ptrdiff_t>(pixelOffset));
    return file;
}
