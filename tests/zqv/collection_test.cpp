// zqv over collections of pictures: info, check, and decode and encode with
// -o DIR, over a folder tree holding good pictures of several kinds and every
// kind of bad one.
#include "tests/zqv/cli_support.h"
#include "tools/imaging.h"
#include "tools/picture_facts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace fs = std::filesystem;

namespace {

constexpr int SomeFailed = 8;
constexpr int NotZqv = 10;
constexpr size_t TrailingCount = 7;
constexpr size_t BmpFileSizeAt = 2;

// A name with spaces and letters beyond ASCII, in a subdirectory.
const std::string OddName = (fs::path("sub") / "\xC3\xA9t\xC3\xA9 \xC3\xA0 la plage").string();

Bytes FixtureBmp(const std::string &file)
{
    return ReadWholeFile((fs::path(FixtureDirectory()) / file).string());
}

Bytes CutShort(Bytes container)
{
    container.resize(container.size() / 2);
    return container;
}

Bytes WithTrailingBytes(Bytes container)
{
    container.insert(container.end(), TrailingCount, 'x');
    return container;
}

// Damaged past the 2,048-byte head the plug-in recognises a picture by.
Bytes Damaged() { return Masked(ZlibHeadThenInvalidBlock(MakeBmp(60, 40, 24), 4000)); }

// A 24-bit picture under the 12-byte core header, its rows left zero.
Bytes CoreBmp(uint16_t width, uint16_t height)
{
    constexpr uint32_t PixelOffset = 14 + 12;
    uint32_t rowBytes = (width * 3u + 3) / 4 * 4;
    Bytes bmp(PixelOffset + rowBytes * height, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    PutLittle32(bmp, BmpFileSizeAt, static_cast<uint32_t>(bmp.size()));
    PutLittle32(bmp, 10, PixelOffset);
    PutLittle32(bmp, 14, 12);
    PutLittle16(bmp, 18, width);
    PutLittle16(bmp, 20, height);
    PutLittle16(bmp, 22, 1);
    PutLittle16(bmp, 24, 24);
    return bmp;
}

// One file of the tree: where it goes below the root, what it holds, and the
// BMP file it decodes to when it is a good picture.
struct TreeFile {
    std::string relative;
    Bytes contents;
    Bytes bmp;
};

struct PictureTree {
    ScratchDirectory scratch;
    std::string root = scratch.File("pictures");
    std::vector<TreeFile> good;
    Bytes cutShort = CutShort(WrapZqv(MakeNoisyBmp(64, 64, 3)));

    PictureTree()
    {
        Bytes rle = FixtureBmp("rle-8bpp.bmp");
        good = {{"true colour.zqv", WrapZqv(MakeBmp(20, 10, 24)), MakeBmp(20, 10, 24)},
                {"grey-8.zqv", WrapZqv(MakeBmp(9, 7, 8)), MakeBmp(9, 7, 8)},
                {(fs::path("sub") / "rle-8.zqv").string(), WrapZqv(rle), rle},
                {OddName + ".zqv", WrapZqv(MakeBmp(12, -9, 24)), MakeBmp(12, -9, 24)}};
        for (const TreeFile &file : good)
            Put(file.relative, file.contents);
        Put("cut.zqv", cutShort);
        Put("damaged.zqv", Damaged());
        Put("trailing.zqv", WithTrailingBytes(WrapZqv(MakeBmp(6, 6, 24))));
        Put("notes.zqv", Bytes{'n', 'o', 't', 'e', 's', '\n'});
        Put("ignored.txt", WrapZqv(MakeBmp(4, 4, 24))); // not .zqv: -r passes it by
    }

    std::string Path(const std::string &relative) const { return (fs::path(root) / relative).string(); }

    void Put(const std::string &relative, const Bytes &contents) const
    {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        ASSERT_TRUE(WriteWholeFile(Path(relative), contents).Ok()) << relative;
    }
};

// Lines as zqv orders them: by the path they start with.
std::string SortedLines(std::vector<std::string> lines)
{
    std::ranges::sort(lines);
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

TEST(Check, ReportsEveryUnsoundPictureAndSumsUp)
{
    ASSERT_FALSE(FixtureDirectory().empty()) << "ZQV_FIXTURES is not set";
    PictureTree tree;
    RunResult result = RunZqv({"check", "-r", tree.root});
    uint32_t claimed = GetLittle32(MakeNoisyBmp(64, 64, 3), BmpFileSizeAt);
    std::string expected =
        SortedLines({tree.Path("cut.zqv") + ": cut short (decoded " +
                         std::to_string(InflateAsFarAsItGoes(tree.cutShort).size()) + " of the " +
                         std::to_string(claimed) + " bytes its header claims)",
                     tree.Path("damaged.zqv") + ": damaged (damaged data)",
                     tree.Path("notes.zqv") + ": not a ZQV picture",
                     tree.Path("trailing.zqv") + ": 7 bytes after the end of the stream"}) +
        "8 checked: 4 sound, 1 damaged, 1 cut short, 0 ending early, 1 trailing bytes, 1 not ZQV, 0 unreadable\n";
    EXPECT_EQ(result.OutputText(), expected) << result.Describe();
    EXPECT_EQ(result.exitStatus, SomeFailed) << result.Describe();

    std::vector<std::string> soundFiles{"check"};
    for (const TreeFile &file : tree.good)
        soundFiles.push_back(tree.Path(file.relative));
    RunResult sound = RunZqv(soundFiles);
    EXPECT_EQ(sound.OutputText(), "4 checked: 4 sound, 0 damaged, 0 cut short, 0 ending early, 0 trailing bytes, 0 not ZQV, 0 unreadable\n");
    EXPECT_EQ(sound.exitStatus, 0) << sound.Describe();

    RunResult withoutR = RunZqv({"check", tree.root});
    EXPECT_EQ(withoutR.OutputText(), tree.root + ": is a directory (-r takes in the pictures below it)\n" +
                                         "1 checked: 0 sound, 0 damaged, 0 cut short, 0 ending early, 0 trailing bytes, 0 not ZQV, 1 unreadable\n");
    EXPECT_EQ(withoutR.exitStatus, SomeFailed);
}

struct InfoCase {
    const char *description;
    Bytes bmp;
    const char *facts; // what follows "NAME: " up to the sizes
};

TEST(InfoOfPictures, OneLinePerPictureWithItsFacts)
{
    ASSERT_FALSE(FixtureDirectory().empty()) << "ZQV_FIXTURES is not set";
    const InfoCase cases[] = {
        {"24-bit", MakeBmp(20, 10, 24), "20 x 10, 24 bits per pixel, compression none, info header (40 bytes), "
                                        "bottom-up, 0 palette entries"},
        {"8-bit, a palette", MakeBmp(9, 7, 8), "9 x 7, 8 bits per pixel, compression none, info header (40 bytes), "
                                               "bottom-up, 256 palette entries"},
        {"top-down", MakeBmp(12, -9, 4), "12 x 9, 4 bits per pixel, compression none, info header (40 bytes), "
                                         "top-down, 16 palette entries"},
        {"RLE8", FixtureBmp("rle-8bpp.bmp"), "37 x 23, 8 bits per pixel, compression RLE8, info header (40 bytes), "
                                             "bottom-up, 256 palette entries"},
        {"bit fields", FixtureBmp("rgb565-16bpp.bmp"), "compression bit fields"},
        {"a core header", CoreBmp(5, 3), "5 x 3, 24 bits per pixel, compression none, core header (12 bytes), "
                                         "bottom-up, 0 palette entries"},
        {"a v5 header", FixtureBmp("v5-header-24bpp.bmp"), "compression none, v5 header (124 bytes)"},
    };
    ScratchDirectory scratch;
    for (const InfoCase &testCase : cases) {
        Bytes container = WrapZqv(testCase.bmp);
        std::string path = scratch.Put(OddName.substr(4) + ".zqv", container);
        RunResult result = RunZqv({"info", path});
        std::string line = result.OutputText();
        uint32_t declared = GetLittle32(testCase.bmp, BmpFileSizeAt);
        std::string sizes = std::to_string(declared) + " bytes by its header, " + std::to_string(container.size()) +
                            " bytes in the container (";
        EXPECT_EQ(line.rfind(path + ": ", 0), 0u) << testCase.description << ": " << line;
        EXPECT_NE(line.find(testCase.facts), std::string::npos) << testCase.description << ": " << line;
        EXPECT_NE(line.find(sizes), std::string::npos) << testCase.description << ": " << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << testCase.description << ": " << line;
        EXPECT_EQ(result.exitStatus, 0) << testCase.description << ": " << result.Describe();
    }
}

TEST(InfoOfPictures, CheckSaysHowEachStreamEndsInJson)
{
    PictureTree tree;
    RunResult result = RunZqv({"info", "--check", "--json", tree.Path("true colour.zqv"), tree.Path("cut.zqv"),
                               tree.Path("trailing.zqv"), tree.Path("notes.zqv")});
    std::string output = result.OutputText();
    size_t cut = output.find("\"end\": \"cut short\", \"decoded_bytes\": " +
                             std::to_string(InflateAsFarAsItGoes(tree.cutShort).size()));
    EXPECT_NE(output.find("\"width\": 20, \"height\": 10, \"bits_per_pixel\": 24"), std::string::npos) << output;
    EXPECT_NE(output.find("\"end\": \"complete\""), std::string::npos) << output;
    EXPECT_NE(cut, std::string::npos) << output;
    EXPECT_NE(output.find("\"end\": \"trailing bytes\", \"decoded_bytes\": " +
                          std::to_string(MakeBmp(6, 6, 24).size()) + ", \"trailing_bytes\": 7, \"rows_reached\": 6}"),
              std::string::npos)
        << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3) << "one object per picture: " << output;
    EXPECT_NE(result.standardError.find("notes.zqv: not a ZQV picture"), std::string::npos) << result.Describe();
    EXPECT_EQ(result.exitStatus, NotZqv) << result.Describe();
}

// The pictures every reader judges alike, as zqv check judges them (a line
// for each unsound one), and info --check: what the stream decoded to and
// how many rows it reaches, rather than what the header claims.
TEST(Check, ThePicturesEveryReaderJudgesAlike)
{
    ScratchDirectory scratch;
    std::vector<ReaderCase> cases = ReaderCases();
    for (const ReaderCase &c : cases)
        scratch.Put(c.name, c.container);
    RunResult result = RunZqv({"check", "-r", scratch.Path()});
    std::string output = result.OutputText();
    for (const ReaderCase &c : cases) {
        std::string start = scratch.File(c.name) + ": ";
        size_t line = output.find(start);
        if (*c.checkLine == '\0')
            EXPECT_EQ(line, std::string::npos) << c.description << ": sound, yet " << output;
        else
            EXPECT_EQ(output.find(start + c.checkLine), line)
                << c.description << ": expected a line starting \"" << c.checkLine << "\" in " << output;
    }
    EXPECT_NE(output.find(std::to_string(cases.size()) + " checked: 2 sound, 4 damaged, 1 cut short, 2 ending early"),
              std::string::npos)
        << output;
    EXPECT_EQ(result.exitStatus, SomeFailed) << result.Describe();

    RunResult info = RunZqv({"info", "--check", scratch.File("two-of-four-rows.zqv")});
    EXPECT_NE(info.OutputText().find(", 86 bytes decoded, "), std::string::npos) << info.Describe();
    EXPECT_NE(info.OutputText().find(", complete, its pixel data ends early (2 of the 4 rows"), std::string::npos)
        << info.Describe();
}

TEST(InfoOfPictures, WithoutAFilePointsToPlugin)
{
    RunResult result = RunZqv({"info"});
    EXPECT_NE(result.OutputText().find("interface:   00IN\n"), std::string::npos) << result.Describe();
    EXPECT_NE(result.OutputText().find("zqv plugin"), std::string::npos) << result.Describe();
    EXPECT_EQ(result.exitStatus, 0);
}

// The facts of a 100 MB picture come from its head: a container of noise,
// stored, as large as the picture, of which a few KB are read.
TEST(InfoOfPictures, ReadsOnlyTheHeadOfALargeContainer)
{
    constexpr int32_t Side = 5800; // 5800 x 5800 x 3 bytes: over 100 MB
    constexpr uint64_t HundredMegabytes = 100'000'000;
    TempFile file(WrapZqv(MakeNoisyBmp(Side, Side), 0));
    PictureFacts facts;
    ASSERT_TRUE(ReadPictureFacts(file.Path(), &facts).Ok());
    EXPECT_EQ(facts.width, uint32_t(Side));
    EXPECT_GT(facts.containerBytes, HundredMegabytes);
    EXPECT_LE(facts.bytesRead, PictureHeadBytes) << "of " << facts.containerBytes;
}

// What a batch leaves in its output directory: every name below it.
std::vector<std::string> NamesBelow(const std::string &directory)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::recursive_directory_iterator(directory))
        if (entry.is_regular_file())
            names.push_back(entry.path().lexically_relative(directory).string());
    std::ranges::sort(names);
    return names;
}

