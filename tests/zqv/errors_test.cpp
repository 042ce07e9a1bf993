// Bad input through the zqv program: every failure has its own exit status
// and a one-line message naming the file, and none leaves a partial file or
// harms an existing destination.
#include "tests/zqv/cli_support.h"
#include "tools/imaging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// What an existing destination holds before each failing conversion.
const Bytes Precious = {'k', 'e', 'e', 'p', ' ', 'm', 'e'};
constexpr const char *Destination = "existing.bmp";
constexpr const char *Input = "input";

// The inputs a case starts from, in its own scratch directory.
struct CaseFiles {
    const ScratchDirectory &scratch;
    std::string Put(const Bytes &contents) const { return scratch.Put(Input, contents); }
    std::string Missing() const { return scratch.File("no-such-file"); }
    std::string Output() const { return scratch.File(Destination); }
};

struct FailureCase {
    const char *description;
    // Builds the inputs and returns the arguments.
    std::function<std::vector<std::string>(const CaseFiles &)> arguments;
    Bytes standardInput;
    int exitStatus;
    const char *messageFragment; // the message must contain this
};

Bytes NotABmp() { return Bytes{'h', 'e', 'l', 'l', 'o', ',', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!', '\n'}; }

Bytes Patched(Bytes bmp, size_t offset, uint32_t value)
{
    PutLittle32(bmp, offset, value);
    return bmp;
}

Bytes Damaged() { return Masked(ZlibHeadThenInvalidBlock(MakeBmp(30, 20, 24), 300)); }

// A PNG file as the platform writes it, cut off early in its pixel data (a
// PNG cut after them, with only its end marker missing, still reads).
Bytes DamagedPng()
{
    constexpr size_t HeadersAndSomeData = 50;
    Bytes png;
    EncodeImage(MakeBmp(40, 30, 24), *ImageFormatNamed("png"), DefaultQuality, &png);
    png.resize(HeadersAndSomeData);
    return png;
}

const FailureCase DecodeFailures[] = {
    {"a container that holds no BMP file",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", s.Put(WrapZqv(NotABmp())), s.Output()}; },
     {}, 10, "not a ZQV picture"},
    {"damaged compressed data",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", s.Put(Damaged()), s.Output()}; }, {}, 11,
     "damaged data"},
    {"a pixel-data offset below 14, which the plug-in reports as out of memory",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"decode", s.Put(WrapZqv(Patched(MakeBmp(8, 8, 24), 10, 10))), s.Output()};
     },
     {}, 12, "out of memory"},
    {"a missing file",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", s.Missing(), s.Output()}; }, {}, 14,
     "cannot open the file"},
    {"a directory as input",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", s.scratch.Path(), s.Output()}; }, {}, 3,
     "is a directory"},
    {"an offset past the end of the file",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"decode", "--offset", "100000", s.Put(WrapZqv(MakeBmp(8, 8, 24))),
                                         s.Output()};
     },
     {}, 10, "not a ZQV picture"},
    {"damaged data on standard input",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", "-", s.Output()}; }, Damaged(), 11,
     "standard input: damaged data"},
    {"empty standard input",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", "-", s.Output()}; }, {}, 10,
     "standard input: not a ZQV picture"},
    {"an output name zqv writes no format for",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"decode", s.Put(WrapZqv(MakeBmp(8, 8, 24))), s.scratch.File("picture.xyz")};
     },
     {}, 2, "zqv writes no pictures of that name"},
    {"--format that the output's name contradicts",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"decode", "--format", "png", s.Put(WrapZqv(MakeBmp(8, 8, 24))),
                                         s.scratch.File("picture.jpg")};
     },
     {}, 2, "the name asks for jpeg, --format for png"},
    {"damaged data asked for as PNG: no partial PNG",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", s.Put(Damaged()), s.scratch.File("picture.png")}; },
     {}, 11, "damaged data"},
    {"an output directory that does not exist",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"decode", s.Put(WrapZqv(MakeBmp(8, 8, 24))), s.scratch.File("nowhere/x")};
     },
     {}, 4, "no such directory"},
    {"a directory as output",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"decode", s.Put(WrapZqv(MakeBmp(8, 8, 24))), s.scratch.Path()};
     },
     {}, 4, "is a directory"},
};

