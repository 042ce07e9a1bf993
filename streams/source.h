// streams/source.h -- ByteSource, where the container is read from.
//
// A ByteSource reads either a file, from a byte offset on, or a block of
// memory. It is a plain record that carries its own table of operations,
// filled in by OpenSource according to the kind; callers reach every
// operation through the record, passing it as the first argument, and never
// branch on the kind. The record lives in the caller's storage and allocates
// nothing.
//
// Read errors after opening are not reported as such: they look like the end
// of the data.
#pragma once

#include "platform/platform.h"

#include <cstdint>

enum SourceKind : int32_t {
    SourceFile = 0,
    SourceMemory = 1,
};

// Where Seek counts from.
enum SeekOrigin : int32_t {
    SeekFromStart = 0,
    SeekFromHere = 1,
    SeekFromEnd = 2,
};

// A position in a source, counted from its first byte. 64 bits wide: a file
// may be 2 GiB or larger even where memory addresses are 32 bits.
typedef int64_t SourcePosition;

// Read-ahead buffer of a file source.
constexpr uint32_t SourceBufferSize = 16384;

struct ByteSource {
    int32_t kind;
    uint8_t buffer[SourceBufferSize]; // file: read-ahead; memory: unused

    // The next three fields mean different things for each kind.
    union {
        HANDLE handle;       // file: the open file; INVALID_HANDLE_VALUE once closed
        const uint8_t *base; // memory: the block's first byte
    };
    union {
        uint8_t *bufferStart; // file: the buffer's address
        const uint8_t *next;  // memory: the next unread byte
    };
    union {
        uint8_t *cursor;    // file: the next unread byte in the buffer
        size_t remaining;   // memory: unread bytes left in the block
    };
    uint32_t available; // file: unread bytes in the buffer, from cursor on

    // Refills the file buffer; used only when no unread bytes remain. Returns
    // the unread bytes after refilling, 0 at the end (always 0 for memory).
    uint32_t (*Refill)(ByteSource *source);
    // The next byte (0..255), or -1 at the end.
    int32_t (*GetByte)(ByteSource *source);
    // Copies up to count bytes; fewer only at the end.
    uint32_t (*Read)(ByteSource *source, uint8_t *destination, uint32_t count);
    // The offset of the next byte that GetByte or Read would deliver; -1 when
    // the file cannot tell.
    SourcePosition (*Tell)(ByteSource *source);
    // Moves to offset counted from the start, the current position or the end
    // (SeekOrigin). Returns the position before the move, or -1 when the move
    // is refused or fails, and then nothing moved. A memory source moves only
    // within its block, and from here only forward.
    SourcePosition (*Seek)(ByteSource *source, SourcePosition offset, int32_t origin);
};

// Opens a file source on the file named by nameOrAddress, positioned at byte
// offsetOrLength (an offset at or past the end leaves nothing to read), or a
// memory source on the offsetOrLength bytes at nameOrAddress, which stay the
// caller's. ResultOk; ResultFileError when the file cannot be opened or the
// offset is negative (it names no byte of the file), and then the record
// stays unopened (do not use or close it); -1 for an unknown kind.
int32_t OpenSource(ByteSource *source, const char *nameOrAddress, intptr_t offsetOrLength, int32_t kind);

// Where a source stands and where it ends, as Tell gives them.
struct SourceExtent {
    SourcePosition here;
    SourcePosition end;
};

// Measures the source by moving to its end and back; the one way its length
// is found. False when its end cannot be found, and then it did not move.
bool MeasureSource(ByteSource *source, SourceExtent *extent);

// Closes the file (the memory block is not the source's to free) and clears
// the operation slots. 0, or -1 for an unknown kind.
int32_t CloseSource(ByteSource *source);
