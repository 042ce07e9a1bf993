// Ten thousand decodes of small pictures: the process must hold no more
// memory and no more handles after them than before.
#include "plugin/api.h"
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <psapi.h>
#endif

namespace {

constexpr int WarmUpCalls = 200;
constexpr int MeasuredCalls = 10000;
constexpr long long PrivateBytesTolerance = 1 << 20;
constexpr long long HandleTolerance = 10;

struct Usage {
    bool measured = false;
    long long privateBytes = 0;
    long long handles = 0;
    long localBlocks = 0;
};

#ifdef _WIN32
// Handle values a process of this size uses: multiples of 4 below 64 Ki.
constexpr uintptr_t HandleValueLimit = 0x10000;
constexpr uintptr_t HandleValueStep = 4;

// Wine answers GetProcessHandleCount with 0, so the open handles are also
// counted one value at a time.
long long OpenHandles()
{
    DWORD reported = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &reported) && reported > 0)
        return reported;
    long long open = 0;
    DWORD flags = 0;
    for (uintptr_t value = HandleValueStep; value < HandleValueLimit; value += HandleValueStep)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++open;
    return open;
}
#endif

Usage MeasureUsage()
{
    Usage usage;
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    usage.measured = GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                                          sizeof counters);
    // Both are the commit charge of the process; wine fills in only the second.
    usage.privateBytes = static_cast<long long>(std::max(counters.PrivateUsage, counters.PagefileUsage));
    usage.handles = OpenHandles();
    usage.measured = usage.measured && usage.privateBytes > 0 && usage.handles > 0;
#else
    usage.measured = true;
    usage.localBlocks = LocalMemoryLiveBlocks();
#endif
    return usage;
}

int32_t WINAPI StopAtFirstReport(int32_t, int32_t, intptr_t) { return 1; }

// The kinds of call a host makes over and over: pictures from memory and
// from a file, a damaged one, and one the host stops.
struct Call {
    const char *description;
    Bytes container;
    int32_t expected;
    ProgressCallback progress;
    std::unique_ptr<TempFile> file;
};

std::vector<Call> MakeCalls()
{
    std::vector<Call> calls;
    calls.push_back({"8-bit picture from memory", WrapZqv(MakeBmp(16, 16, 8, 1)), ResultOk, nullptr, nullptr});
    calls.push_back({"24-bit picture from memory", WrapZqv(MakeBmp(20, -12, 24, 2)), ResultOk, nullptr, nullptr});
    calls.push_back({"1-bit picture from a file", WrapZqv(MakeBmp(33, 9, 1, 3)), ResultOk, nullptr, nullptr});
    calls.back().file = std::make_unique<TempFile>(calls.back().container);
    calls.push_back({"damaged stream", Masked(ZlibHeadThenInvalidBlock(MakeBmp(8, 8, 24), 100)), ResultBrokenData,
                     nullptr, nullptr});
    calls.push_back({"stopped by the host", WrapZqv(MakeBmp(16, 16, 4, 5)), ResultAborted, StopAtFirstReport,
                     nullptr});
    return calls;
}

// Runs count calls round the list; returns how many answered otherwise than expected.
int RunCalls(const std::vector<Call> &calls, int count)
{
    int wrong = 0;
    for (int i = 0; i < count; ++i) {
        const Call &call = calls[static_cast<size_t>(i) % calls.size()];
        Decoded out;
        if (call.file)
            DecodeFile(&out, HostPath(call.file->Path()), 0, call.progress);
        else
            DecodeMemory(&out, call.container, call.progress);
        if (out.result != call.expected)
            ++wrong;
    }
    return wrong;
}

TEST(LongRun, TenThousandDecodesLeaveMemoryAndHandlesFlat)
{
    std::vector<Call> calls = MakeCalls();
    ASSERT_EQ(RunCalls(calls, WarmUpCalls), 0) << "warm-up calls answered otherwise than expected";
    Usage before = MeasureUsage();
    ASSERT_TRUE(before.measured) << "the process's memory and handles cannot be measured";
    EXPECT_EQ(RunCalls(calls, MeasuredCalls), 0) << "calls answered otherwise than expected";
    Usage after = MeasureUsage();
    ASSERT_TRUE(after.measured) << "the process's memory and handles cannot be measured";
    std::printf("long run of %d calls: private bytes %lld -> %lld, handles %lld -> %lld, local blocks %ld -> %ld\n",
                MeasuredCalls, before.privateBytes, after.privateBytes, before.handles, after.handles,
                before.localBlocks, after.localBlocks);
    EXPECT_LT(after.privateBytes - before.privateBytes, PrivateBytesTolerance)
        << "private bytes grew from " << before.privateBytes << " to " << after.privateBytes;
    EXPECT_LT(after.handles - before.handles, HandleTolerance)
        << "handles grew from " << before.handles << " to " << after.handles;
    EXPECT_EQ(after.localBlocks, before.localBlocks) << "local blocks left allocated";
#ifndef _WIN32
    EXPECT_EQ(after.localBlocks, 0) << "local blocks alive once every picture was freed";
#endif
}

} // namespace