const FailureCase EncodeFailures[] = {
    {"text, not a picture",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.Put(NotABmp()), s.Output()}; }, {}, 5,
     "not a picture zqv reads ("},
    {"a ZQV picture instead of a picture to wrap (whatever codecs the platform has)",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.Put(WrapZqv(MakeBmp(8, 8, 24))), s.Output()}; },
     {}, 5, "it is a ZQV picture already"},
    {"a PNG file cut off in its pixel data, refused with the platform's message",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.Put(DamagedPng()), s.Output()}; }, {}, 5,
     "not a picture zqv reads ("},
    {"a BMP file with a nonzero reserved word",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"encode", s.Put(Patched(MakeBmp(8, 8, 24), 6, 1)), s.Output()};
     },
     {}, 5, "reserved words"},
    {"a pixel-data offset below 14",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"encode", s.Put(Patched(MakeBmp(8, 8, 24), 10, 13)), s.Output()};
     },
     {}, 5, "pixel-data offset"},
    {"a pixel-data offset beyond the file's end",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"encode", s.Put(Patched(MakeBmp(8, 8, 24), 10, 100000)), s.Output()};
     },
     {}, 5, "pixel-data offset"},
    {"a file shorter than a BMP header",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.Put(Bytes{'B', 'M', 0, 0}), s.Output()}; }, {},
     5, "too short"},
    {"empty standard input",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", "-", s.Output()}; }, {}, 5,
     "standard input: not a picture zqv reads"},
    {"a missing file",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.Missing(), s.Output()}; }, {}, 3,
     "cannot open"},
    {"a directory as input",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.scratch.Path(), s.Output()}; }, {}, 3,
     "is a directory"},
};

const FailureCase UsageFailures[] = {
    {"no command", [](const CaseFiles &) { return std::vector<std::string>{}; }, {}, 2, "no command"},
    {"an unknown command", [](const CaseFiles &) { return std::vector<std::string>{"explode"}; }, {}, 2,
     "unknown command 'explode'"},
    {"an unknown option",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", "--fast", s.Put(Bytes{1}), s.Output()}; }, {}, 2,
     "unknown option '--fast'"},
    {"a level above 9",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"encode", "--level", "10", s.Put(MakeBmp(8, 8, 24)), s.Output()};
     },
     {}, 2, "--level needs a number from 0 to 9"},
    {"a level that is not a number",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.Put(MakeBmp(8, 8, 24)), s.Output(), "--level=x"}; },
     {}, 2, "not 'x'"},
    {"a level with no value",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", s.Put(MakeBmp(8, 8, 24)), s.Output(), "--level"}; },
     {}, 2, "--level needs"},
    {"a negative offset",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", "--offset", "-1", s.Put(Bytes{1}), s.Output()}; },
     {}, 2, "--offset needs"},
    {"an offset given to encode",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"encode", "--offset", "5", s.Put(MakeBmp(8, 8, 24)), s.Output()};
     },
     {}, 2, "belongs to decode"},
    {"one file too few", [](const CaseFiles &s) { return std::vector<std::string>{"decode", s.Put(Bytes{1})}; }, {}, 2,
     "too few arguments"},
    {"one file too many",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"encode", s.Put(MakeBmp(8, 8, 24)), s.Output(), "extra"};
     },
     {}, 2, "unexpected argument 'extra'"},
    {"probe with no file", [](const CaseFiles &) { return std::vector<std::string>{"probe"}; }, {}, 2,
     "too few arguments"},
    {"plugin with a file", [](const CaseFiles &) { return std::vector<std::string>{"plugin", "x"}; }, {}, 2,
     "unexpected argument"},
    {"many inputs without -o",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", s.Put(Bytes{1}), s.Output(), "third"}; },
     {}, 2, "-o DIR takes many inputs"},
    {"-r without -o",
     [](const CaseFiles &s) { return std::vector<std::string>{"encode", "-r", s.Put(Bytes{1}), s.Output()}; }, {}, 2,
     "-r needs -o DIR"},
    {"--json given to check",
     [](const CaseFiles &s) { return std::vector<std::string>{"check", "--json", s.Put(Bytes{1})}; }, {}, 2,
     "belongs to info"},
    {"-j without -o",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", "-j", "2", s.Put(Bytes{1}), s.Output()}; },
     {}, 2, "-j needs -o DIR"},
    {"a format zqv does not write",
     [](const CaseFiles &s) {
         return std::vector<std::string>{"decode", "--format", "webm", s.Put(Bytes{1}), s.Output()};
     },
     {}, 2, "--format needs one of bmp, png, jpeg, tiff, not 'webm'"},
    {"a JPEG quality of 0",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", "--quality=0", s.Put(Bytes{1}), s.Output()}; },
     {}, 2, "--quality needs a JPEG quality from 1 to 100"},
    {"--alpha given to decode",
     [](const CaseFiles &s) { return std::vector<std::string>{"decode", "--alpha", s.Put(Bytes{1}), s.Output()}; },
     {}, 2, "belongs to encode"},
    {"no jobs at all",
     [](const CaseFiles &s) { return std::vector<std::string>{"check", "-j0", s.Put(Bytes{1})}; }, {}, 2,
     "-j needs a count of pictures at once, from 1 to 256, not '0'"},
};

