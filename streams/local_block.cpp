#include "streams/local_block.h"

#include <algorithm>
#include <cstring>

namespace {

// A block asked to grow may move, and stays fixed or moveable as it was.
constexpr UINT ResizeFlags = LMEM_MOVEABLE | LMEM_ZEROINIT;

// LocalAlloc and LocalLock, undone when the lock fails.
bool AllocateLockedBlock(LocalBlock *block, uint32_t capacity, UINT flags)
{
    HLOCAL handle = LocalAlloc(flags, capacity);
    auto *start = handle ? static_cast<uint8_t *>(LocalLock(handle)) : nullptr;
    if (start == nullptr) {
        if (handle)
            LocalFree(handle);
        return false;
    }
    *block = {handle, start, 0, capacity, false};
    return true;
}

} // namespace

// The least growth is never below this fraction of the block (1/8).
constexpr uint32_t LeastGrowthShift = 3;

// A block grown piece by piece is moved, and copied whole, at nearly every
// step; growing by its own size keeps a long stream linear. In a nearly full
// address space every growth moves the block, and a stream that keeps coming
// (a decompression bomb) would copy a gigabyte for every 100 KB if the least
// growth were only what the write needs.
SinkGrowthStep GrowthFor(uint32_t capacity, uint32_t count)
{
    uint32_t least = std::max({count, SinkGrowth, capacity >> LeastGrowthShift});
    return {std::max(least, capacity), least};
}

bool AllocateLocalBlock(LocalBlock *block, uint32_t capacity, UINT flags)
{
    return AllocateLockedBlock(block, capacity, flags | LMEM_ZEROINIT);
}

bool AllocateWorkBlock(LocalBlock *block, uint32_t capacity)
{
    return AllocateLockedBlock(block, capacity, LMEM_FIXED);
}

bool FitLocalBlock(LocalBlock *block, uint32_t capacity)
{
    if (block->capacity == capacity)
        return true;
    HLOCAL resized = LocalReAlloc(block->handle, capacity, ResizeFlags);
    if (resized == nullptr)
        return false;
    block->handle = resized;
    block->capacity = capacity;
    return true;
}

bool ResizeOpenLocalBlock(LocalBlock *block, uint32_t capacity)
{
    UnlockLocalBlock(block);
    bool resized = FitLocalBlock(block, capacity);
    block->start = static_cast<uint8_t *>(LocalLock(block->handle));
    block->lost = block->start == nullptr;
    return resized && !block->lost;
}

bool MakeRoomInLocalBlock(LocalBlock *block, uint32_t count, uint32_t mostCapacity)
{
    if (block->lost)
        return false;
    if (count <= block->capacity - block->used)
        return true;
    SinkGrowthStep growth = GrowthFor(block->capacity, count);
    auto grownBy = [&](uint32_t step) {
        uint32_t grown;
        return AddSizesValid(block->capacity, step, &grown) ? std::min(grown, mostCapacity) : mostCapacity;
    };
    uint32_t preferred = grownBy(growth.preferred);
    uint32_t least = grownBy(growth.least);
    if (least - block->used < count)
        return false; // not even the least growth could hold it
    return ResizeOpenLocalBlock(block, preferred) || (least < preferred && ResizeOpenLocalBlock(block, least));
}

uint32_t AppendToLocalBlock(LocalBlock *block, const uint8_t *bytes, uint32_t count, uint32_t mostCapacity)
{
    if (count == 0 || !MakeRoomInLocalBlock(block, count, mostCapacity))
        return 0;
    std::memcpy(block->start + block->used, bytes, count);
    block->used += count;
    return count;
}

void UnlockLocalBlock(LocalBlock *block)
{
    if (block->start)
        LocalUnlock(block->handle);
    block->start = nullptr;
}

void FreeLocalBlock(LocalBlock *block)
{
    UnlockLocalBlock(block);
    if (block->handle)
        LocalFree(block->handle);
    *block = {};
}
