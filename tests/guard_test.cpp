// The structured-exception guard of the win32 build, on its own.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <intrin.h>

namespace {

struct Count {
    int reached = 0;
};

void RunsToTheEnd(void *context) { static_cast<Count *>(context)->reached++; }

void Faults(void *context)
{
    static_cast<Count *>(context)->reached++;
    volatile int *nowhere = nullptr;
    *nowhere = 1;
    static_cast<Count *>(context)->reached++;
}

void DividesByZero(void *context)
{
    volatile int zero = 0;
    static_cast<Count *>(context)->reached = 10 / zero;
}

void RaisesASoftwareException(void *) { RaiseException(0xE0000001, 0, 0, nullptr); }

void FaultsInsideANestedGuard(void *context)
{
    auto *count = static_cast<Count *>(context);
    Count inner;
    if (!RunGuarded(Faults, &inner))
        count->reached = 100 + inner.reached;
}

DWORD FrameListHead() { return __readfsdword(0); }

TEST(RunGuarded, ReportsABodyThatRanToItsEnd)
{
    Count count;
    EXPECT_TRUE(RunGuarded(RunsToTheEnd, &count));
    EXPECT_EQ(1, count.reached);
}

TEST(RunGuarded, CatchesFaultsAndRestoresTheFrameList)
{
    struct Case {
        const char *description;
        GuardedBody body;
    };
    const Case cases[] = {
        {"an access violation", Faults},
        {"an integer division by zero", DividesByZero},
        {"a software exception", RaisesASoftwareException},
    };
    for (const Case &c : cases) {
        DWORD headBefore = FrameListHead();
        Count count;
        EXPECT_FALSE(RunGuarded(c.body, &count)) << c.description;
        EXPECT_EQ(headBefore, FrameListHead()) << c.description << ": the frame list was left changed";
    }
}

TEST(RunGuarded, StopsTheBodyAtTheFault)
{
    Count count;
    ASSERT_FALSE(RunGuarded(Faults, &count));
    EXPECT_EQ(1, count.reached) << "the code after the faulting instruction must not run";
}

TEST(RunGuarded, TheInnerGuardCatchesANestedFault)
{
    Count count;
    EXPECT_TRUE(RunGuarded(FaultsInsideANestedGuard, &count));
    EXPECT_EQ(101, count.reached);
}

TEST(RunGuarded, KeepsWorkingAfterManyFaults)
{
    for (int round = 0; round < 1000; ++round) {
        Count count;
        ASSERT_FALSE(RunGuarded(Faults, &count)) << "round " << round;
    }
    Count count;
    EXPECT_TRUE(RunGuarded(RunsToTheEnd, &count));
}

} // namespace
