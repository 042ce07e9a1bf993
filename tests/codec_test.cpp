// Descramble and DecodeBlock, the primitives every decoding path uses.
#include "codec/container.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(Descramble, MatchesByteByByteXorAtEveryAlignmentAndLength)
{
    Bytes original(64);
    for (size_t i = 0; i < original.size(); ++i)
        original[i] = static_cast<uint8_t>(i * 37 + 11);
    for (uint32_t offset = 0; offset < 4; ++offset) {
        for (uint32_t count = 0; count <= 13; ++count) {
            Bytes block = original;
            Descramble(block.data() + offset, count);
            for (size_t i = 0; i < block.size(); ++i) {
                bool inside = i >= offset && i < offset + count;
                uint8_t expected = inside ? original[i] ^ 0xD4 : original[i];
                ASSERT_EQ(expected, block[i]) << "byte " << i << " after descrambling " << count
                                              << " bytes at offset " << offset;
            }
        }
    }
}

TEST(Descramble, TwiceRestoresTheBlock)
{
    Bytes original = MakeBmp(9, 5, 24);
    Bytes block = original;
    Descramble(block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_NE(original, block);
    Descramble(block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_EQ(original, block);
}

constexpr uint32_t HeadBytes = 2048;
constexpr uint32_t HeadOutputBytes = 1024;

TEST(DecodeBlock, HeadOfALargePictureFillsTheWholeOutputArea)
{
    Bytes bmp = MakeNoisyBmp(200, 100);
    Bytes zqv = WrapZqv(bmp);
    ASSERT_GT(zqv.size(), HeadBytes);
    Bytes head(zqv.begin(), zqv.begin() + HeadBytes);
    Bytes output(HeadOutputBytes + 16, 0xEE);
    EXPECT_EQ(1, DecodeBlock(head.data(), output.data(), HeadBytes, HeadOutputBytes));
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + HeadOutputBytes, bmp.begin()))
        << "the output area should hold the start of the BMP file";
    EXPECT_EQ(Bytes(16, 0xEE), Bytes(output.begin() + HeadOutputBytes, output.end()))
        << "nothing may be written past outputLength";
    EXPECT_EQ(Bytes(zqv.begin(), zqv.begin() + HeadBytes), Masked(head)) << "the input is descrambled in place";
}

TEST(DecodeBlock, CompleteSmallContainerSucceeds)
{
    Bytes bmp = MakeBmp(2, 2, 24);
    Bytes zqv = WrapZqv(bmp);
    Bytes output(HeadOutputBytes, 0);
    EXPECT_EQ(1, DecodeBlock(zqv.data(), output.data(), static_cast<uint32_t>(zqv.size()), HeadOutputBytes));
    EXPECT_TRUE(std::equal(bmp.begin(), bmp.end(), output.begin()));
}

TEST(DecodeBlock, FailsOnDataThatIsNotAZlibStream)
{
    struct Case {
        const char *description;
        Bytes input;
    };
    Bytes bmp = MakeBmp(40, 40, 8);
    Case cases[] = {
        {"an unscrambled zlib stream", Masked(WrapZqv(bmp))},
        {"a plain BMP file", bmp},
        {"zeros", Bytes(HeadBytes, 0)},
        {"a gzip header", Masked(Bytes{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3})},
        {"a zlib header with a bad check value", Masked(Bytes{0x78, 0x9d, 0, 0})},
    };
    for (Case &c : cases) {
        Bytes output(HeadOutputBytes, 0);
        EXPECT_EQ(0, DecodeBlock(c.input.data(), output.data(), static_cast<uint32_t>(c.input.size()),
                                 HeadOutputBytes))
            << c.description;
    }
}

TEST(DecodeBlock, FailsWhenTheStreamTurnsCorruptWithinWhatItDecodes)
{
    Bytes bmp = MakeBmp(8, 8, 24);
    Bytes zqv = Masked(ZlibHeadThenInvalidBlock(bmp, 100));
    Bytes output(HeadOutputBytes, 0);
    EXPECT_EQ(0, DecodeBlock(zqv.data(), output.data(), static_cast<uint32_t>(zqv.size()), HeadOutputBytes));
    EXPECT_TRUE(std::equal(bmp.begin(), bmp.begin() + 100, output.begin()))
        << "the bytes before the damage were decoded, and still the block fails";
}

TEST(BmpFileHeader, NeedsTheTypeAndZeroReservedWords)
{
    Bytes header = MakeBmp(1, 1, 24);
    EXPECT_TRUE(HasBmpFileHeader(header.data()));
    EXPECT_EQ(54u, BmpPixelDataOffset(header.data()));
    for (size_t at : {0, 1, 6, 7, 8, 9}) {
        Bytes damaged = header;
        damaged[at] ^= 0x01;
        EXPECT_FALSE(HasBmpFileHeader(damaged.data())) << "byte " << at << " changed";
    }
    Bytes sizeChanged = header;
    PutLittle32(sizeChanged, 2, 0xFFFFFFFF);
    EXPECT_TRUE(HasBmpFileHeader(sizeChanged.data())) << "the file size field is not examined";
}

} // namespace
