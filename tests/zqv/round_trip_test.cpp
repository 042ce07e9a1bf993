// Round trips through the zqv program: encode a BMP file, decode the result
// (from a file and from standard input), and get the same file back.
#include "tests/zqv/cli_support.h"
#include "tools/imaging.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {

struct FixtureKind {
    const char *file;
    const char *description;
};

// One of each kind of BMP file the plug-in must pass through unchanged, made
// by real image tools (tests/make-bmp-fixtures).
const FixtureKind FixtureKinds[] = {
    {"bilevel-1bpp.bmp", "1 bit per pixel, two-colour palette"},
    {"palette-4bpp.bmp", "4 bits per pixel, 16-colour palette"},
    {"palette-8bpp.bmp", "8 bits per pixel, 256-entry palette"},
    {"rle-8bpp.bmp", "8 bits per pixel, RLE8 compressed"},
    {"rgb565-16bpp.bmp", "16 bits per pixel, RGB565 bit fields"},
    {"truecolor-24bpp.bmp", "24 bits per pixel"},
    {"truecolor-32bpp.bmp", "32 bits per pixel with alpha"},
    {"top-down-24bpp.bmp", "top-down rows (negative height)"},
    {"v5-header-24bpp.bmp", "BITMAPV5HEADER information"},
    {"netpbm-24bpp.bmp", "netpbm's OS/2 header"},
    {"netpbm-windows-24bpp.bmp", "netpbm's Windows header"},
    {"large-24bpp.bmp", "a 50 MB scan: many chunks, progress"},
};

Bytes FixtureBytes(const std::string &file)
{
    std::string directory = FixtureDirectory();
    if (directory.empty())
        return {};
    return ReadWholeFile((std::filesystem::path(directory) / file).string());
}

// Encodes bmp into the scratch directory and returns the container's path.
std::string EncodeOrFail(const ScratchDirectory &scratch, const std::string &bmpPath, const std::string &extra = "")
{
    std::string containerPath = scratch.File("picture.zqv");
    std::vector<std::string> arguments{"encode", bmpPath, containerPath};
    if (!extra.empty())
        arguments.insert(arguments.end(), {"--level", extra});
    RunResult encoded = RunZqv(arguments);
    EXPECT_EQ(encoded.exitStatus, 0) << "encode " << bmpPath << ": " << encoded.Describe();
    EXPECT_EQ(encoded.standardError, "") << "encode should be silent when stderr is not a terminal";
    return containerPath;
}

// Names the case in test listings by what it is, not by its bytes.
void PrintTo(const FixtureKind &kind, std::ostream *out) { *out << kind.description; }

class FixtureRoundTrip : public ::testing::TestWithParam<FixtureKind> {};

TEST_P(FixtureRoundTrip, EncodeThenDecodeGivesTheFileBack)
{
    const FixtureKind &kind = GetParam();
    ASSERT_FALSE(FixtureDirectory().empty()) << "ZQV_FIXTURES is not set; the tests need the bmp fixture";
    Bytes original = FixtureBytes(kind.file);
    ASSERT_GT(original.size(), 14u) << kind.file << " (" << kind.description << ") is missing from "
                                     << FixtureDirectory();
    ScratchDirectory scratch;
    std::string bmpPath = scratch.Put("original.bmp", original);
    std::string containerPath = EncodeOrFail(scratch, bmpPath);
    Bytes container = ReadWholeFile(containerPath);
    EXPECT_EQ(UnwrapIndependently(container, original.size()), original)
        << kind.description << ": the container is not the file compressed with zlib and masked";

    std::string decodedPath = scratch.File("decoded.bmp");
    RunResult decoded = RunZqv({"decode", containerPath, decodedPath});
    ASSERT_EQ(decoded.exitStatus, 0) << kind.description << ": " << decoded.Describe();
    EXPECT_EQ(decoded.standardError, "");
    Bytes expected = WithRealSizeField(original);
    EXPECT_TRUE(ReadWholeFile(decodedPath) == expected)
        << kind.description << ": the decoded file differs from the one encoded";

    RunResult streamed = RunZqv({"decode", "-", "-"}, container);
    ASSERT_EQ(streamed.exitStatus, 0) << kind.description << " from standard input: " << streamed.Describe();
    EXPECT_TRUE(streamed.standardOutput == expected)
        << kind.description << ": decoding standard input to standard output gave " << streamed.standardOutput.size()
        << " bytes, expected " << expected.size();
}

