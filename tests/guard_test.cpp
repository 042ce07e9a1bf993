// The structured-exception guard of the Windows builds, on its own.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <intrin.h>

#include <cstdint>

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

#ifdef _WIN64
// 64-bit Windows has no frame list: handlers are found in unwind tables.
uintptr_t FrameListHead() { return 0; }
#else
// 32-bit Windows chains exception frames from fs:[0].
uintptr_t FrameListHead() { return __readfsdword(0); }
#endif

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
        uintptr_t headBefore = FrameListHead();
        Count count;
        EXPECT_FALSE(RunGuarded(c.body, &count)) << c.description;
        EXPECT_EQ(headBefore, FrameListHead()) << c.description << ": the frame list was left changed";
    }
}

// Values the caller keeps in registers across the call (the compiler puts
// them in the ones a call preserves) must come back unchanged from a fault:
// the guard resumes the caller with the registers it had.
TEST(RunGuarded, TheCallerKeepsItsValuesAcrossAFault)
{
    uint64_t seed = static_cast<uint64_t>(testing::UnitTest::GetInstance()->random_seed()) | 1u;
    uint64_t a = seed * 3, b = seed * 5, c = seed * 7, d = seed * 11, e = seed * 13, f = seed * 17, g = seed * 19;
    uint64_t before = a ^ (b << 1) ^ (c << 2) ^ (d << 3) ^ (e << 4) ^ (f << 5) ^ (g << 6);
    for (int round = 0; round < 3; ++round) {
        Count count;
        ASSERT_FALSE(RunGuarded(Faults, &count));
        a += round; b -= round; c ^= round; d += 2 * round; e -= 2 * round; f ^= 2 * round; g += 3 * round;
    }
    // Rounds 0, 1 and 2 leave each value changed by a known amount.
    uint64_t after = (a - 3) ^ ((b + 3) << 1) ^ ((c ^ 3) << 2) ^ ((d - 6) << 3) ^ ((e + 6) << 4) ^ ((f ^ 6) << 5) ^
                     ((g - 9) << 6);
    EXPECT_EQ(before, after) << "values held across RunGuarded changed after a fault";
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
