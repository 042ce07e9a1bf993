// Decompression bombs natively, kept small: the stand-in has the whole
// 64-bit address space behind it, so a bomb would not run out of memory
// before several gigabytes. The win32 build meets the real thing
// (bomb_test.cpp); here the stand-in is made to run out instead.
#include "codec/container.h"
#include "plugin/api.h"
#include "tests/robustness/bomb.h"
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr uint32_t SmallBombMebibytes = 64;
constexpr uint32_t BmpHeadersSize = 54;
// Reports before memory runs out: about one per 100 KB inflated, so the
// bomb is some 25 MB in when every allocation starts failing.
constexpr int ReportsBeforeRefusal = 256;
constexpr long EveryAllocation = 1L << 30;

int reportsSeen = 0;

// Once the bomb is well under way, memory runs out for good, as the 32-bit
// address space does for the real bomb: the sink's next growth fails, the
// doubling and the least growth alike.
int32_t WINAPI RunOutOfMemoryAfterAWhile(int32_t, int32_t, intptr_t)
{
    if (++reportsSeen == ReportsBeforeRefusal)
        LocalMemoryFailAllocation(1, EveryAllocation);
    return 0;
}

TEST(NativeBomb, SmallBombInflatesWholeAtOverAThousandToOne)
{
    Bytes bomb = MakeZeroBomb(SmallBombMebibytes);
    uint64_t fileSize = ZeroBombFileSize(SmallBombMebibytes);
    ASSERT_GT(fileSize / bomb.size(), 1000u) << "bomb of " << bomb.size() << " bytes";
    long liveBefore = LocalMemoryLiveBlocks();
    {
        Decoded out;
        DecodeMemory(&out, bomb);
        ASSERT_EQ(out.result, ResultOk) << "a whole bomb that fits in memory";
        EXPECT_EQ(LocalSize(out.info), BmpHeadersSize - BmpFileHeaderSize);
        Bytes bits = BlockBytes(out.bits);
        EXPECT_EQ(bits.size(), fileSize) << "the bits block is as long as the whole file";
        EXPECT_TRUE(std::all_of(bits.begin(), bits.end(), [](uint8_t byte) { return byte == 0; }))
            << "a bomb of zeros delivered other bytes";
    }
    EXPECT_EQ(LocalMemoryLiveBlocks(), liveBefore);
}

TEST(NativeBomb, MemoryRunningOutMidwayEndsInNoMemoryAndGivesEverythingBack)
{
    // A header that claims no more than itself, so the pixel block grows as
    // the zeros come instead of being made whole at once.
    Bytes bomb = MakeZeroBombClaiming(SmallBombMebibytes, BmpHeadersSize);
    long liveBefore = LocalMemoryLiveBlocks();
    reportsSeen = 0;
    {
        Decoded out;
        DecodeMemory(&out, bomb, RunOutOfMemoryAfterAWhile);
        LocalMemoryFailAllocation(0);
        EXPECT_GT(reportsSeen, ReportsBeforeRefusal) << "the bomb ended before memory ran out";
        EXPECT_EQ(out.result, ResultNoMemory) << "expected ResultNoMemory, got " << out.result;
        EXPECT_EQ(out.info, Untouched);
        EXPECT_EQ(out.bits, Untouched);
    }
    EXPECT_EQ(LocalMemoryLiveBlocks(), liveBefore) << "blocks left after the bomb";

    Bytes bmp = MakeBmp(32, 32, 24);
    Decoded after;
    DecodeMemory(&after, WrapZqv(bmp));
    ASSERT_EQ(after.result, ResultOk) << "a normal picture after the bomb";
    EXPECT_EQ(BlockBytes(after.bits), ExpectedBits(bmp));
}

} // namespace
