// streams/local_block.h -- LocalBlock, a block of local memory being filled.
//
// Both sinks collect bytes in a block of the platform's local memory that
// stays locked while it fills and grows as more comes: the memory ByteSink
// (streams/sink.h) and the PictureSink that GetPicture writes to
// (plugin/picture_sink.h). A LocalBlock is that block, with the one way it
// grows. The record lives in its owner; start it zeroed (LocalBlock{}).
#pragma once

#include "platform/platform.h"

#include <cstdint>

struct LocalBlock {
    HLOCAL handle;     // null until allocated
    uint8_t *start;    // the block's bytes while it is locked, else null
    uint32_t used;     // bytes filled from the start
    uint32_t capacity; // the block's size
    // A growth moved the block and it could not be locked again: its bytes
    // cannot be reached any more, and it takes nothing more.
    bool lost;
};

// The least a block that must grow gains (also the default initial size of
// a memory sink).
constexpr uint32_t SinkGrowth = 16384;

// How far a block of capacity bytes grows to take count more bytes: the
// growth to try first (at least the block's own size, so a stream written in
// pieces costs few reallocations and stays linear), and the least worth
// trying when that cannot be had (count, but never below SinkGrowth or an
// eighth of the block, so a nearly full address space is not copied through
// for every small piece).
struct SinkGrowthStep {
    uint32_t preferred;
    uint32_t least;
};
SinkGrowthStep GrowthFor(uint32_t capacity, uint32_t count);

// The size arithmetic's overflow checks: the sum of two sizes when it fits a
// 32-bit count (the most a block holds), and the product of two when it fits
// 64 bits. Every size a block is given is counted with these.
inline bool AddSizesValid(uint64_t a, uint64_t b, uint32_t *sum)
{
    uint64_t total;
    if (__builtin_add_overflow(a, b, &total) || total > UINT32_MAX)
        return false;
    *sum = static_cast<uint32_t>(total);
    return true;
}
inline bool MulSizesValid(uint64_t a, uint64_t b, uint64_t *product) { return !__builtin_mul_overflow(a, b, product); }

// Allocates capacity zero bytes, fixed or moveable as flags say (with
// LMEM_ZEROINIT), and locks them. False, with nothing allocated, when they
// cannot be had.
bool AllocateLocalBlock(LocalBlock *block, uint32_t capacity, UINT flags);

// AllocateLocalBlock for a work area, fixed and not zero-filled: nothing
// reads what was not written there, and zeroing would touch every page.
bool AllocateWorkBlock(LocalBlock *block, uint32_t capacity);

// Appends count bytes, making room as GrowBy says but never beyond
// mostCapacity. Returns count, or 0 when no room can be made (or the block is
// lost), and then nothing was appended.
uint32_t AppendToLocalBlock(LocalBlock *block, const uint8_t *bytes, uint32_t count, uint32_t mostCapacity);

// Makes room for count more bytes, growing as GrowthFor says (streams/sink.h)
// but never beyond mostCapacity; false when it cannot.
bool MakeRoomInLocalBlock(LocalBlock *block, uint32_t count, uint32_t mostCapacity);

// Gives a locked block a new capacity: unlocks it, reallocates it (what it
// gains is zero), and locks it again whether or not that worked, since it may
// have moved. False when it did not change, or when it is now lost.
bool ResizeOpenLocalBlock(LocalBlock *block, uint32_t capacity);

// Gives an unlocked block exactly capacity bytes, what it gains zero; false,
// and the block unchanged, when that cannot be had.
bool FitLocalBlock(LocalBlock *block, uint32_t capacity);

// Unlocks the block (harmless when it is not locked).
void UnlockLocalBlock(LocalBlock *block);

// Unlocks and frees the block, leaving the record as new. Safe to repeat.
void FreeLocalBlock(LocalBlock *block);
