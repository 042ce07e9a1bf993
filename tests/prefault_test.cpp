// The Prefaulter, on blocks of the native stand-in's local memory: large
// blocks come straight from the system there, so which of their pages are
// resident can be asked of the kernel.
#include "plugin/prefault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t BlockSize = 128u << 20;
constexpr size_t PageSize = 4096;

// The block's pages from offset on that are resident, counted in pages.
size_t ResidentPagesFrom(const uint8_t *block, size_t offset, size_t size)
{
    auto first = reinterpret_cast<uintptr_t>(block + offset) & ~(uintptr_t(PageSize) - 1);
    auto end = reinterpret_cast<uintptr_t>(block + size) & ~(uintptr_t(PageSize) - 1);
    std::vector<unsigned char> resident((end - first) / PageSize);
    if (mincore(reinterpret_cast<void *>(first), end - first, resident.data()) != 0)
        return SIZE_MAX;
    size_t count = 0;
    for (unsigned char page : resident)
        count += page & 1;
    return count;
}

class FreshBlock {
public:
    FreshBlock() : handle_(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, BlockSize))
    {
        bytes_ = handle_ ? static_cast<uint8_t *>(LocalLock(handle_)) : nullptr;
    }
    ~FreshBlock()
    {
        if (handle_) {
            LocalUnlock(handle_);
            LocalFree(handle_);
        }
    }
    uint8_t *Bytes() const { return bytes_; }

private:
    HLOCAL handle_;
    uint8_t *bytes_;
};

// Waits, up to a generous limit, until the page at offset is resident.
bool WaitUntilResident(const uint8_t *block, size_t offset)
{
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ResidentPagesFrom(block, offset, offset + PageSize) == 0) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(Prefaulter, BringsPagesInNoFurtherThanItsLeadAheadOfTheDecode)
{
    FreshBlock block;
    ASSERT_NE(block.Bytes(), nullptr);
    // Its first page holds the allocator's own bookkeeping.
    ASSERT_EQ(0u, ResidentPagesFrom(block.Bytes(), PageSize, BlockSize)) << "a fresh block that is resident already";
    Prefaulter prefaulter;
    StartPrefaulter(&prefaulter, block.Bytes(), BlockSize);
    ASSERT_TRUE(WaitUntilResident(block.Bytes(), PrefaultLead - PageSize)) << "the lead was never brought in";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0u, ResidentPagesFrom(block.Bytes(), PrefaultLead + PageSize, BlockSize))
        << "pages brought in beyond the lead with nothing decoded";

    uint32_t decoded = 48u << 20;
    NotePrefaultProgress(&prefaulter, decoded);
    ASSERT_TRUE(WaitUntilResident(block.Bytes(), decoded + PrefaultLead - PageSize))
        << "the lead did not follow the decode";
    StopPrefaulter(&prefaulter);
    EXPECT_EQ(0u, ResidentPagesFrom(block.Bytes(), decoded + PrefaultLead + PageSize, BlockSize))
        << "pages brought in beyond the lead";
}

uint8_t PatternAt(uint32_t at) { return static_cast<uint8_t>(at * 2654435761u >> 24) | 1; }

// Writes the pattern over [from, to) in steps, the way a decode's output
// arrives, telling the prefaulter after each.
void WriteLikeADecode(uint8_t *block, uint32_t from, uint32_t to, Prefaulter *prefaulter)
{
    constexpr uint32_t Step = 102400;
    for (uint32_t written = from; written < to; written += Step) {
        uint32_t end = std::min(written + Step, to);
        for (uint32_t at = written; at < end; ++at)
            block[at] = PatternAt(at);
        if (prefaulter)
            NotePrefaultProgress(prefaulter, end);
    }
}

size_t BytesChanged(const uint8_t *block, uint32_t to)
{
    size_t changed = 0;
    for (uint32_t at = 0; at < to; ++at)
        changed += block[at] != PatternAt(at);
    return changed;
}

TEST(Prefaulter, ChangesNoByteWrittenBeforeOrMeanwhile)
{
    FreshBlock block;
    ASSERT_NE(block.Bytes(), nullptr);
    uint32_t half = BlockSize / 2;
    // The first half is written before the prefaulter starts, so it passes
    // over every written page on its way to the second half.
    WriteLikeADecode(block.Bytes(), 0, half, nullptr);
    Prefaulter prefaulter;
    StartPrefaulter(&prefaulter, block.Bytes(), BlockSize);
    NotePrefaultProgress(&prefaulter, half);
    ASSERT_TRUE(WaitUntilResident(block.Bytes(), half + PrefaultLead / 2)) << "the prefaulter never got past";
    EXPECT_EQ(0u, BytesChanged(block.Bytes(), half)) << "bytes written before the prefaulter went over them";
    // Then the rest, racing it.
    WriteLikeADecode(block.Bytes(), half, BlockSize, &prefaulter);
    StopPrefaulter(&prefaulter);
    EXPECT_EQ(0u, BytesChanged(block.Bytes(), BlockSize)) << "bytes changed under the prefaulter";
}

TEST(Prefaulter, SmallBlocksAndRepeatedStopsAreHarmless)
{
    std::vector<uint8_t> small(PrefaultLeast - 1);
    Prefaulter prefaulter;
    StartPrefaulter(&prefaulter, small.data(), static_cast<uint32_t>(small.size()));
    EXPECT_FALSE(prefaulter.running) << "a thread for a block below PrefaultLeast";
    StopPrefaulter(&prefaulter);
    StopPrefaulter(&prefaulter);
}

} // namespace