TEST(Batch, DecodeKeepsTheTreeReportsFailuresAndSkipsExistingOutputs)
{
    ASSERT_FALSE(FixtureDirectory().empty()) << "ZQV_FIXTURES is not set";
    PictureTree tree;
    std::string out = tree.scratch.File("bitmaps");
    RunResult first = RunZqv({"decode", "-r", "-o", out, tree.root});
    std::vector<std::string> converted;
    for (const char *relative : {"cut", "trailing"})
        converted.push_back(tree.Path(std::string(relative) + ".zqv") + " -> " +
                            (fs::path(out) / (std::string(relative) + ".bmp")).string());
    for (const TreeFile &file : tree.good)
        converted.push_back(tree.Path(file.relative) + " -> " +
                            (fs::path(out) / fs::path(file.relative).replace_extension(".bmp")).string());
    EXPECT_EQ(first.OutputText(), SortedLines(converted) + "6 converted, 0 skipped, 2 failed\n") << first.Describe();
    EXPECT_NE(first.standardError.find("zqv: " + tree.Path("damaged.zqv") + ": damaged data"), std::string::npos)
        << first.Describe();
    EXPECT_NE(first.standardError.find("zqv: " + tree.Path("notes.zqv") + ": "), std::string::npos)
        << first.Describe();
    EXPECT_EQ(first.exitStatus, SomeFailed);
    for (const TreeFile &file : tree.good)
        EXPECT_TRUE(ReadWholeFile((fs::path(out) / fs::path(file.relative).replace_extension(".bmp")).string()) ==
                    WithRealSizeField(file.bmp))
            << file.relative;
    std::vector<std::string> made = NamesBelow(out);
    EXPECT_EQ(made.size(), 6u) << "one file per picture decoded, no temporary left";

    RunResult again = RunZqv({"decode", "-r", "-o", out, tree.root});
    EXPECT_NE(again.OutputText().find("0 converted, 6 skipped, 2 failed\n"), std::string::npos) << again.Describe();
    EXPECT_NE(again.standardError.find("skipped: "), std::string::npos) << again.Describe();
    RunResult forced = RunZqv({"decode", "-r", "--force", "-o", out, tree.root});
    EXPECT_NE(forced.OutputText().find("6 converted, 0 skipped, 2 failed\n"), std::string::npos) << forced.Describe();
    EXPECT_EQ(NamesBelow(out), made);
}