// Names the case in test listings by what it is, not by its bytes.
void PrintTo(const FailureCase &testCase, std::ostream *out) { *out << testCase.description; }

class FailingRun : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailingRun, SaysWhyInOneLineAndLeavesTheDestinationAlone)
{
    const FailureCase &testCase = GetParam();
    ScratchDirectory scratch;
    CaseFiles files{scratch};
    scratch.Put(Destination, Precious);
    std::vector<std::string> arguments = testCase.arguments(files);
    std::vector<std::string> entriesBefore = scratch.Entries();

    RunResult result = RunZqv(arguments, testCase.standardInput);

    EXPECT_EQ(result.exitStatus, testCase.exitStatus) << testCase.description << ": " << result.Describe();
    EXPECT_EQ(result.standardError.rfind("zqv: ", 0), 0u)
        << testCase.description << ": the message should start with \"zqv: \", got \"" << result.standardError << "\"";
    EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
        << testCase.description << ": expected one line, got \"" << result.standardError << "\"";
    EXPECT_NE(result.standardError.find(testCase.messageFragment), std::string::npos)
        << testCase.description << ": expected the message to say \"" << testCase.messageFragment << "\", got \""
        << result.standardError << "\"";
    EXPECT_TRUE(result.standardOutput.empty()) << testCase.description << ": nothing belongs on standard output";
    EXPECT_EQ(ReadWholeFile(files.Output()), Precious) << testCase.description << ": the existing destination changed";
    EXPECT_EQ(scratch.Entries(), entriesBefore) << testCase.description << ": files were left behind or removed";
}

std::string CaseName(const ::testing::TestParamInfo<FailureCase> &info)
{
    std::string name;
    for (const char *character = info.param.description; *character != '\0'; ++character)
        if (std::isalnum(static_cast<unsigned char>(*character)))
            name.push_back(*character);
    return name;
}

INSTANTIATE_TEST_SUITE_P(Decode, FailingRun, ::testing::ValuesIn(DecodeFailures), CaseName);
INSTANTIATE_TEST_SUITE_P(Encode, FailingRun, ::testing::ValuesIn(EncodeFailures), CaseName);
INSTANTIATE_TEST_SUITE_P(Usage, FailingRun, ::testing::ValuesIn(UsageFailures), CaseName);

