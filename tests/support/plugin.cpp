#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {
ProgressLog *activeLog = nullptr;
constexpr size_t FileHeaderBytes = 14;
constexpr size_t PixelOffsetField = 10;
} // namespace

const PluginExports &Plugin()
{
    static PluginExports exports = [] {
        PluginExports loaded;
        Status status = LoadPlugin(&loaded);
        if (!status.Ok()) {
            std::fprintf(stderr, "cannot load the plug-in: %s\n", status.Message().c_str());
            std::exit(2);
        }
        return loaded;
    }();
    return exports;
}

ProgressLog::ProgressLog() { activeLog = this; }
ProgressLog::~ProgressLog() { activeLog = nullptr; }

int32_t WINAPI RecordProgress(int32_t numerator, int32_t denominator, intptr_t userData)
{
    ProgressLog *log = activeLog;
    if (log == nullptr)
        return 0;
    log->calls.push_back({numerator, denominator, userData});
    if (log->stopAtCall != 0 && static_cast<int>(log->calls.size()) == log->stopAtCall)
        return 1;
    if (log->stopAtComplete && numerator == 100 && denominator == 100)
        return 1;
    return 0;
}

Decoded::~Decoded()
{
    if (result == 0) {
        ReadLikeAViewer(info, bits, source);
        LocalFree(info);
        LocalFree(bits);
    }
}

void DecodeFile(Decoded *out, const std::string &path, int32_t offset, ProgressCallback progress, intptr_t userData,
                uint32_t flags)
{
    out->source = path;
    out->result = Plugin().GetPicture(path.c_str(), offset, flags, &out->info, &out->bits, progress, userData);
}

void DecodeMemory(Decoded *out, const Bytes &container, ProgressCallback progress, intptr_t userData, uint32_t flags)
{
    out->result = Plugin().GetPicture(reinterpret_cast<const char *>(container.data()),
                                      static_cast<int32_t>(container.size()), flags, &out->info, &out->bits,
                                      progress, userData);
    out->source = "a container in memory";
}

namespace {

uint32_t FieldOf(const Bytes &info, size_t offset, size_t width)
{
    uint32_t value = 0;
    for (size_t i = 0; i < width && offset + i < info.size(); ++i)
        value |= uint32_t(info[offset + i]) << (8 * i);
    return value;
}

uint64_t Magnitude(uint32_t field) { return field & 0x80000000u ? 0x100000000ull - field : field; }

uint64_t Rows(uint64_t width, uint64_t height, uint64_t bits)
{
    uint64_t stride = (width * bits + 31) / 32 * 4;
    return height != 0 && stride > UINT64_MAX / height ? UINT64_MAX : stride * height;
}

// Viewers exist that copy the whole palette a pixel can index, 2^bits
// entries, whatever the colours-used count says; this one reads the widest.
uint64_t Palette(uint32_t colorsUsed, uint32_t bits)
{
    uint64_t used = colorsUsed;
    uint64_t indexable = bits >= 1 && bits <= 8 ? uint64_t(1) << bits : 0;
    return used == 0 && bits == 0 ? 1 : std::max(used, indexable);
}

// Reads size bytes of a block the way a viewer copies them: natively every
// byte, so that AddressSanitizer sees a short block; a huge claim only at its
// two ends, which is where a short block shows.
void CopyOut(HLOCAL block, uint64_t size, const std::string &what)
{
    constexpr uint64_t MostCopied = 64u << 20;
    uint64_t blockSize = LocalSize(block);
    EXPECT_GE(blockSize, size) << what << ": a viewer reads " << size << " bytes, the block has " << blockSize;
#ifdef _WIN32
    if (blockSize < size)
        return; // under wine a read past the block may not fault where it should
#endif
    if (size == 0)
        return;
    auto *start = static_cast<const volatile uint8_t *>(LocalLock(block));
    ASSERT_NE(nullptr, start) << what << ": the block cannot be locked";
    volatile uint8_t copied;
    if (size <= MostCopied) {
        for (uint64_t at = 0; at < size; ++at)
            copied = start[at];
    } else {
        copied = start[0];
        copied = start[size - 1];
    }
    (void)copied;
    LocalUnlock(block);
}

} // namespace

ViewerReads WhatAViewerReads(const Bytes &info)
{
    uint32_t headerSize = FieldOf(info, 0, 4);
    if (headerSize == 12) {
        uint32_t bits = FieldOf(info, 10, 2);
        // Some viewers read the 40-byte header's fields whatever the size.
        return {std::max<uint64_t>(12 + 3 * Palette(0, bits), 40), Rows(FieldOf(info, 4, 2), FieldOf(info, 6, 2), bits)};
    }
    uint32_t bits = FieldOf(info, 14, 2);
    uint32_t compression = FieldOf(info, 16, 4);
    uint64_t masks = headerSize == 40 && compression == 3 ? 12 : headerSize == 40 && compression == 6 ? 16 : 0;
    bool hasRows = compression == 0 || compression == 3 || compression == 6;
    uint64_t rows = hasRows ? Rows(Magnitude(FieldOf(info, 4, 4)), Magnitude(FieldOf(info, 8, 4)), bits) : 0;
    return {std::max<uint64_t>(headerSize, 40) + masks + 4 * Palette(FieldOf(info, 32, 4), bits),
            std::max<uint64_t>(rows, FieldOf(info, 20, 4))};
}

void ReadLikeAViewer(HLOCAL info, HLOCAL bits, const std::string &what)
{
    ViewerReads reads = WhatAViewerReads(BlockBytes(info));
    CopyOut(info, reads.info, what + ", info block");
    CopyOut(bits, reads.bits, what + ", pixel block");
}

Bytes ExpectedInfo(const Bytes &bmp)
{
    uint32_t pixelOffset = GetLittle32(bmp, PixelOffsetField);
    return Bytes(bmp.begin() + FileHeaderBytes, bmp.begin() + pixelOffset);
}

Bytes ExpectedBits(const Bytes &bmp)
{
    uint32_t pixelOffset = GetLittle32(bmp, PixelOffsetField);
    Bytes bits(bmp.begin() + pixelOffset, bmp.end());
    bits.resize(bmp.size(), 0);
    return bits;
}
