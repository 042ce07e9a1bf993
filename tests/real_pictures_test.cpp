// End to end: BMP files made by real image tools (tests/make-bmp-fixtures),
// wrapped as ZQV, decoded by the plug-in from a file, from a file after other
// data, and from memory, and compared byte for byte with the source.
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace {

constexpr size_t BytesBeforeContainer = 512;
constexpr size_t LargePicture = 50u * 1000 * 1000;

struct BmpKind {
    uint16_t bitsPerPixel;
    uint32_t compression;
    uint32_t headerSize;
    bool topDown;
};

BmpKind KindOf(const Bytes &bmp)
{
    int32_t height = static_cast<int32_t>(GetLittle32(bmp, 22));
    return {static_cast<uint16_t>(bmp[28] | bmp[29] << 8), GetLittle32(bmp, 30), GetLittle32(bmp, 14), height < 0};
}

void ExpectDelivered(const Bytes &bmp, Decoded &decoded, const std::string &description)
{
    ASSERT_EQ(ResultOk, decoded.result) << description;
    // Compared in place: the large picture's copies would double the memory.
    Bytes info = BlockBytes(decoded.info);
    EXPECT_TRUE(info == ExpectedInfo(bmp)) << description << ": bitmap information differs";
    Bytes bits = BlockBytes(decoded.bits);
    EXPECT_TRUE(bits == ExpectedBits(bmp)) << description << ": pixel block differs";
}

TEST(RealPictures, EveryKindDecodesByteForByteFromEverySource)
{
    std::vector<std::filesystem::path> pictures = FixturePictures();
    ASSERT_FALSE(pictures.empty()) << "no BMP fixtures: is ZQV_FIXTURES set?";

    std::set<uint16_t> depths;
    bool sawRle8 = false, sawTopDown = false, sawV5 = false, sawLarge = false, sawPadding = false;
    for (const auto &path : pictures) {
        std::string name = path.filename().string();
        Bytes bmp = ReadWholeFile(path.string());
        ASSERT_GE(bmp.size(), 54u) << name;
        BmpKind kind = KindOf(bmp);
        depths.insert(kind.bitsPerPixel);
        sawRle8 |= kind.bitsPerPixel == 8 && kind.compression == 1;
        sawTopDown |= kind.topDown;
        sawV5 |= kind.headerSize == 124;
        sawLarge |= bmp.size() >= LargePicture;
        uint32_t width = GetLittle32(bmp, 18);
        sawPadding |= kind.compression == 0 && (width * kind.bitsPerPixel) % 32 != 0;

        Bytes container = WrapZqv(bmp);
        {
            TempFile atStart(container);
            Decoded decoded;
            DecodeFile(&decoded, atStart.Path(), 0);
            ExpectDelivered(bmp, decoded, name + " from a file");
        }
        {
            Bytes stored = container;
            stored.insert(stored.begin(), BytesBeforeContainer, 0x42);
            TempFile afterOtherData(stored);
            Decoded decoded;
            DecodeFile(&decoded, afterOtherData.Path(), BytesBeforeContainer);
            ExpectDelivered(bmp, decoded, name + " from a file after 512 other bytes");
        }
        {
            Decoded decoded;
            DecodeMemory(&decoded, container);
            ExpectDelivered(bmp, decoded, name + " from memory");
        }
        Bytes head(container.begin(), container.begin() + std::min<size_t>(container.size(), 2048));
        head.resize(2048, 0);
        EXPECT_EQ(1, Plugin().IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(head.data())))
            << name << " is not recognised";
    }
    EXPECT_EQ((std::set<uint16_t>{1, 4, 8, 16, 24, 32}), depths) << "bit depths covered";
    EXPECT_TRUE(sawRle8) << "no RLE8 picture among the fixtures";
    EXPECT_TRUE(sawTopDown) << "no top-down picture among the fixtures";
    EXPECT_TRUE(sawV5) << "no V5 header among the fixtures";
    EXPECT_TRUE(sawPadding) << "no picture with padded rows among the fixtures";
    EXPECT_TRUE(sawLarge) << "no picture of 50 MB or more among the fixtures";
}

// A picture cut short anywhere after its bitmap information is delivered
// with a pixel block that covers the bitmap its header describes: what was
// decoded, then zeros (a viewer shows black there). DecodeMemory reads the
// blocks as a viewer does.
TEST(RealPictures, CutShortPicturesCoverTheirBitmapsWithBlack)
{
    const char *directory = std::getenv("ZQV_FIXTURES");
    ASSERT_NE(nullptr, directory) << "is ZQV_FIXTURES set?";
    constexpr size_t Cuts = 5;
    for (const char *name : {"truecolor-24bpp.bmp", "palette-8bpp.bmp", "rle-8bpp.bmp"}) {
        Bytes bmp = ReadWholeFile(HostPath(std::string(directory) + "/" + name));
        ASSERT_GE(bmp.size(), 54u) << name;
        uint32_t pixelOffset = GetLittle32(bmp, 10);
        Bytes container = WrapZqv(bmp);
        size_t delivered = 0;
        for (size_t cut = 1; cut <= Cuts; ++cut) {
            // From the end back to half way: the start is mostly information.
            Bytes truncated(container.begin(), container.end() - container.size() * cut / (2 * (Cuts + 1)));
            std::string what = std::string(name) + " cut at " + std::to_string(truncated.size()) + " of " +
                               std::to_string(container.size());
            Bytes decodedPart = InflateAsFarAsItGoes(truncated);
            Decoded decoded;
            DecodeMemory(&decoded, truncated);
            if (decodedPart.size() < pixelOffset) {
                EXPECT_EQ(ResultBadFormat, decoded.result) << what << ": the information is not all there";
                continue;
            }
            ASSERT_EQ(ResultOk, decoded.result) << what;
            EXPECT_TRUE(BlockBytes(decoded.info) == ExpectedInfo(bmp)) << what;
            Bytes bits = BlockBytes(decoded.bits);
            Bytes expected(decodedPart.begin() + pixelOffset, decodedPart.end());
            expected.resize(bits.size(), 0);
            EXPECT_TRUE(bits == expected) << what << ": not the decoded pixels followed by zeros";
            EXPECT_GE(bits.size(), bmp.size()) << what << ": shorter than the complete picture's block";
            delivered++;
        }
        EXPECT_GE(delivered, Cuts - 2) << name << ": too few cuts fall after the bitmap information";
    }
}

} // namespace
