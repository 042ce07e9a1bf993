// A decompression bomb through the real DLL: a few megabytes that inflate
// past 4 GiB, beyond a 32-bit address space and beyond what a BMP file's
// 32-bit sizes can describe, where the 64-bit build stops. The decode must
// end in ResultNoMemory with the process alive and its memory given back.
// Windows builds only; natively see native_bomb_test.cpp.
#include "plugin/api.h"
#include "tests/robustness/bomb.h"
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

// 4,400 MiB of zeros: more than 4 GiB.
constexpr uint32_t BombMebibytes = 4400;
constexpr uint64_t AddressSpace = uint64_t(1) << 32;
constexpr size_t OneGibibyte = size_t(1) << 30;
constexpr size_t Step = size_t(16) << 20;
// Room that other allocations (the test's own, the heap's) may take meanwhile.
constexpr size_t RegionTolerance = size_t(64) << 20;

// The largest region of address space that can be reserved now, to 16 MiB.
size_t LargestFreeRegion()
{
    size_t low = 0;
    size_t high = size_t(4095) << 20;
    while (high - low > Step) {
        size_t middle = low + (high - low) / 2;
        void *region = VirtualAlloc(nullptr, middle, MEM_RESERVE, PAGE_NOACCESS);
        if (region) {
            VirtualFree(region, 0, MEM_RELEASE);
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}

TEST(Bomb, PastTheAddressSpaceEndsInNoMemoryAndGivesEverythingBack)
{
    Bytes bomb = MakeZeroBomb(BombMebibytes);
    ASSERT_GT(ZeroBombFileSize(BombMebibytes), AddressSpace);
    size_t largestBefore = LargestFreeRegion();
    auto started = std::chrono::steady_clock::now();
    {
        Decoded out;
        DecodeMemory(&out, bomb);
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        std::printf("bomb: %zu-byte container inflating to %llu bytes: result %d after %.2f s\n", bomb.size(),
                    static_cast<unsigned long long>(ZeroBombFileSize(BombMebibytes)), out.result, elapsed.count());
        EXPECT_EQ(out.result, ResultNoMemory) << "expected ResultNoMemory, got " << out.result;
        EXPECT_EQ(out.info, Untouched);
        EXPECT_EQ(out.bits, Untouched);
    }

    Bytes bmp = MakeBmp(64, 64, 24);
    Decoded after;
    DecodeMemory(&after, WrapZqv(bmp));
    ASSERT_EQ(after.result, ResultOk) << "a normal picture after the bomb";
    EXPECT_EQ(BlockBytes(after.bits), ExpectedBits(bmp));

    // What the bomb took is free again, in one piece.
    size_t largestAfter = LargestFreeRegion();
    std::printf("largest free region: %zu MiB before the bomb, %zu MiB after it\n", largestBefore >> 20,
                largestAfter >> 20);
    EXPECT_GE(largestAfter + RegionTolerance, largestBefore) << "address space still taken after the bomb";
    size_t largeSize = std::min(OneGibibyte, largestBefore - RegionTolerance);
    HLOCAL large = LocalAlloc(LMEM_FIXED, largeSize);
    EXPECT_NE(large, nullptr) << "LocalAlloc of " << (largeSize >> 20) << " MiB after the bomb failed";
    if (large)
        LocalFree(large);
    void *region = VirtualAlloc(nullptr, largeSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    EXPECT_NE(region, nullptr) << "VirtualAlloc of " << (largeSize >> 20) << " MiB after the bomb failed";
    if (region)
        VirtualFree(region, 0, MEM_RELEASE);
}

} // namespace