TEST(Batch, EncodeTakesFilesAndDirectories)
{
    ScratchDirectory scratch;
    Bytes flat = MakeBmp(10, 10, 24);
    Bytes odd = MakeBmp(7, 5, 8);
    std::string scans = scratch.File("scans");
    fs::create_directories(fs::path(scans) / "sub");
    ASSERT_TRUE(WriteWholeFile((fs::path(scans) / (OddName + ".bmp")).string(), odd).Ok());
    ASSERT_TRUE(WriteWholeFile((fs::path(scans) / "text.bmp").string(), Bytes{'h', 'i'}).Ok());
    // Pictures of other formats are taken too; two that make one output
    // (photo.zqv) are refused, each naming the other.
    for (const char *name : {"photo.png", "photo.jpg"}) {
        bool hasEnding = false;
        Bytes picture;
        ASSERT_TRUE(EncodeImage(flat, *ImageFormatOfName(name, &hasEnding), DefaultQuality, &picture).Ok()) << name;
        ASSERT_TRUE(WriteWholeFile((fs::path(scans) / name).string(), picture).Ok());
    }
    std::string single = scratch.Put("single.bmp", flat);
    std::string out = scratch.File("out");
    RunResult result = RunZqv({"encode", "-o", out, single, "-r", scans});
    EXPECT_EQ(result.exitStatus, SomeFailed) << result.Describe();
    EXPECT_NE(result.OutputText().find("2 converted, 0 skipped, 3 failed\n"), std::string::npos) << result.Describe();
    EXPECT_NE(result.standardError.find("text.bmp: not a picture zqv reads ("), std::string::npos) << result.Describe();
    EXPECT_NE(result.standardError.find("photo.png: not converted: " + NameOfPath(fs::path(out) / "photo.zqv") +
                                        " is also the output of " + NameOfPath(fs::path(scans) / "photo.jpg")),
              std::string::npos)
        << result.Describe();
    Bytes oddContainer = ReadWholeFile((fs::path(out) / (OddName + ".zqv")).string());
    EXPECT_EQ(UnwrapIndependently(oddContainer, odd.size()), odd);
    EXPECT_EQ(UnwrapIndependently(ReadWholeFile((fs::path(out) / "single.zqv").string()), flat.size()), flat);
}

