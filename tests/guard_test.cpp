// The structured-exception guard of the Windows builds, on its own.
#include "codec/inflater.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <intrin.h>

#include <cstdint>
#include <cstring>
#include <vector>

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

// The build's inflater on a stream that runs into memory no one may read:
// the fault comes from deep inside it, in the win64 build from ISA-L's
// assembly, which has no unwind information.
class UnreadableStream {
public:
    UnreadableStream()
    {
        std::vector<uint8_t> plain(4u << 20);
        for (size_t i = 0; i < plain.size(); ++i)
            plain[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
        uLongf length = compressBound(static_cast<uLong>(plain.size()));
        std::vector<uint8_t> stream(length);
        compress2(stream.data(), &length, plain.data(), static_cast<uLong>(plain.size()), 6);
        // Half the stream ends where the readable pages do.
        readable_ = length / 2;
        regionBytes_ = (readable_ / PageBytes + 2) * PageBytes;
        region_ = static_cast<uint8_t *>(VirtualAlloc(nullptr, regionBytes_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD previous;
        VirtualProtect(region_ + regionBytes_ - PageBytes, PageBytes, PAGE_NOACCESS, &previous);
        start_ = region_ + regionBytes_ - PageBytes - readable_;
        std::memcpy(start_, stream.data(), readable_);
    }
    ~UnreadableStream() { VirtualFree(region_, 0, MEM_RELEASE); }

    const uint8_t *Start() const { return start_; }
    // What the inflater is told it may read: a page more than it can.
    uint32_t ClaimedLength() const { return static_cast<uint32_t>(readable_ + PageBytes); }

private:
    static constexpr size_t PageBytes = 4096;
    uint8_t *region_ = nullptr;
    size_t regionBytes_ = 0;
    uint8_t *start_ = nullptr;
    size_t readable_ = 0;
};

struct InflateIntoTheVoid {
    const UnreadableStream *stream;
    StreamInflater inflater{};
    std::vector<uint8_t> output = std::vector<uint8_t>(8u << 20);
    int steps = 0;
};

void InflatesUnreadableInput(void *context)
{
    auto *work = static_cast<InflateIntoTheVoid *>(context);
    SetInflateInput(&work->inflater, work->stream->Start(), work->stream->ClaimedLength());
    uint32_t produced = 0;
    for (; work->steps < 100; ++work->steps)
        InflateInto(&work->inflater, work->output.data(), static_cast<uint32_t>(work->output.size()), &produced);
}

// Where the last access violation was raised, as a vectored handler sees it
// before any frame's handler.
void *lastFaultAddress = nullptr;
LONG CALLBACK NoteFaultAddress(EXCEPTION_POINTERS *exception)
{
    if (exception->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
        lastFaultAddress = exception->ExceptionRecord->ExceptionAddress;
    return EXCEPTION_CONTINUE_SEARCH;
}

#ifdef _WIN64
// 64-bit Windows has no frame list: handlers are found in unwind tables.
uintptr_t FrameListHead() { return 0; }

bool HasUnwindInformation(void *address)
{
    DWORD64 imageBase = 0;
    return RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(address), &imageBase, nullptr) != nullptr;
}
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
// the guard resumes the caller with the registers it had, even when the
// fault comes from code that saved and changed them without saying so in
// unwind information (ISA-L's assembly, in the win64 build).
__attribute__((noinline)) bool FaultsInTheInflater(const UnreadableStream &stream)
{
    InflateIntoTheVoid work{&stream};
    EXPECT_TRUE(StartStreamInflater(&work.inflater));
    bool completed = RunGuarded(InflatesUnreadableInput, &work);
    EndStreamInflater(&work.inflater);
    return completed;
}

TEST(RunGuarded, TheCallerKeepsItsValuesAcrossAFault)
{
    UnreadableStream stream;
    struct Case {
        const char *description;
        bool (*faults)(const UnreadableStream &);
    };
    const Case cases[] = {
        {"a fault in the guarded body", [](const UnreadableStream &) {
             Count count;
             return RunGuarded(Faults, &count);
         }},
        {"a fault inside the inflater", FaultsInTheInflater},
    };
    void *handler = AddVectoredExceptionHandler(1, NoteFaultAddress);
    for (const Case &c : cases) {
        uint64_t seed = static_cast<uint64_t>(testing::UnitTest::GetInstance()->random_seed()) | 1u;
        uint64_t a = seed * 3, b = seed * 5, c0 = seed * 7, d = seed * 11, e = seed * 13, f = seed * 17, g = seed * 19;
        uint64_t before = a ^ (b << 1) ^ (c0 << 2) ^ (d << 3) ^ (e << 4) ^ (f << 5) ^ (g << 6);
        for (int round = 0; round < 3; ++round) {
            ASSERT_FALSE(c.faults(stream)) << c.description << ": no fault was caught";
            a += round; b -= round; c0 ^= round; d += 2 * round; e -= 2 * round; f ^= 2 * round; g += 3 * round;
        }
        // Rounds 0, 1 and 2 leave each value changed by a known amount.
        uint64_t after = (a - 3) ^ ((b + 3) << 1) ^ ((c0 ^ 3) << 2) ^ ((d - 6) << 3) ^ ((e + 6) << 4) ^
                         ((f ^ 6) << 5) ^ ((g - 9) << 6);
        EXPECT_EQ(before, after) << c.description << ": values held across RunGuarded changed after a fault";
    }
    RemoveVectoredExceptionHandler(handler);
#if defined(_WIN64) && defined(ZQV_INFLATE_WITH_ISAL)
    EXPECT_FALSE(HasUnwindInformation(lastFaultAddress))
        << "the inflater's fault came from code with unwind information, not from ISA-L's assembly";
#endif
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
