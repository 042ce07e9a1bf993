// LoadPicture when local memory runs out or cannot be locked, with the native
// stand-in failing the allocation or lock chosen by each case.
#include "plugin/api.h"
#include "tests/support/plugin.h"

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

// Where a BMP file keeps its size, its pixel-data offset, its count of
// colours used, its height and its image size.
constexpr size_t FileSizeField = 2;
constexpr size_t PixelOffsetField = 10;
constexpr size_t ColoursUsedField = 46;
constexpr size_t HeightField = 22;
constexpr size_t ImageSizeField = 34;

// Allocations made to fail: failures calls from the failingCall-th on.
struct FailureCase {
    const char *description;
    long failingCall;
    long failures;
};

Attempt LoadFailing(const Bytes &container, const FailureCase &failure)
{
    LocalMemoryFailAllocation(failure.failingCall, failure.failures);
    Attempt attempt = Load(container);
    LocalMemoryFailAllocation(0);
    return attempt;
}

TEST_F(PictureMemory, EachAllocationThatFailsGivesNoMemoryAndLeavesNothing)
{
    // Noisy pixels whose headers claim no file or image size and a single
    // row, so the pixel block outgrows its first size and must grow as the
    // file comes.
    Bytes bmp = MakeNoisyBmp(100, 400);
    PutLittle32(bmp, FileSizeField, 0);
    PutLittle32(bmp, HeightField, 1);
    PutLittle32(bmp, ImageSizeField, 0);
    Bytes container = WrapZqv(bmp);
    // Allocations in order: the source's block, the work areas' block, the
    // first pixel block, the info block (made again when the first byte for
    // it comes), the wide output area (the first step gives more than its
    // first turn holds), then the pixel block's growth, doubling first and
    // then the least it needs.
    const FailureCase cases[] = {
        {"the source's block", 1, 1},
        {"the work areas' block", 2, 1},
        {"the first pixel block", 3, 1},
        {"the info block, and making it again", 4, 2},
        {"the wide output area", 5, 1},
        {"the pixel block's growth, and its retry", 6, 2},
    };
    for (const FailureCase &c : cases) {
        Attempt attempt = LoadFailing(container, c);
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

// An 8-bit picture whose palette holds its first 16 colours only: the info
// block is padded to all 256 at handover.
Bytes SixteenColourBmp(int32_t width, int32_t height)
{
    constexpr size_t PaletteStart = 54;
    constexpr uint32_t KeptEntries = 16;
    constexpr size_t CutBytes = (256 - KeptEntries) * 4;
    Bytes bmp = MakeBmp(width, height, 8);
    bmp.erase(bmp.begin() + PaletteStart + KeptEntries * 4, bmp.begin() + PaletteStart + 256 * 4);
    PutLittle32(bmp, FileSizeField, static_cast<uint32_t>(bmp.size()));
    PutLittle32(bmp, PixelOffsetField, GetLittle32(bmp, PixelOffsetField) - CutBytes);
    PutLittle32(bmp, ColoursUsedField, KeptEntries);
    return bmp;
}

// The source's block, the work areas', the first pixel block, the info
// block, the pixel block made as large as the header says (a new one or the
// first grown while empty), the wide output area only where a step gives
// more than a first turn holds, and both blocks fitted at the end: neither
// grows once it holds bytes, not even for the padding of a palette, as a
// block that grows may move, and the pixel block's move copies the picture.
TEST_F(PictureMemory, AHeaderThatSizesThePictureMakesItsBlockOnce)
{
    struct Case {
        const char *description;
        Bytes bmp;
        long allocations;
    };
    const Case cases[] = {
        {"a 12 KB picture, in one turn", MakeBmp(64, 64, 24), 6},
        {"480 KB of noise", MakeNoisyBmp(400, 400), 7},
        {"480 KB in 8 bits, 16 colours", SixteenColourBmp(700, 700), 7},
        {"3 MB in 8 bits, 16 colours: a new pixel block", SixteenColourBmp(2000, 1500), 7},
    };
    for (const Case &c : cases) {
        long callsBefore = LocalMemoryAllocationCalls();
        long growthsBefore = LocalMemoryGrowths();
        Attempt attempt = Load(WrapZqv(c.bmp));
        ASSERT_EQ(ResultOk, attempt.result) << c.description;
        EXPECT_EQ(c.allocations, LocalMemoryAllocationCalls() - callsBefore) << c.description;
        EXPECT_GE(1, LocalMemoryGrowths() - growthsBefore) << c.description << ": blocks grown";
        LocalFree(attempt.info);
        LocalFree(attempt.bits);
    }
    ExpectNothingLeft("after the pictures");
}

TEST_F(PictureMemory, RefusedBlocksThatCanBeDoneWithoutStillGiveThePicture)
{
    Bytes bmp = MakeNoisyBmp(400, 400);
    Bytes container = WrapZqv(bmp);
    // The info block is made again when its first byte comes; the pixel
    // block at the size the header gives (made once the information is all
    // there) grows as the file comes instead.
    const FailureCase cases[] = {
        {"the info block", 4, 1},
        {"the pixel block at full size", 5, 1},
    };
    for (const FailureCase &c : cases) {
        Attempt attempt = LoadFailing(container, c);
        ASSERT_EQ(ResultOk, attempt.result) << c.description;
        Bytes info = BlockBytes(attempt.info);
        Bytes bits = BlockBytes(attempt.bits);
        LocalFree(attempt.info);
        LocalFree(attempt.bits);
        EXPECT_TRUE(info == ExpectedInfo(bmp)) << c.description << ": info differs";
        EXPECT_TRUE(bits == ExpectedBits(bmp)) << c.description << ": pixels differ";
        ExpectNothingLeft(c.description);
    }
}

TEST_F(PictureMemory, AFileSizeThatLiesReservesNoMoreThanTheContainerCanHold)
{
    Bytes bmp = MakeBmp(16, 16, 24);
    uint32_t claimed = 0xfffffff0u;
    PutLittle32(bmp, FileSizeField, claimed);
    Bytes container = WrapZqv(bmp);
    LocalMemoryTakeLargestRequest();
    Attempt attempt = Load(container);
    size_t largest = LocalMemoryTakeLargestRequest();
    ASSERT_EQ(ResultOk, attempt.result);
    EXPECT_EQ(bmp.size(), LocalSize(attempt.bits)) << "the pixel block is cut to what was decoded";
    EXPECT_LE(largest, container.size() * 1032) << "a header claiming " << claimed << " bytes reserved " << largest
                                                 << " from a container of " << container.size();
    LocalFree(attempt.info);
    LocalFree(attempt.bits);
}

TEST_F(PictureMemory, ADecodedBlockThatCannotBeLockedGivesMemoryError)
{
    Bytes container = WrapZqv(MakeBmp(20, 20, 8));
    // Locks in order: the source's block, the work areas', the first pixel
    // block, the info block, then the pixel block once more at its final
    // size, before it is handed over.
    LocalMemoryFailLock(5);
    Attempt attempt = Load(container);
    EXPECT_EQ(ResultMemoryError, attempt.result);
    EXPECT_EQ(Unwritten, attempt.info);
    EXPECT_EQ(Unwritten, attempt.bits);
    ExpectNothingLeft("a lock failure");
}

TEST_F(PictureMemory, AWorkOrSinkBlockThatCannotBeHadGivesNoMemory)
{
    Bytes container = WrapZqv(MakeBmp(20, 20, 8));
    const std::pair<const char *, void (*)(long, long)> failures[] = {
        {"an allocation refused", LocalMemoryFailAllocation},
        {"a lock refused", LocalMemoryFailLock},
    };
    for (const auto &[description, fail] : failures) {
        for (long nth : {1L, 2L, 3L}) { // the source's block, the work areas', the first pixel block
            fail(nth, 1);
            Attempt attempt = Load(container);
            fail(0, 1);
            EXPECT_EQ(ResultNoMemory, attempt.result) << description << ", call " << nth;
            EXPECT_EQ(Unwritten, attempt.info) << description << ", call " << nth;
            ExpectNothingLeft(description);
        }
    }
}

} // namespace