// decode -o DIR --format writes the format asked for, each picture below
// DIR under its own name with the format's ending.
TEST(Batch, DecodeWritesTheFormatAskedFor)
{
    ScratchDirectory scratch;
    std::string tree = scratch.File("tree");
    fs::create_directories(fs::path(tree) / "sub");
    ASSERT_TRUE(WriteWholeFile((fs::path(tree) / "a.zqv").string(), WrapZqv(MakeBmp(9, 7, 24))).Ok());
    ASSERT_TRUE(WriteWholeFile((fs::path(tree) / "sub" / "b.zqv").string(), WrapZqv(MakeBmp(5, 3, 8))).Ok());
    std::string out = scratch.File("out");
    RunResult result = RunZqv({"decode", "-r", "-o", out, "--format", "png", tree});
    EXPECT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_NE(result.OutputText().find("2 converted, 0 skipped, 0 failed\n"), std::string::npos) << result.Describe();
    const Bytes pngStart = {0x89, 'P', 'N', 'G'};
    for (fs::path made : {fs::path(out) / "a.png", fs::path(out) / "sub" / "b.png"}) {
        Bytes written = ReadWholeFile(NameOfPath(made));
        EXPECT_TRUE(written.size() > pngStart.size() && std::equal(pngStart.begin(), pngStart.end(), written.begin()))
            << NameOfPath(made) << " is no PNG file";
    }
}

