// streams/sink.h -- ByteSink, where the decoded bytes go.
//
// A ByteSink collects a stream of bytes in one growable block of local memory
// and, when closed, hands that block's handle to a variable its opener named.
// Like ByteSource it is a plain record carrying its own table of operations,
// filled in at open time. Only the memory kind (1) opens here; GetPicture
// writes to a sink of its own kind, the PictureSink (plugin/picture_sink.h),
// which lays the decoded file out as the host's two blocks.
//
// The block's first block.used bytes are the stream so far, and the rest of
// it is zero.
#pragma once

#include "platform/platform.h"
#include "streams/local_block.h"
#include "streams/source.h"

#include <cstdint>

struct ByteSink {
    int32_t kind;
    LocalBlock block;    // the stream so far
    HLOCAL *destination; // where CloseSink delivers the block's handle

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


// Unlocks the block and stores its handle through the destination given at
// open; from then on the block belongs to whoever holds that variable. Clears
// PutByte, Write and Flush (Size stays). 0, or -1 for an unknown kind.
int32_t CloseSink(ByteSink *sink);
