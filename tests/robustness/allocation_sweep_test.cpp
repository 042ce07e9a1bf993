// Every local allocation, reallocation and lock that GetPicture makes, made
// to fail in turn: each run gives its documented result, writes no
// out-parameter unless it succeeds, and gives every block back. The same for
// the whole-file decode the WIC codec makes (PictureFileDecode).
#include "codec/container.h"
#include "plugin/api.h"
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// Where a BMP file header keeps the file's size.
constexpr size_t FileSizeField = 2;

struct SweepCase {
    const char *description;
    Bytes bmp;
    bool fromFile;
    long leastAllocations; // a clean decode makes at least this many
};

// A picture whose header gives the wrong file size: the block the header
// sizes must grow after all, or be cut to what came.
Bytes ClaimingFileSize(Bytes bmp, uint32_t claimed)
{
    PutLittle32(bmp, FileSizeField, claimed);
    return bmp;
}

std::vector<SweepCase> SweepCases()
{
    Bytes noisy = MakeNoisyBmp(600, 400, 5);
    uint32_t noisySize = static_cast<uint32_t>(noisy.size());
    return {
        {"small picture, fits the first block", MakeBmp(8, 8, 8), false, 2},
        // the first pixel block, the info block, the pixel block at full size
        {"noisy 200x180, sized by its header", MakeNoisyBmp(200, 180, 3), false, 3},
        {"noisy 600x400 whose header claims nothing, several growths", ClaimingFileSize(noisy, 0), false, 5},
        {"the same read from a file", ClaimingFileSize(noisy, 0), true, 5},
        {"noisy 600x400 whose header claims twice its size, cut at the end", ClaimingFileSize(noisy, 2 * noisySize),
         false, 4},
    };
}

// One GetPicture of a case's container, with out-parameters preset to the
// sentinel; the TempFile lives as long as the run.
class PictureRun {
public:
    explicit PictureRun(const SweepCase &sweepCase) : bmp_(sweepCase.bmp), container_(WrapZqv(sweepCase.bmp))
    {
        if (sweepCase.fromFile)
            file_.emplace(container_);
    }

    void Decode(Decoded *out) const
    {
        if (file_)
            DecodeFile(out, HostPath(file_->Path()), 0);
        else
            DecodeMemory(out, container_);
    }

    // Empty when the run delivered exactly the picture; otherwise what differs.
    std::string Mismatch(const Decoded &out) const
    {
        if (BlockBytes(out.info) != ExpectedInfo(bmp_))
            return "the info block differs from the file's bitmap information";
        if (BlockBytes(out.bits) != ExpectedBits(bmp_))
            return "the bits block differs from the file's pixel data";
        return "";
    }

private:
    Bytes bmp_;
    Bytes container_;
    std::optional<TempFile> file_;
};

// How many calls, as the counter counts them, a decode with nothing made to
// fail makes.
long CallsOfCleanDecode(const PictureRun &run, long (*counter)())
{
    long before = counter();
    Decoded out;
    run.Decode(&out);
    EXPECT_EQ(out.result, ResultOk) << "a decode with nothing made to fail";
    return counter() - before;
}

struct SweepStep {
    int32_t result;
    bool outUntouched;
    std::string mismatch; // on ResultOk
    long blocksLeft;      // live blocks beyond the starting count, after freeing
};

// Arms a failure of the nth call from now and of the count - 1 after it.
using Arm = void (*)(long nth, long count);
// Every call from the nth on fails: memory runs out for good.
constexpr long AllTheRest = 1L << 30;

// Decodes with the given failure armed, then disarms it.
SweepStep RunWithFailure(const PictureRun &run, Arm arm, long nth, long count = 1)
{
    long liveBefore = LocalMemoryLiveBlocks();
    SweepStep step{};
    {
        Decoded out;
        arm(nth, count);
        run.Decode(&out);
        arm(0, 1);
        step.result = out.result;
        step.outUntouched = out.info == Untouched && out.bits == Untouched;
        if (out.result == ResultOk)
            step.mismatch = run.Mismatch(out);
    }
    step.blocksLeft = LocalMemoryLiveBlocks() - liveBefore;
    return step;
}

void ExpectCleanFailure(const SweepStep &step, int32_t expected, const std::string &where)
{
    EXPECT_EQ(step.result, expected) << where << ": expected result " << expected << ", got " << step.result;
    EXPECT_TRUE(step.outUntouched) << where << ": an out-parameter was written on failure";
}

// A single failure either ends the decode in ResultNoMemory, or is made up
// for (a refused reservation or doubling falls back to a smaller growth) and
// the picture comes out whole.
void ExpectNoMemoryOrWholePicture(const SweepStep &step, const std::string &where, int *absorbed)
{
    if (step.result == ResultOk) {
        EXPECT_EQ(step.mismatch, "") << where;
        ++*absorbed;
        return;
    }
    ExpectCleanFailure(step, ResultNoMemory, where);
}