// Inputs that would write one output file are refused before anything is
// written, each failure naming the other inputs, and the rest converted:
// nothing this run writes is overwritten, nor ever taken for an existing
// file to skip.
TEST(Batch, OneOutputForManyInputsIsRefusedNamingThemAll)
{
    ScratchDirectory scratch;
    std::string out = scratch.File("out");
    auto put = [&](const std::string &relative, const Bytes &contents) {
        fs::create_directories(fs::path(scratch.File(relative)).parent_path());
        return scratch.Put(relative, contents);
    };
    std::string xp = put("x/p.zqv", WrapZqv(MakeBmp(10, 6, 24, 1)));
    std::string yp = put("y/p.zqv", WrapZqv(MakeBmp(10, 6, 24, 2)));
    std::string upper = put("y/P.zqv", WrapZqv(MakeBmp(10, 6, 24, 3)));
    Bytes lone = MakeBmp(6, 6, 8);
    std::string z = put("z.zqv", WrapZqv(lone));
    std::string outP = (fs::path(out) / "p.bmp").string();
    auto refusal = [](const std::string &input, const std::string &why) {
        return "zqv: " + input + ": not converted: " + why + "\n";
    };
    struct Case {
        const char *description;
        std::vector<std::string> arguments;
        std::string expectedOutput;
        std::string expectedErrors; // in input order
        size_t filesMade;           // below out
    };
#ifdef _WIN32
    // The file system takes P.bmp and p.bmp for one file.
    const Case caseless = {"names that differ only in case", {"decode", "-o", out, xp, upper},
                           "0 converted, 0 skipped, 2 failed\n",
                           refusal(xp, outP + " is also the output of " + upper) +
                               refusal(upper, (fs::path(out) / "P.bmp").string() + " is also the output of " + xp),
                           0};
#else
    const Case caseless = {"names that differ only in case, two files here", {"decode", "-o", out, xp, upper},
                           xp + " -> " + outP + "\n" + upper + " -> " + (fs::path(out) / "P.bmp").string() +
                               "\n2 converted, 0 skipped, 0 failed\n",
                           "", 2};
#endif
    const Case cases[] = {
        {"two folders' p.zqv, with --force",
         {"decode", "--force", "-o", out, xp, z, yp},
         z + " -> " + (fs::path(out) / "z.bmp").string() + "\n1 converted, 0 skipped, 2 failed\n",
         refusal(xp, outP + " is also the output of " + yp) + refusal(yp, outP + " is also the output of " + xp), 1},
        {"one file named twice, and a third name for it",
         {"decode", "-o", out, xp, xp, (fs::path(scratch.Path()) / "x" / ".." / "x" / "p.zqv").string()},
         "0 converted, 0 skipped, 3 failed\n",
         refusal(xp, outP + " is also the output of " + xp + " and " +
                         (fs::path(scratch.Path()) / "x" / ".." / "x" / "p.zqv").string()) +
             refusal(xp, outP + " is also the output of " + xp + " and " +
                             (fs::path(scratch.Path()) / "x" / ".." / "x" / "p.zqv").string()) +
             refusal((fs::path(scratch.Path()) / "x" / ".." / "x" / "p.zqv").string(),
                     outP + " is also the output of " + xp + " and " + xp),
         0},
        {"an output that would overwrite its input",
         {"encode", "-o", scratch.File("x"), xp},
         "0 converted, 0 skipped, 1 failed\n",
         refusal(xp, "its output would overwrite the input " + xp), 0},
        caseless,
    };
    for (const Case &c : cases) {
        std::error_code ignored;
        fs::remove_all(out, ignored);
        Bytes inputBefore = ReadWholeFile(xp);
        RunResult result = RunZqv(c.arguments);
        EXPECT_EQ(result.OutputText(), c.expectedOutput) << c.description << ": " << result.Describe();
        EXPECT_EQ(result.standardError, c.expectedErrors) << c.description;
        EXPECT_EQ(result.exitStatus, c.expectedErrors.empty() ? 0 : SomeFailed) << c.description;
        EXPECT_TRUE(ReadWholeFile(xp) == inputBefore) << c.description << ": an input changed";
        EXPECT_EQ(fs::exists(out) ? NamesBelow(out).size() : 0, c.filesMade) << c.description;
    }
}

