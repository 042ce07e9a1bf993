// Every local allocation, reallocation and lock that GetPicture makes, made
// to fail in turn: each run gives its documented result, writes no
// out-parameter unless it succeeds, and gives every block back.
#include "plugin/api.h"
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// Far more steps than any of these pictures takes: a sweep that gets here
// has stopped converging.
constexpr long SweepLimit = 200;
// The sink's block, then the info and bits blocks handed to the host.
constexpr long BlocksBesidesGrowth = 3;

struct SweepCase {
    const char *description;
    Bytes bmp;
    bool fromFile;
    long leastReallocations; // the sink must grow at least this often
};

std::vector<SweepCase> SweepCases()
{
    return {
        {"small picture, fits the first sink block", MakeBmp(8, 8, 8), false, 0},
        {"noisy 200x180, one sink growth", MakeNoisyBmp(200, 180, 3), false, 1},
        {"noisy 600x400, several sink growths", MakeNoisyBmp(600, 400, 5), false, 3},
        {"noisy 600x400 read from a file", MakeNoisyBmp(600, 400, 6), true, 3},
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

long AllocationCallsOfCleanDecode(const PictureRun &run)
{
    long before = LocalMemoryAllocationCalls();
    Decoded out;
    run.Decode(&out);
    EXPECT_EQ(out.result, ResultOk) << "a decode with nothing made to fail";
    return LocalMemoryAllocationCalls() - before;
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

TEST(AllocationSweep, EveryAllocationFailsInTurn)
{
    for (const SweepCase &sweepCase : SweepCases()) {
        SCOPED_TRACE(sweepCase.description);
        PictureRun run(sweepCase);
        long cleanCalls = AllocationCallsOfCleanDecode(run);
        ASSERT_GE(cleanCalls, BlocksBesidesGrowth + sweepCase.leastReallocations)
            << "the picture does not make the sink grow as often as the case needs";
        int absorbed = 0;
        for (long nth = 1; nth <= cleanCalls; ++nth) {
            std::string where = "allocation " + std::to_string(nth) + " of " + std::to_string(cleanCalls);
            SweepStep step = RunWithFailure(run, LocalMemoryFailAllocation, nth);
            EXPECT_EQ(step.blocksLeft, 0) << where << ": local blocks left allocated";
            if (step.result == ResultOk) {
                // A refused doubling of the sink falls back to the least growth.
                EXPECT_EQ(step.mismatch, "") << where;
                ++absorbed;
                continue;
            }
            ExpectCleanFailure(step, ResultNoMemory, where);
        }
        // The first call makes the sink block; the last two the host's blocks.
        for (long nth : {1L, cleanCalls - 1, cleanCalls}) {
            ExpectCleanFailure(RunWithFailure(run, LocalMemoryFailAllocation, nth), ResultNoMemory,
                               "allocation " + std::to_string(nth));
        }
        if (sweepCase.leastReallocations >= 2) {
            EXPECT_GT(absorbed, 0) << "no refused sink growth was made up by the least growth";
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
        long cleanCalls = AllocationCallsOfCleanDecode(run);
        for (long nth = 1; nth <= cleanCalls; ++nth) {
            std::string where = "allocations from " + std::to_string(nth) + " of " + std::to_string(cleanCalls);
            SweepStep step = RunWithFailure(run, LocalMemoryFailAllocation, nth, AllTheRest);
            ExpectCleanFailure(step, ResultNoMemory, where);
            EXPECT_EQ(step.blocksLeft, 0) << where << ": local blocks left allocated";
        }
    }
}

// The locks, in the order GetPicture takes them: the sink's block, once at
// the start and again after every growth (ResultNoMemory: the sink cannot be
// used), then the decoded file (ResultMemoryError), then the info and the
// bits blocks while they are filled (ResultNoMemory).
int32_t DocumentedLockFailure(long nth, long locks)
{
    return nth == locks - 2 ? ResultMemoryError : ResultNoMemory;
}

TEST(AllocationSweep, EveryLockFailsInTurn)
{
    for (const SweepCase &sweepCase : SweepCases()) {
        SCOPED_TRACE(sweepCase.description);
        PictureRun run(sweepCase);
        std::vector<SweepStep> steps;
        for (long nth = 1; nth <= SweepLimit; ++nth) {
            steps.push_back(RunWithFailure(run, LocalMemoryFailLock, nth));
            if (steps.back().result == ResultOk)
                break;
        }
        ASSERT_EQ(steps.back().result, ResultOk) << "still failing after " << SweepLimit << " locks";
        EXPECT_EQ(steps.back().mismatch, "");
        long locks = static_cast<long>(steps.size()) - 1;
        ASSERT_GE(locks, BlocksBesidesGrowth + 1 + sweepCase.leastReallocations)
            << "fewer locks than a decode with this many sink growths takes";
        for (long nth = 1; nth <= locks; ++nth) {
            std::string where = "lock " + std::to_string(nth) + " of " + std::to_string(locks);
            const SweepStep &step = steps[static_cast<size_t>(nth - 1)];
            ExpectCleanFailure(step, DocumentedLockFailure(nth, locks), where);
            EXPECT_EQ(step.blocksLeft, 0) << where << ": local blocks left allocated";
        }
    }
}

} // namespace
