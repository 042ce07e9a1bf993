// LoadPicture when local memory runs out or cannot be locked, with the native
// stand-in failing the allocation or lock chosen by each case.
#include "plugin/api.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

namespace {

HLOCAL const Unwritten = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xdeadbeef));

struct Attempt {
    int32_t result;
    HLOCAL info = Unwritten;
    HLOCAL bits = Unwritten;
};

Attempt Load(const Bytes &container)
{
    Attempt attempt{};
    attempt.result = LoadPicture(reinterpret_cast<const char *>(container.data()),
                                 static_cast<int32_t>(container.size()), 1, &attempt.info, &attempt.bits, nullptr, 0);
    return attempt;
}

class PictureMemory : public ::testing::Test {
protected:
    void SetUp() override { liveBefore_ = LocalMemoryLiveBlocks(); }
    void TearDown() override
    {
        LocalMemoryFailAllocation(0);
        LocalMemoryFailLock(0);
    }
    void ExpectNothingLeft(const char *description)
    {
        EXPECT_EQ(liveBefore_, LocalMemoryLiveBlocks()) << description << ": a block was left allocated";
    }
    long liveBefore_ = 0;
};

TEST_F(PictureMemory, EachAllocationThatFailsGivesNoMemoryAndLeavesNothing)
{
    // Noisy pixels, so the decoded file outgrows the sink's first block.
    Bytes bmp = MakeNoisyBmp(100, 400);
    Bytes container = WrapZqv(bmp);
    struct Case {
        const char *description;
        long failingCall;
        long failures;
    };
    const Case cases[] = {
        {"the sink's block", 1, 1},
        {"the sink's growth, and its retry", 2, 2},
        {"the bitmap information block", 3, 1},
        {"the pixel block", 4, 1},
    };
    for (const Case &c : cases) {
        LocalMemoryFailAllocation(c.failingCall, c.failures);
        Attempt attempt = Load(container);
        LocalMemoryFailAllocation(0);
        EXPECT_EQ(ResultNoMemory, attempt.result) << c.description;
        EXPECT_EQ(Unwritten, attempt.info) << c.description << ": out-parameter written on failure";
        EXPECT_EQ(Unwritten, attempt.bits) << c.description << ": out-parameter written on failure";
        ExpectNothingLeft(c.description);
    }
    Attempt unhindered = Load(container);
    ASSERT_EQ(ResultOk, unhindered.result);
    EXPECT_EQ(bmp.size(), LocalSize(unhindered.bits));
    LocalFree(unhindered.info);
    LocalFree(unhindered.bits);
    ExpectNothingLeft("a decode after the failures");
}

TEST_F(PictureMemory, ADecodedBlockThatCannotBeLockedGivesMemoryError)
{
    Bytes container = WrapZqv(MakeBmp(20, 20, 8));
    // Locks in order: the sink opens its block, then the decoded block is
    // locked for the copies.
    LocalMemoryFailLock(2);
    Attempt attempt = Load(container);
    EXPECT_EQ(ResultMemoryError, attempt.result);
    EXPECT_EQ(Unwritten, attempt.info);
    EXPECT_EQ(Unwritten, attempt.bits);
    ExpectNothingLeft("a lock failure");
}

TEST_F(PictureMemory, ASinkBlockThatCannotBeLockedGivesNoMemory)
{
    LocalMemoryFailLock(1);
    Attempt attempt = Load(WrapZqv(MakeBmp(20, 20, 8)));
    EXPECT_EQ(ResultNoMemory, attempt.result);
    ExpectNothingLeft("the sink's lock failing");
}

} // namespace