// Standard input is a picture in every command that takes one, read once.
TEST(StandardInput, IsAPictureInEveryCommand)
{
    Bytes bmp = MakeBmp(20, 10, 24);
    Bytes container = WrapZqv(bmp);
    ScratchDirectory scratch;
    std::string out = scratch.File("out");
    struct Case {
        const char *description;
        std::vector<std::string> arguments;
        Bytes standardInput;
        std::string expectedOutput;
        const char *madeFile; // below out, or null
        Bytes made;
    };
    const Case cases[] = {
        {"probe", {"probe", "-"}, container, "standard input: ZQV picture\n", nullptr, {}},
        {"check", {"check", "-"}, container,
         "1 checked: 1 sound, 0 damaged, 0 cut short, 0 ending early, 0 trailing bytes, 0 not ZQV, 0 unreadable\n", nullptr, {}},
        {"check, named twice: read once", {"check", "-", "-"}, container,
         "2 checked: 2 sound, 0 damaged, 0 cut short, 0 ending early, 0 trailing bytes, 0 not ZQV, 0 unreadable\n", nullptr, {}},
        {"info --check", {"info", "--check", "-"}, container,
         "standard input: 20 x 10, 24 bits per pixel, compression none, info header (40 bytes), bottom-up, 0 palette "
         "entries, " + std::to_string(bmp.size()) + " bytes decoded, " + std::to_string(container.size()) +
             " bytes in the container (" + [&] {
                 char percent[16];
                 std::snprintf(percent, sizeof percent, "%.1f", 100.0 * container.size() / bmp.size());
                 return std::string(percent);
             }() + "%), complete\n",
         nullptr, {}},
        {"decode -o", {"decode", "-o", out, "-"}, container,
         "standard input -> " + (fs::path(out) / "stdin.bmp").string() + "\n1 converted, 0 skipped, 0 failed\n",
         "stdin.bmp", WithRealSizeField(bmp)},
        {"encode -o", {"encode", "-o", out, "-"}, bmp,
         "standard input -> " + (fs::path(out) / "stdin.zqv").string() + "\n1 converted, 0 skipped, 0 failed\n",
         "stdin.zqv", {}},
    };
    for (const Case &c : cases) {
        RunResult result = RunZqv(c.arguments, c.standardInput);
        EXPECT_EQ(result.OutputText(), c.expectedOutput) << c.description << ": " << result.Describe();
        EXPECT_EQ(result.exitStatus, 0) << c.description << ": " << result.Describe();
        if (c.madeFile == nullptr)
            continue;
        Bytes made = ReadWholeFile((fs::path(out) / c.madeFile).string());
        if (c.made.empty())
            EXPECT_EQ(UnwrapIndependently(made, bmp.size()), bmp) << c.description;
        else
            EXPECT_TRUE(made == c.made) << c.description;
    }
}

// --json output is UTF-8 whatever the names: converted from the ANSI code
// page in the Windows builds; natively a name that is not UTF-8 keeps its
// exact bytes in "file_bytes".
TEST(InfoOfPictures, JsonIsUtf8WhateverTheName)
{
    ScratchDirectory scratch;
    // é as one byte, as in code page 1252. The name is put together here, not
    // by std::filesystem, which would take it for UTF-8.
    const std::string directory = scratch.Path() + static_cast<char>(fs::path::preferred_separator);
    const std::string path = directory + "caf\xE9.zqv";
    ASSERT_TRUE(WriteWholeFile(path, WrapZqv(MakeBmp(4, 4, 24))).Ok());
    RunResult result = RunZqv({"info", "--json", path});
    std::string line = result.OutputText();
#ifdef _WIN32
    ASSERT_EQ(GetACP(), 1252u) << "the name above is in code page 1252";
    std::string expected = "{\"file\": " + [&] {
        std::string escaped;
        for (char character : directory + "caf\xC3\xA9.zqv")
            escaped += character == '\\' ? std::string("\\\\") : std::string(1, character);
        return "\"" + escaped + "\"";
    }() + ", \"width\": 4";
#else
    std::string bytes;
    for (unsigned char byte : path)
        bytes += (bytes.empty() ? "" : ", ") + std::to_string(byte);
    std::string expected = "{\"file\": \"" + directory + "caf\\ufffd.zqv\", \"file_bytes\": [" + bytes +
                           "], \"width\": 4";
#endif
    EXPECT_EQ(line.rfind(expected, 0), 0u) << "expected the line to start " << expected << ", got " << line;
    EXPECT_EQ(line.find('\xE9'), std::string::npos) << "a byte that is no UTF-8 went out as it was: " << line;
    EXPECT_EQ(result.exitStatus, 0) << result.Describe();
}

#ifndef _WIN32
// A folder below that cannot be read is no sound one: check counts it as
// unreadable, a batch as failed, and neither exits 0. Natively only: file
// permissions under wine are the Linux ones, which a Windows program cannot
// be run without the capability to override.
TEST(Collections, AnUnreadableFolderIsReportedNotPassedBy)
{
    PictureTree tree;
    std::string locked = tree.Path("locked");
    tree.Put("locked/hidden.zqv", WrapZqv(MakeBmp(8, 8, 24)));
    fs::permissions(locked, fs::perms::none);
    std::string expectedLine = locked + ": cannot read the directory: Permission denied";

    RunResult check = RunZqvWithoutOverride({"check", "-r", tree.Path("sub"), locked});
    EXPECT_EQ(check.OutputText(), expectedLine + "\n" +
                                      "3 checked: 2 sound, 0 damaged, 0 cut short, 0 ending early, 0 trailing bytes, 0 not ZQV, 1 unreadable\n")
        << check.Describe();
    EXPECT_EQ(check.exitStatus, SomeFailed) << check.Describe();

    std::string out = tree.scratch.File("out");
    RunResult decode = RunZqvWithoutOverride({"decode", "-r", "-o", out, locked});
    EXPECT_EQ(decode.standardError, "zqv: " + expectedLine + "\n") << decode.Describe();
    EXPECT_EQ(decode.OutputText(), "0 converted, 0 skipped, 1 failed\n") << decode.Describe();
    EXPECT_EQ(decode.exitStatus, SomeFailed) << decode.Describe();
    fs::permissions(locked, fs::perms::owner_all);
}

