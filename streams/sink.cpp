#include "streams/sink.h"

#include "streams/results.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr UINT SinkBlockFlags = LMEM_MOVEABLE | LMEM_ZEROINIT;
constexpr uint32_t MostSinkBytes = UINT32_MAX;

uint32_t MemoryWrite(ByteSink *sink, const uint8_t *bytes, uint32_t count)
{
    return AppendToLocalBlock(&sink->block, bytes, count, MostSinkBytes);
}

int32_t MemoryPutByte(ByteSink *sink, int32_t value)
{
    uint8_t byte = static_cast<uint8_t>(value);
    return sink->Write(sink, &byte, 1) == 1 ? value : -1;
}

int32_t MemorySize(ByteSink *sink) { return static_cast<int32_t>(sink->block.used); }

int32_t MemoryFlush(ByteSink *) { return 0; }

} // namespace

int32_t OpenSink(ByteSink *sink, HLOCAL *target, int32_t kind, int32_t initialSize)
{
    if (kind != SourceMemory)
        return -1;
    // A zero-sized moveable block cannot be locked, so 0 takes the default too.
    uint32_t size = initialSize <= 0 ? SinkGrowth : static_cast<uint32_t>(initialSize);
    sink->kind = SourceMemory;
    if (!AllocateLocalBlock(&sink->block, size, SinkBlockFlags)) {
        *target = nullptr;
        return ResultNoMemory;
    }
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
    UnlockLocalBlock(&sink->block);
    *sink->destination = sink->block.handle;
    sink->block.handle = nullptr;
    sink->PutByte = nullptr;
    sink->Write = nullptr;
    sink->Flush = nullptr;
    return 0;
}