// A message names the input it is about, so a batch job's log says which.
TEST(FailingRun, MessageNamesTheFile)
{
    ScratchDirectory scratch;
    std::string damagedPath = scratch.Put("holiday-photo.zqv", Damaged());
    RunResult result = RunZqv({"decode", damagedPath, scratch.File("out.bmp")});
    EXPECT_NE(result.standardError.find(damagedPath), std::string::npos)
        << "expected the message to name " << damagedPath << ", got \"" << result.standardError << "\"";
}

// A report that does not all reach standard output (a full disk, a closed
// stream) fails the command, whatever else it came to: a script must not
// take a cut report for a whole one.
TEST(FailingRun, AReportThatCannotBeWrittenIsAFailure)
{
    ScratchDirectory scratch;
    std::string picture = scratch.Put("picture.zqv", WrapZqv(MakeBmp(8, 8, 24)));
    const std::vector<std::string> commands[] = {
        {"info", "--json", picture}, {"check", picture}, {"probe", picture}, {"plugin"}, {"--help"},
    };
    using Runner = std::function<RunResult(const std::vector<std::string> &)>;
    struct Output {
        const char *description;
        Runner run;
        const char *reason;
    };
    const Output outputs[] = {
        {"a full standard output", [](const std::vector<std::string> &arguments) {
             return RunZqvInto(HostPath("/dev/full"), arguments);
         },
         "No space left on device"},
#ifndef _WIN32
        {"a closed standard output", [](const std::vector<std::string> &arguments) {
             std::vector<std::string> command{"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-", ZqvPath()};
             command.insert(command.end(), arguments.begin(), arguments.end());
             return RunCommand(command);
         },
         "Bad file descriptor"},
#endif
    };
    for (const Output &output : outputs)
        for (const std::vector<std::string> &arguments : commands) {
            RunResult result = output.run(arguments);
            EXPECT_EQ(result.exitStatus, 4) << arguments[0] << ", " << output.description << ": " << result.Describe();
            EXPECT_EQ(result.standardError, std::string("zqv: standard output: cannot write: ") + output.reason + "\n")
                << arguments[0] << ", " << output.description;
        }
}

#ifndef _WIN32
TEST(FailingRun, UnreadableFileIsReportedNotCrashedOn)
{
    ScratchDirectory scratch;
    std::string path = scratch.Put("locked.bmp", MakeBmp(8, 8, 24));
    std::filesystem::permissions(path, std::filesystem::perms::none);
    RunResult result = RunZqvWithoutOverride({"encode", path, scratch.File("out.zqv")});
    EXPECT_EQ(result.exitStatus, 3) << result.Describe();
    EXPECT_NE(result.standardError.find("cannot open"), std::string::npos) << result.Describe();
}

// A write past the file-size limit (ulimit -f) fails like any other, for
// each file of a batch, and leaves no temporary file: the signal the
// system sends for it would otherwise end zqv half-way through a file.
TEST(FailingRun, WritesPastTheFileSizeLimitFailOneByOne)
{
    constexpr const char *LimitInBlocks = "64"; // 64 KB; each picture decodes to some 300 KB
    ScratchDirectory scratch;
    std::string first = scratch.Put("p0.zqv", WrapZqv(MakeNoisyBmp(320, 320, 1)));
    std::string second = scratch.Put("p1.zqv", WrapZqv(MakeNoisyBmp(320, 320, 2)));
    std::string out = scratch.File("out");
    std::filesystem::create_directory(out);
    RunResult result = RunCommand({"/bin/sh", "-c", std::string("ulimit -f ") + LimitInBlocks + " && exec \"$0\" \"$@\"",
                                   ZqvPath(), "decode", "-o", out, first, second});
    EXPECT_EQ(result.exitStatus, 8) << result.Describe();
    EXPECT_EQ(result.OutputText(), "0 converted, 0 skipped, 2 failed\n") << result.Describe();
    for (const char *name : {"p0.bmp", "p1.bmp"})
        EXPECT_NE(result.standardError.find(name + std::string(": cannot write: File too large")), std::string::npos)
            << result.Describe();
    EXPECT_TRUE(std::filesystem::is_empty(out)) << "a temporary file was left in " << out;
}
#endif

} // namespace