// A name near the file system's limit (255 bytes) is written, alone and in a
// batch: the temporary name beside it is a short one of its own.
TEST(Collections, NamesNearTheLengthLimitAreWritten)
{
    ScratchDirectory scratch;
    std::string stem(250 - 4, 'n');
    std::string input = scratch.Put(stem + ".zqv", WrapZqv(MakeBmp(8, 8, 24)));
    std::string single = scratch.File(stem + ".bmp");
    RunResult alone = RunZqv({"decode", input, single});
    EXPECT_EQ(alone.exitStatus, 0) << alone.Describe();
    EXPECT_TRUE(ReadWholeFile(single) == WithRealSizeField(MakeBmp(8, 8, 24)));
    std::string out = scratch.File("out");
    RunResult batch = RunZqv({"decode", "-o", out, input});
    EXPECT_EQ(batch.exitStatus, 0) << batch.Describe();
    EXPECT_EQ(NamesBelow(out), std::vector<std::string>{stem + ".bmp"});
}
#endif

// How a run shares its pictures out: the jobs asked for and, natively, a
// limit that leaves zqv too few processes (threads count) or open files for
// every worker it would start.
struct Sharing {
    const char *description;
    const char *jobs;
    const char *limit;          // prlimit's option, or null
    int leastNotes, mostNotes;  // how often standard error may say fewer workers run
};

const Sharing Sharings[] = {
    {"-j 1", "1", nullptr, 0, 0}, // what the others must come to
    {"-j 3", "3", nullptr, 0, 0},
#ifndef _WIN32
    {"-j 2, one process allowed: no worker", "2", "--nproc=1", 1, 1},
    {"-j 2, three processes allowed: two workers, but no thread to drive them", "2", "--nproc=3", 1, 1},
    {"-j 3, six open files allowed: channels to two workers at most", "3", "--nofile=6", 1, 1},
#endif
};

// Takes out of text the lines saying fewer workers run, and counts them.
int TakeFewerWorkersNotes(std::string *text)
{
    const std::string note = "zqv: a worker could not be started (";
    int notes = 0;
    for (size_t at; (at = text->find(note)) != std::string::npos; ++notes)
        text->erase(at, text->find('\n', at) + 1 - at);
    return notes;
}

