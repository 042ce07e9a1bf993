// streams/sink.h -- ByteSink, where the decoded bytes go.
//
// A ByteSink collects a stream of bytes in one growable block of local memory
// and, when closed, hands that block's handle to a variable its opener named.
// Like ByteSource it is a plain record carrying its own table of operations,
// filled in at open time. Only the memory kind (1) exists.
//
// Invariant: start <= cursor <= start + capacity; the bytes from start to the
// cursor are the stream so far, and the rest of the block is zero.
#pragma once

#include "platform/platform.h"
#include "streams/source.h"

#include <cstdint>

// The default initial size, and the least amount by which the block grows.
constexpr uint32_t SinkGrowth = 16384;

struct ByteSink {
    int32_t kind;
    uint8_t *start;       // the locked block
    uint8_t *cursor;      // where the next byte goes
    uint32_t capacity;    // the block's size in bytes
    HLOCAL block;         // the block's handle
    HLOCAL *destination;  // where CloseSink delivers the handle

    // Appends one byte (the low byte of value). Returns value, or -1 when the
    // block cannot grow.
    int32_t (*PutByte)(ByteSink *sink, int32_t value);
    // Appends count bytes and returns count, or 0 when the block cannot grow,
    // and then the sink is as it was. The block at least doubles whenever it
    // must grow, so a stream written in pieces costs few reallocations.
    uint32_t (*Write)(ByteSink *sink, const uint8_t *bytes, uint32_t count);
    // Bytes held so far; still answers after CloseSink.
    int32_t (*Size)(ByteSink *sink);
    // Nothing to flush: 0.
    int32_t (*Flush)(ByteSink *sink);
};

// Opens a memory sink (kind SourceMemory) whose block starts with initialSize
// zero bytes (SinkGrowth when initialSize is 0 or less). ResultOk;
// ResultNoMemory when the block cannot be had, and then a null handle is
// stored through target; -1 for any other kind.
int32_t OpenSink(ByteSink *sink, HLOCAL *target, int32_t kind, int32_t initialSize);

// How far a block of capacity bytes grows to take count more bytes: the
// growth to try first (at least the block's own size, so a stream written in
// pieces costs few reallocations and stays linear), and the least worth
// trying when that cannot be had (count, but never below SinkGrowth or an
// eighth of the block, so a nearly full address space is not copied through
// for every small piece). Every block that collects a stream grows this way.
struct SinkGrowthStep {
    uint32_t preferred;
    uint32_t least;
};
SinkGrowthStep GrowthFor(uint32_t capacity, uint32_t count);

// Unlocks the block and stores its handle through the destination given at
// open; from then on the block belongs to whoever holds that variable. Clears
// PutByte, Write and Flush (Size stays). 0, or -1 for an unknown kind.
int32_t CloseSink(ByteSink *sink);