INSTANTIATE_TEST_SUITE_P(Kinds, FixtureRoundTrip, ::testing::ValuesIn(FixtureKinds),
                         [](const auto &info) {
                             std::string name = info.param.file;
                             name = name.substr(0, name.find('.'));
                             for (char &character : name)
                                 if (!std::isalnum(static_cast<unsigned char>(character)))
                                     character = '_';
                             return name;
                         });

// The pictures of other formats zqv writes, each starting as its format
// does, and (lossless) holding exactly the BMP's pixels, alpha too.
struct WrittenFormat {
    const char *ending;
    Bytes start;      // the format's signature
    Bytes otherStart; // another it may have (TIFF's byte orders), or empty
    bool lossless;
    // Whether the platform reads the format's alpha back exactly, which the
    // test needs to compare: gdk-pixbuf's TIFF reader multiplies colours by
    // alpha and divides them again, though its writer keeps them whole.
    bool alphaReadExactly;
};
#ifdef _WIN32
constexpr bool TiffAlphaReadExactly = true;
#else
constexpr bool TiffAlphaReadExactly = false;
#endif
const WrittenFormat WrittenFormats[] = {
    {".png", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, {}, true, true},
    {".tif", {'I', 'I', 42, 0}, {'M', 'M', 0, 42}, true, TiffAlphaReadExactly},
    {".jpg", {0xFF, 0xD8, 0xFF}, {}, false, false},
};

bool StartsWith(const Bytes &bytes, const Bytes &start)
{
    return !start.empty() && bytes.size() >= start.size() && std::equal(start.begin(), start.end(), bytes.begin());
}

// The picture a file holds, as the platform's imaging reads it (alpha kept),
// as a BMP file: two files of one picture give the same bytes.
Bytes PixelsOf(const Bytes &file)
{
    Bytes bmp;
    Status read = DecodeImage(file, true, &bmp);
    EXPECT_TRUE(read.Ok()) << read.Message();
    return bmp;
}

uint32_t WidthOf(const Bytes &bmp) { return bmp.size() > 26 ? GetLittle32(bmp, 18) : 0; }
uint32_t HeightOf(const Bytes &bmp) { return bmp.size() > 26 ? GetLittle32(bmp, 22) : 0; }

class FormatRoundTrip : public ::testing::TestWithParam<FixtureKind> {};

TEST_P(FormatRoundTrip, DecodesToEachFormatAndAPngComesBackTheSame)
{
    const FixtureKind &kind = GetParam();
    Bytes original = FixtureBytes(kind.file);
    ASSERT_GT(original.size(), 14u) << kind.file << " is missing; is ZQV_FIXTURES set?";
    ScratchDirectory scratch;
    std::string containerPath = EncodeOrFail(scratch, scratch.Put("original.bmp", original));
    Bytes expected = PixelsOf(original);
    for (const WrittenFormat &format : WrittenFormats) {
        std::string path = scratch.File(std::string("picture") + format.ending);
        RunResult decoded = RunZqv({"decode", containerPath, path});
        ASSERT_EQ(decoded.exitStatus, 0) << kind.description << " as " << format.ending << ": " << decoded.Describe();
        Bytes written = ReadWholeFile(path);
        EXPECT_TRUE(StartsWith(written, format.start) || StartsWith(written, format.otherStart))
            << kind.description << ": " << path << " does not start as its format does";
        Bytes pixels = PixelsOf(written);
        bool hasAlpha = expected.size() > 30 && expected[28] == 32;
        if (format.lossless && (format.alphaReadExactly || !hasAlpha)) {
            EXPECT_TRUE(pixels == expected) << kind.description << ": " << format.ending << " has other pixels";
        } else {
            EXPECT_EQ(WidthOf(pixels), WidthOf(expected)) << kind.description << ": " << format.ending;
            EXPECT_EQ(HeightOf(pixels), HeightOf(expected)) << kind.description << ": " << format.ending;
        }
    }
    // PNG -> ZQV -> PNG: the same picture, its alpha kept where --alpha asks.
    std::string again = scratch.File("again.zqv");
    RunResult encoded = RunZqv({"encode", "--alpha", scratch.File("picture.png"), again});
    ASSERT_EQ(encoded.exitStatus, 0) << kind.description << ": " << encoded.Describe();
    RunResult decoded = RunZqv({"decode", again, scratch.File("again.png")});
    ASSERT_EQ(decoded.exitStatus, 0) << kind.description << ": " << decoded.Describe();
    EXPECT_TRUE(PixelsOf(ReadWholeFile(scratch.File("again.png"))) == expected)
        << kind.description << ": PNG to ZQV to PNG changed the picture";
}