// The pictures shared out over worker processes (-j 3), or over as many of
// them as can be started, give the reports, the exit status and the files
// of one after another (-j 1), in the same order, for every command that
// shares out: over the tree of good and bad pictures, a collision among
// them. A worker that cannot be started costs no picture, and is said once.
TEST(Collections, SharedOutOrNotTheReportsAndFilesAreTheSame)
{
    ASSERT_FALSE(FixtureDirectory().empty()) << "ZQV_FIXTURES is not set";
    PictureTree tree;
    std::string again = tree.Path("true colour.zqv"); // also below the root: a collision
    std::vector<std::string> bitmaps; // beside the tree, where a limited run's user can read them
    for (const char *name : {"rle-8bpp.bmp", "v5-header-24bpp.bmp", "palette-4bpp.bmp"})
        bitmaps.push_back(tree.scratch.Put(name, FixtureBmp(name)));
    struct Case {
        const char *description;
        std::vector<std::string> arguments; // "OUT" stands for the output directory of the run
    };
    const Case cases[] = {
        {"check -r", {"check", "-r", tree.root}},
        {"info --check", {"info", "--check", tree.Path("cut.zqv"), tree.Path("notes.zqv"), again,
                          tree.Path("trailing.zqv")}},
        {"decode -r -o", {"decode", "-r", "-o", "OUT", tree.root, again}},
        {"encode -o", {"encode", "-o", "OUT", bitmaps[0], bitmaps[1], bitmaps[2]}},
    };
    constexpr size_t Runs = std::size(Sharings);
    for (const Case &c : cases) {
        RunResult results[Runs];
        std::string outputs[Runs];
        for (size_t run = 0; run < Runs; ++run) {
            const Sharing &sharing = Sharings[run];
            outputs[run] = tree.scratch.File("out-" + std::string(c.description).substr(0, 5) + std::to_string(run));
            std::vector<std::string> arguments;
            for (const std::string &argument : c.arguments)
                arguments.push_back(argument == "OUT" ? outputs[run] : argument);
            arguments.insert(arguments.end(), {"-j", sharing.jobs});
#ifndef _WIN32
            if (sharing.limit != nullptr) {
                fs::create_directory(outputs[run]);
                GiveToLimitedUser(outputs[run]);
                results[run] = RunZqvLimited(sharing.limit, tree.scratch.Path(), arguments);
                continue;
            }
#endif
            results[run] = RunZqv(arguments);
        }
        ASSERT_FALSE(results[0].OutputText().empty()) << c.description << ": " << results[0].Describe();
        for (size_t run = 1; run < Runs; ++run) {
            const Sharing &sharing = Sharings[run];
            auto sameDirectory = [&](std::string text) {
                for (size_t at; (at = text.find(outputs[run])) != std::string::npos;)
                    text.replace(at, outputs[run].size(), outputs[0]);
                return text;
            };
            std::string errors = results[run].standardError;
            int notes = TakeFewerWorkersNotes(&errors);
            EXPECT_GE(notes, sharing.leastNotes) << c.description << ", " << sharing.description << ": "
                                                 << results[run].Describe();
            EXPECT_LE(notes, sharing.mostNotes) << c.description << ", " << sharing.description << ": "
                                                << results[run].Describe();
            EXPECT_EQ(sameDirectory(results[run].OutputText()), results[0].OutputText())
                << c.description << ", " << sharing.description;
            EXPECT_EQ(sameDirectory(errors), results[0].standardError) << c.description << ", " << sharing.description;
            EXPECT_EQ(results[run].exitStatus, results[0].exitStatus)
                << c.description << ", " << sharing.description << ": " << results[run].Describe();
            if (!fs::exists(outputs[0]))
                continue;
            std::vector<std::string> made = NamesBelow(outputs[0]);
            EXPECT_EQ(NamesBelow(outputs[run]), made) << c.description << ", " << sharing.description;
            EXPECT_GT(made.size(), 2u) << c.description;
            for (const std::string &name : made)
                EXPECT_TRUE(ReadWholeFile((fs::path(outputs[run]) / name).string()) ==
                            ReadWholeFile((fs::path(outputs[0]) / name).string()))
                    << c.description << ", " << sharing.description << ": " << name;
        }
    }
}

#ifndef _WIN32
// The process ids of the children of parent, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        constexpr size_t StatBytes = 512; // past the parent's id
        Bytes stat;
        if (!ReadFileHead((entry.path() / "stat").string(), StatBytes, &stat).Ok())
            continue;
        std::string text(stat.begin(), stat.end());
        size_t afterName = text.rfind(')'); // "pid (name) state ppid ..."
        if (afterName == std::string::npos)
            continue;
        char state = 0;
        int parentId = 0;
        if (std::sscanf(text.c_str() + afterName + 1, " %c %d", &state, &parentId) == 2 && parentId == parent)
            children.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return children;
}

// A worker killed in the middle of a batch costs its picture, said so, and
// nothing else: the other pictures are checked as ever, no line is lost and
// the run ends.
TEST(Collections, AWorkerKilledMidBatchCostsOnlyItsPicture)
{
    constexpr int Pictures = 6;
    ScratchDirectory scratch;
    std::string root = scratch.File("big");
    fs::create_directories(root);
    for (int picture = 0; picture < Pictures; ++picture) // noise: some 5 MB of container each, a while to check
        scratch.Put("big/p" + std::to_string(picture) + ".zqv", WrapZqv(MakeNoisyBmp(1300, 1300, picture + 1), 1));
    std::string output = scratch.File("stdout");
    pid_t zqv = 0;
    std::string program = ZqvPath();
    std::vector<std::string> arguments{program, "check", "-r", "-j", "2", root};
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(posix_spawn(&zqv, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // A worker is killed as soon as it shows: it has its first picture then,
    // or will be sent the next one, and either is lost with it.
    std::vector<pid_t> workers;
    int status = 0;
    while (workers.empty() && waitpid(zqv, &status, WNOHANG) == 0)
        workers = ChildrenOf(zqv);
    ASSERT_FALSE(workers.empty()) << "no worker was started";
    kill(workers[0], SIGKILL);
    ASSERT_EQ(waitpid(zqv, &status, 0), zqv);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), SomeFailed);
    Bytes printed = ReadWholeFile(output);
    std::string text(printed.begin(), printed.end());
    EXPECT_NE(text.find(": not checked: the worker process given it ended without an answer (signal 9)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::to_string(Pictures) + " checked: " + std::to_string(Pictures - 1) +
                        " sound, 0 damaged, 0 cut short, 0 ending early, 0 trailing bytes, 0 not ZQV, 1 unreadable\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
}
#endif

} // namespace
