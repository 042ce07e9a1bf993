#include "streams/sink.h"

#include "plugin/api.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr UINT SinkBlockFlags = LMEM_MOVEABLE | LMEM_ZEROINIT;

// Reallocates the unlocked block to newCapacity bytes; false if it cannot.
bool ResizeBlock(ByteSink *sink, uint64_t newCapacity)
{
    if (newCapacity > UINT32_MAX)
        return false;
    HLOCAL resized = LocalReAlloc(sink->block, static_cast<size_t>(newCapacity), SinkBlockFlags);
    if (resized == nullptr)
        return false;
    sink->block = resized;
    sink->capacity = static_cast<uint32_t>(newCapacity);
    return true;
}

// Makes room for count more bytes, growing as GrowthFor says.
bool MakeRoom(ByteSink *sink, uint32_t count)
{
    uint32_t used = static_cast<uint32_t>(sink->cursor - sink->start);
    if (count <= sink->capacity - used)
        return true;
    SinkGrowthStep growth = GrowthFor(sink->capacity, count);
    LocalUnlock(sink->block);
    bool grown = ResizeBlock(sink, uint64_t(sink->capacity) + growth.preferred) ||
                 (growth.preferred > growth.least && ResizeBlock(sink, uint64_t(sink->capacity) + growth.least));
    // Locked again whether or not it grew; it may have moved.
    sink->start = static_cast<uint8_t *>(LocalLock(sink->block));
    sink->cursor = sink->start ? sink->start + used : nullptr;
    return grown && sink->start != nullptr;
}

uint32_t MemoryWrite(ByteSink *sink, const uint8_t *bytes, uint32_t count)
{
    // A block that could not be locked again after growing takes nothing more.
    if (count == 0 || sink->start == nullptr)
        return 0;
    if (!MakeRoom(sink, count))
        return 0;
    std::memcpy(sink->cursor, bytes, count);
    sink->cursor += count;
    return count;
}

int32_t MemoryPutByte(ByteSink *sink, int32_t value)
{
    if (sink->start != nullptr && sink->cursor < sink->start + sink->capacity) {
        *sink->cursor++ = static_cast<uint8_t>(value);
        return value;
    }
    uint8_t byte = static_cast<uint8_t>(value);
    return sink->Write(sink, &byte, 1) == 1 ? value : -1;
}

int32_t MemorySize(ByteSink *sink) { return static_cast<int32_t>(sink->cursor - sink->start); }

int32_t MemoryFlush(ByteSink *) { return 0; }

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

int32_t OpenSink(ByteSink *sink, HLOCAL *target, int32_t kind, int32_t initialSize)
{
    if (kind != SourceMemory)
        return -1;
    // A zero-sized moveable block cannot be locked, so 0 takes the default too.
    uint32_t size = initialSize <= 0 ? SinkGrowth : static_cast<uint32_t>(initialSize);
    sink->kind = SourceMemory;
    HLOCAL block = LocalAlloc(SinkBlockFlags, size);
    uint8_t *start = block ? static_cast<uint8_t *>(LocalLock(block)) : nullptr;
    if (start == nullptr) {
        if (block)
            LocalFree(block);
        *target = nullptr;
        return ResultNoMemory;
    }
    sink->start = start;
    sink->cursor = start;
    sink->capacity = size;
    sink->block = block;
    sink->destination = target;
    sink->PutByte = MemoryPutByte;
    sink->Write = MemoryWrite;
    sink->Size = MemorySize;
    sink->Flush = MemoryFlush;
    return ResultOk;
}

int32_t CloseSink(ByteSink *sink)
{
    if (sink->kind != SourceMemory)
        return -1;
    sink->Flush(sink);
    LocalUnlock(sink->block);
    *sink->destination = sink->block;
    sink->block = nullptr;
    sink->PutByte = nullptr;
    sink->Write = nullptr;
    sink->Flush = nullptr;
    return 0;
}