const FixtureKind FormatKinds[] = {
    {"bilevel-1bpp.bmp", "1 bit per pixel"},
    {"palette-8bpp.bmp", "8 bits per pixel, a palette"},
    {"truecolor-24bpp.bmp", "24 bits per pixel"},
    {"truecolor-32bpp.bmp", "32 bits per pixel with alpha"},
};
INSTANTIATE_TEST_SUITE_P(Kinds, FormatRoundTrip, ::testing::ValuesIn(FormatKinds));

// Without --alpha a transparent picture becomes an opaque 24-bit one; with
// it, a 32-bit one that keeps its alpha.
TEST(RoundTrip, AlphaIsKeptOnlyWhereAskedFor)
{
    Bytes original = FixtureBytes("truecolor-32bpp.bmp");
    ASSERT_GT(original.size(), 14u) << "is ZQV_FIXTURES set?";
    ScratchDirectory scratch;
    std::string png = scratch.File("alpha.png");
    ASSERT_EQ(RunZqv({"decode", EncodeOrFail(scratch, scratch.Put("original.bmp", original)), png}).exitStatus, 0);
    struct Case {
        const char *description;
        std::vector<std::string> options;
        uint16_t bits;
    };
    const Case cases[] = {{"without --alpha", {}, 24}, {"with --alpha", {"--alpha"}, 32}};
    for (const Case &c : cases) {
        std::vector<std::string> arguments{"encode", png, "-"};
        arguments.insert(arguments.begin() + 1, c.options.begin(), c.options.end());
        RunResult encoded = RunZqv(arguments);
        ASSERT_EQ(encoded.exitStatus, 0) << c.description << ": " << encoded.Describe();
        Bytes bmp = InflateAsFarAsItGoes(encoded.standardOutput);
        ASSERT_GT(bmp.size(), 30u) << c.description;
        EXPECT_EQ(bmp[28] | bmp[29] << 8, c.bits) << c.description << ": bits per pixel of the BMP inside";
    }
}

TEST(RoundTrip, CompressionLevelIsHonoured)
{
    ScratchDirectory scratch;
    Bytes bmp = MakeBmp(300, 200, 24, 5);
    std::string bmpPath = scratch.Put("in.bmp", bmp);
    size_t storedSize = ReadWholeFile(EncodeOrFail(scratch, bmpPath, "0")).size();
    size_t smallestSize = ReadWholeFile(EncodeOrFail(scratch, bmpPath, "9")).size();
    EXPECT_GT(storedSize, bmp.size()) << "level 0 should store the file uncompressed, a little larger";
    EXPECT_LT(smallestSize * 4, bmp.size()) << "level 9 should shrink a patterned picture to under a quarter";
}

TEST(RoundTrip, EncodeToStandardOutputFromStandardInput)
{
    Bytes bmp = MakeBmp(17, 9, 8, 2);
    RunResult encoded = RunZqv({"encode", "-", "-"}, bmp);
    ASSERT_EQ(encoded.exitStatus, 0) << encoded.Describe();
    EXPECT_EQ(UnwrapIndependently(encoded.standardOutput, bmp.size()), bmp)
        << "standard output should hold the masked zlib stream of standard input";
}

TEST(RoundTrip, WrongFileSizeFieldIsReplacedByTheRealSize)
{
    struct Case {
        const char *description;
        uint32_t sizeField;
    };
    for (const Case &testCase : {Case{"zero", 0u}, Case{"too small", 100u}, Case{"too large", 0x7fffffffu}}) {
        ScratchDirectory scratch;
        Bytes bmp = MakeBmp(20, 10, 24, 3);
        PutLittle32(bmp, 2, testCase.sizeField);
        std::string containerPath = scratch.Put("in.zqv", WrapZqv(bmp));
        RunResult decoded = RunZqv({"decode", containerPath, scratch.File("out.bmp")});
        ASSERT_EQ(decoded.exitStatus, 0) << testCase.description << ": " << decoded.Describe();
        EXPECT_TRUE(ReadWholeFile(scratch.File("out.bmp")) == WithRealSizeField(bmp))
            << "file-size field " << testCase.description << ": the output should be the BMP with its real size";
    }
}

