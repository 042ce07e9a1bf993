// tools/zqv/bmp.h -- the BMP file around the plug-in's two blocks.
//
// The plug-in hands a picture over without the BMP file's 14-byte header:
// the bitmap information (file bytes 14 to off-1) and a pixel block as long
// as the whole file (bytes off to the end, then zeros). The header is
// rebuilt from their sizes.
#pragma once

#include "codec/container.h"
#include "tools/zqv/outcome.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

constexpr uint32_t BmpHeaderBytes = BmpFileHeaderSize;

// Fails with ExitNotBmp, naming subject and what is wrong, unless bytes are
// a BMP file as the plug-in accepts one: at least a whole file header, 'BM',
// both reserved words zero, and a pixel-data offset from 14 to the file size.
Outcome CheckBmpFile(const Bytes &bytes, const std::string &subject);

// The BMP file: a header holding the real file size and the pixel-data
// offset 14 + info.size(), the information, then the pixel data, which is
// the first pixels.size() - (14 + info.size()) bytes of pixels (none when
// the block is shorter than that).
Bytes RebuildBmp(const Bytes &info, const Bytes &pixels);