TEST(AllocationSweep, EveryAllocationFailsInTurn)
{
    for (const SweepCase &sweepCase : SweepCases()) {
        SCOPED_TRACE(sweepCase.description);
        PictureRun run(sweepCase);
        long cleanCalls = CallsOfCleanDecode(run, LocalMemoryAllocationCalls);
        ASSERT_GE(cleanCalls, sweepCase.leastAllocations) << "the picture does not exercise what the case is for";
        int absorbed = 0;
        for (long nth = 1; nth <= cleanCalls; ++nth) {
            std::string where = "allocation " + std::to_string(nth) + " of " + std::to_string(cleanCalls);
            SweepStep step = RunWithFailure(run, LocalMemoryFailAllocation, nth);
            EXPECT_EQ(step.blocksLeft, 0) << where << ": local blocks left allocated";
            if (nth == 1)
                ExpectCleanFailure(step, ResultNoMemory, "the first block");
            else
                ExpectNoMemoryOrWholePicture(step, where, &absorbed);
        }
        if (cleanCalls > 2) {
            EXPECT_GT(absorbed, 0) << "no refused reservation or growth was made up for";
        }
        SweepStep beyond = RunWithFailure(run, LocalMemoryFailAllocation, cleanCalls + 1);
        EXPECT_EQ(beyond.result, ResultOk) << "a failure armed past the last allocation";
    }
}

TEST(AllocationSweep, MemoryRunningOutAtEveryAllocationEndsInNoMemory)
{
    for (const SweepCase &sweepCase : SweepCases()) {
        SCOPED_TRACE(sweepCase.description);
        PictureRun run(sweepCase);
        long cleanCalls = CallsOfCleanDecode(run, LocalMemoryAllocationCalls);
        for (long nth = 1; nth <= cleanCalls; ++nth) {
            std::string where = "allocations from " + std::to_string(nth) + " of " + std::to_string(cleanCalls);
            SweepStep step = RunWithFailure(run, LocalMemoryFailAllocation, nth, AllTheRest);
            ExpectCleanFailure(step, ResultNoMemory, where);
            EXPECT_EQ(step.blocksLeft, 0) << where << ": local blocks left allocated";
        }
    }
}

// The locks, in the order GetPicture takes them: the first pixel block's
// (ResultNoMemory: nothing can be decoded), the others' as they are made or
// move while the file comes in (ResultNoMemory, unless the block is made
// again later), and last the pixel block's at its final size, before it is
// handed over (ResultMemoryError).
TEST(AllocationSweep, EveryLockFailsInTurn)
{
    for (const SweepCase &sweepCase : SweepCases()) {
        SCOPED_TRACE(sweepCase.description);
        PictureRun run(sweepCase);
        long locks = CallsOfCleanDecode(run, LocalMemoryLockCalls);
        ASSERT_GE(locks, 2) << "a decode locks its first block and the final one";
        std::vector<SweepStep> steps;
        for (long nth = 1; nth <= locks + 1; ++nth)
            steps.push_back(RunWithFailure(run, LocalMemoryFailLock, nth));
        EXPECT_EQ(steps.back().result, ResultOk) << "a failure armed past the last lock";
        int absorbed = 0;
        for (long nth = 1; nth <= locks; ++nth) {
            std::string where = "lock " + std::to_string(nth) + " of " + std::to_string(locks);
            const SweepStep &step = steps[static_cast<size_t>(nth - 1)];
            EXPECT_EQ(step.blocksLeft, 0) << where << ": local blocks left allocated";
            if (nth == 1)
                ExpectCleanFailure(step, ResultNoMemory, where);
            else if (nth == locks)
                ExpectCleanFailure(step, ResultMemoryError, where);
            else
                ExpectNoMemoryOrWholePicture(step, where, &absorbed);
        }
    }
}

// A whole-file decode of a container: its verdict and, for a picture, its
// file.
std::pair<FileVerdict, Bytes> DecodeWholeFile(const Bytes &container)
{
    PictureFileDecode decode{};
    if (StartPictureFileDecode(&decode, false))
        FeedPictureFile(&decode, container.data(), static_cast<uint32_t>(container.size()));
    FileVerdict verdict = FinishPictureFile(&decode);
    Bytes file;
    if (verdict == FileVerdict::Picture)
        file.assign(decode.sink.block.start, decode.sink.block.start + decode.sink.block.used);
    EndPictureFileDecode(&decode);
    return {verdict, file};
}

TEST(AllocationSweep, TheWholeFileDecodeGivesNoMemoryOrTheFileAtEveryFailure)
{
    Bytes bmp = MakeNoisyBmp(200, 180, 3);
    Bytes container = WrapZqv(bmp);
    struct Counter {
        const char *what;
        long (*calls)();
        Arm arm;
    };
    for (const Counter &counter : {Counter{"allocation", LocalMemoryAllocationCalls, LocalMemoryFailAllocation},
                                   Counter{"lock", LocalMemoryLockCalls, LocalMemoryFailLock}}) {
        long before = counter.calls();
        ASSERT_EQ(FileVerdict::Picture, DecodeWholeFile(container).first);
        long cleanCalls = counter.calls() - before;
        ASSERT_GE(cleanCalls, 3) << "the file block, the work areas and the file's reservation at least";
        for (long nth = 1; nth <= cleanCalls + 1; ++nth) {
            std::string where = std::string(counter.what) + " " + std::to_string(nth) + " of " +
                                std::to_string(cleanCalls);
            long liveBefore = LocalMemoryLiveBlocks();
            counter.arm(nth, 1);
            auto [verdict, file] = DecodeWholeFile(container);
            counter.arm(0, 1);
            EXPECT_EQ(0, LocalMemoryLiveBlocks() - liveBefore) << where << ": local blocks left allocated";
            if (verdict == FileVerdict::Picture) {
                EXPECT_TRUE(file == bmp) << where << ": the file differs";
            } else {
                EXPECT_EQ(int(FileVerdict::NoMemory), int(verdict)) << where;
                EXPECT_LE(nth, cleanCalls) << "a failure armed past the last call";
            }
        }
    }
}

} // namespace
