// The information table and the two exports that are not provided.
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr char Sentinel = '\x7f';

struct InfoCall {
    int32_t result;
    std::string written; // dest up to the first sentinel byte
};

InfoCall CallGetPluginInfo(int32_t index, int32_t destLength)
{
    char dest[300];
    std::memset(dest, Sentinel, sizeof dest);
    InfoCall call;
    call.result = Plugin().GetPluginInfo(index, dest, destLength);
    size_t length = 0;
    while (length < sizeof dest && dest[length] != Sentinel)
        ++length;
    call.written.assign(dest, length);
    return call;
}

TEST(GetPluginInfo, ListsTheFourEntriesWithTheirTerminators)
{
    struct Entry {
        int32_t index;
        const char *text;
    };
    const Entry table[] = {
        {0, "00IN"},
        {1, "Yelk *.ZQV to DIB filter Ver 0.01.1 by wusk"},
        {2, "*.ZQV"},
        {3, "Yelk ZQV File"},
    };
    for (const Entry &entry : table) {
        InfoCall call = CallGetPluginInfo(entry.index, 256);
        std::string expected(entry.text, std::strlen(entry.text) + 1);
        EXPECT_EQ(static_cast<int32_t>(expected.size()), call.result) << "entry " << entry.index;
        EXPECT_EQ(expected, call.written) << "entry " << entry.index;
    }
    EXPECT_EQ(44, CallGetPluginInfo(1, 256).result);
}

TEST(GetPluginInfo, ShortDestinationGetsATruncatedEntryWithoutTerminator)
{
    struct Case {
        int32_t destLength;
        int32_t expectedResult;
        std::string expectedBytes;
    };
    const Case cases[] = {
        {64, 5, std::string("00IN", 5)},
        {5, 5, std::string("00IN", 5)},
        {4, 4, "00IN"},
        {1, 1, "0"},
    };
    for (const Case &c : cases) {
        InfoCall call = CallGetPluginInfo(0, c.destLength);
        EXPECT_EQ(c.expectedResult, call.result) << "destLength " << c.destLength;
        EXPECT_EQ(c.expectedBytes, call.written) << "destLength " << c.destLength;
    }
}

TEST(GetPluginInfo, WritesNothingForABadIndexOrLength)
{
    struct Case {
        const char *description;
        int32_t index;
        int32_t destLength;
    };
    const Case cases[] = {
        {"index 4, past the table", 4, 64},
        {"index -1", -1, 64},
        {"the most negative index", INT32_MIN, 64},
        {"a zero length", 2, 0},
        {"a negative length", 2, -8},
    };
    for (const Case &c : cases) {
        InfoCall call = CallGetPluginInfo(c.index, c.destLength);
        EXPECT_EQ(0, call.result) << c.description;
        EXPECT_EQ("", call.written) << c.description << ": the destination must stay as it was";
    }
}

TEST(NotProvided, GetPictureInfoAndGetPreviewAnswerMinusOneWhateverTheArguments)
{
    HLOCAL info = Untouched;
    HLOCAL bits = Untouched;
    EXPECT_EQ(-1, Plugin().GetPictureInfo(nullptr, 0, 0, nullptr));
    EXPECT_EQ(-1, Plugin().GetPictureInfo("picture.zqv", 512, 1, &info));
    EXPECT_EQ(-1, Plugin().GetPreview(nullptr, 0, 0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(-1, Plugin().GetPreview("picture.zqv", 0, 0, &info, &bits, RecordProgress, 7));
    EXPECT_EQ(Untouched, info) << "GetPreview wrote an out-parameter";
    EXPECT_EQ(Untouched, bits) << "GetPreview wrote an out-parameter";
}

} // namespace