// A container stored inside a larger file, found by --offset, from the file
// (the plug-in seeks) and from standard input (zqv skips).
TEST(RoundTrip, OffsetFindsAContainerInsideALargerFile)
{
    constexpr size_t Offset = 777;
    Bytes bmp = MakeBmp(40, 30, 4, 9);
    Bytes archive(Offset, 0x5a);
    Bytes container = WrapZqv(bmp);
    archive.insert(archive.end(), container.begin(), container.end());
    archive.insert(archive.end(), 50, 0x33); // what follows the stream is ignored
    ScratchDirectory scratch;
    std::string archivePath = scratch.Put("archive.bin", archive);

    RunResult fromFile = RunZqv({"decode", "--offset", std::to_string(Offset), archivePath, scratch.File("a.bmp")});
    ASSERT_EQ(fromFile.exitStatus, 0) << fromFile.Describe();
    EXPECT_TRUE(ReadWholeFile(scratch.File("a.bmp")) == bmp) << "--offset on a file decoded something else";

    RunResult fromInput = RunZqv({"decode", std::string("--offset=").append(std::to_string(Offset)), "-", "-"}, archive);
    ASSERT_EQ(fromInput.exitStatus, 0) << fromInput.Describe();
    EXPECT_TRUE(fromInput.standardOutput == bmp) << "--offset on standard input decoded something else";

    RunResult withoutOffset = RunZqv({"decode", archivePath, scratch.File("b.bmp")});
    EXPECT_NE(withoutOffset.exitStatus, 0) << "without --offset the junk in front should not decode: "
                                           << withoutOffset.Describe();
}

// An offset past 2 GiB: where the plug-in takes 64-bit offsets (the native
// and 64-bit builds) the picture 3 GB into a sparse file decodes; the 32-bit
// plug-in cannot be given it, and zqv says so rather than pass another.
TEST(RoundTrip, OffsetsPast2GiBAsFarAsTheBuildTakes)
{
    constexpr uint64_t Offset = 3'000'000'000;
    Bytes bmp = MakeBmp(24, 16, 24, 5);
    Bytes container = WrapZqv(bmp);
    ScratchDirectory scratch;
    std::string archivePath = scratch.Put("archive.bin", {});
    ASSERT_TRUE(ExtendFile(archivePath, Offset));
    std::FILE *archive = std::fopen(archivePath.c_str(), "ab");
    ASSERT_NE(archive, nullptr);
    ASSERT_EQ(std::fwrite(container.data(), 1, container.size(), archive), container.size());
    std::fclose(archive);

    RunResult result = RunZqv({"decode", "--offset", std::to_string(Offset), archivePath, scratch.File("a.bmp")});
    if (sizeof(intptr_t) < sizeof(uint64_t)) {
        EXPECT_EQ(result.exitStatus, 2) << result.Describe();
        EXPECT_NE(result.standardError.find("the 32-bit plug-in takes no larger offset"), std::string::npos)
            << result.Describe();
        return;
    }
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_TRUE(ReadWholeFile(scratch.File("a.bmp")) == bmp) << "--offset past 2 GiB decoded something else";
}

// The plug-in delivers a cut-off container as far as it goes; zqv writes
// that part with a header that matches it.
TEST(RoundTrip, TruncatedContainerGivesTheDecodedPartThenBlack)
{
    Bytes bmp = MakeNoisyBmp(64, 64, 4);
    Bytes container = WrapZqv(bmp, 0);
    container.resize(container.size() / 2);
    size_t decodedPart = InflateAsFarAsItGoes(container).size();
    ASSERT_GT(decodedPart, 1000u) << "about half the picture should come out";
    ScratchDirectory scratch;
    std::string containerPath = scratch.Put("cut.zqv", container);
    RunResult decoded = RunZqv({"decode", containerPath, scratch.File("part.bmp")});
    ASSERT_EQ(decoded.exitStatus, 0) << decoded.Describe();
    Bytes expected = bmp;
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(decodedPart), expected.end(), 0);
    EXPECT_TRUE(ReadWholeFile(scratch.File("part.bmp")) == expected)
        << "the output should be the whole picture's size: the start of it, then black";
}

} // namespace
