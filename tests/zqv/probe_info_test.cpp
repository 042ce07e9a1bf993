// zqv probe, info, --help and --version, run as a user runs them.
#include "tests/support/plugin.h"
#include "tests/zqv/cli_support.h"

#include <gtest/gtest.h>

namespace {

constexpr int Recognised = 0;
constexpr int NotRecognised = 1;
constexpr int CannotRead = 3;

struct ProbeCase {
    const char *description;
    Bytes contents;
    bool recognised;
};

const ProbeCase ProbeCases[] = {
    {"a ZQV picture larger than the 2,048-byte head", WrapZqv(MakeNoisyBmp(40, 40, 1)), true},
    {"a ZQV picture shorter than the head, padded with zeros", WrapZqv(MakeBmp(4, 4, 24)), true},
    {"a ZQV picture stored without compression", WrapZqv(MakeBmp(30, 30, 8), 0), true},
    {"a plain BMP file", MakeBmp(16, 16, 24), false},
    {"a container of text", WrapZqv(Bytes(3000, 'x')), false},
    {"an empty file", Bytes{}, false},
};

TEST(Probe, OneLinePerFileWithTheAnswer)
{
    ScratchDirectory scratch;
    for (const ProbeCase &testCase : ProbeCases) {
        std::string path = scratch.Put("probed", testCase.contents);
        RunResult result = RunZqv({"probe", path});
        std::string expectedLine = path + (testCase.recognised ? ": ZQV picture\n" : ": not a ZQV picture\n");
        EXPECT_EQ(result.OutputText(), expectedLine) << testCase.description;
        EXPECT_EQ(result.exitStatus, testCase.recognised ? Recognised : NotRecognised)
            << testCase.description << ": " << result.Describe();
    }
}

TEST(Probe, ExitStatusSumsUpAllFiles)
{
    ScratchDirectory scratch;
    std::string picture = scratch.Put("a.zqv", WrapZqv(MakeBmp(10, 10, 24)));
    std::string another = scratch.Put("b.zqv", WrapZqv(MakeBmp(12, 12, 8)));
    std::string bmp = scratch.Put("c.bmp", MakeBmp(10, 10, 24));
    struct Case {
        const char *description;
        std::vector<std::string> files;
        int exitStatus;
        size_t lines;
    };
    const Case cases[] = {
        {"every file recognised", {picture, another}, Recognised, 2},
        {"one of three not recognised", {picture, bmp, another}, NotRecognised, 3},
        {"a missing file among pictures", {picture, scratch.File("gone.zqv")}, CannotRead, 1},
        {"a directory among pictures", {scratch.Path(), picture}, CannotRead, 1},
    };
    for (const Case &testCase : cases) {
        std::vector<std::string> arguments{"probe"};
        arguments.insert(arguments.end(), testCase.files.begin(), testCase.files.end());
        RunResult result = RunZqv(arguments);
        EXPECT_EQ(result.exitStatus, testCase.exitStatus) << testCase.description << ": " << result.Describe();
        std::string output = result.OutputText();
        EXPECT_EQ(static_cast<size_t>(std::count(output.begin(), output.end(), '\n')), testCase.lines)
            << testCase.description << ": one line per readable file expected, got \"" << output << "\"";
        EXPECT_EQ(result.standardError.empty(), testCase.exitStatus != CannotRead)
            << testCase.description << ": an unreadable file, and only that, is reported on standard error: "
            << result.Describe();
    }
}

TEST(Probe, StandardInput)
{
    RunResult result = RunZqv({"probe", "-"}, WrapZqv(MakeBmp(10, 10, 24)));
    EXPECT_EQ(result.exitStatus, Recognised) << result.Describe();
    EXPECT_EQ(result.OutputText(), "standard input: ZQV picture\n");
}

// The strings must be the plug-in's own, as GetPluginInfo gives them.
TEST(Info, ListsThePluginsFourStrings)
{
    RunResult result = RunZqv({"plugin"});
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    std::string output = result.OutputText();
    const char *labels[] = {"interface:", "name:", "pattern:", "description:"};
    size_t searchFrom = 0;
    for (int32_t index = 0; index < 4; ++index) {
        char text[256] = {};
        int32_t length = Plugin().GetPluginInfo(index, text, sizeof text - 1);
        ASSERT_GT(length, 0) << "GetPluginInfo(" << index << ") gave nothing";
        size_t line = output.find(labels[index], searchFrom);
        ASSERT_NE(line, std::string::npos) << "no \"" << labels[index] << "\" line, in order, in \"" << output << "\"";
        size_t lineEnd = output.find('\n', line);
        std::string wholeLine = output.substr(line, lineEnd - line);
        EXPECT_NE(wholeLine.find(text), std::string::npos)
            << "expected \"" << text << "\" on the line \"" << wholeLine << "\"";
        searchFrom = lineEnd;
    }
}

struct HelpCase {
    std::vector<std::string> arguments;
    const char *usageLine;
};

const HelpCase HelpCases[] = {
    {{"--help"}, "Usage: zqv COMMAND"},
    {{"-h"}, "Usage: zqv COMMAND"},
    {{"decode", "--help"}, "Usage: zqv decode"},
    {{"encode", "-h"}, "Usage: zqv encode"},
    {{"probe", "--help"}, "Usage: zqv probe"},
    {{"info", "--help"}, "Usage: zqv info"},
    {{"plugin", "--help"}, "Usage: zqv plugin"},
    {{"check", "--help"}, "Usage: zqv check"},
    {{"decode", "in.zqv", "--help"}, "Usage: zqv decode"},
};

TEST(Help, EveryCommandHasUsageAndAnExample)
{
    for (const HelpCase &testCase : HelpCases) {
        RunResult result = RunZqv(testCase.arguments);
        std::string output = result.OutputText();
        std::string shown = testCase.arguments[0] + (testCase.arguments.size() > 1 ? " " + testCase.arguments[1] : "");
        EXPECT_EQ(result.exitStatus, 0) << shown << ": " << result.Describe();
        EXPECT_EQ(output.rfind(testCase.usageLine, 0), 0u)
            << shown << ": expected the help to start with \"" << testCase.usageLine << "\", got \""
            << output.substr(0, 80) << "\"";
        EXPECT_NE(output.find("Example"), std::string::npos) << shown << ": no example in \"" << output << "\"";
    }
}

TEST(Help, VersionIsTheProjects)
{
    RunResult result = RunZqv({"--version"});
    EXPECT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_EQ(result.OutputText(), std::string("zqv ") + ZQV_VERSION + "\n");
}

} // namespace
