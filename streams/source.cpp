#include "streams/source.h"

#include "streams/results.h"

#include <algorithm>
#include <cstring>

namespace {

// --- file kind --------------------------------------------------------------

uint32_t FileRefill(ByteSource *source)
{
    DWORD bytesRead = 0;
    if (!ReadFile(source->handle, source->bufferStart, SourceBufferSize, &bytesRead, nullptr))
        bytesRead = 0;
    source->cursor = source->bufferStart;
    source->available += bytesRead;
    return source->available;
}

int32_t FileGetByte(ByteSource *source)
{
    if (source->available == 0 && source->Refill(source) == 0)
        return -1;
    source->available--;
    return *source->cursor++;
}

uint32_t FileRead(ByteSource *source, uint8_t *destination, uint32_t count)
{
    uint32_t stillWanted = count;
    while (stillWanted > 0) {
        uint32_t run = std::min(stillWanted, source->available);
        std::memcpy(destination, source->cursor, run);
        destination += run;
        source->cursor += run;
        source->available -= run;
        stillWanted -= run;
        if (stillWanted > 0 && source->Refill(source) == 0)
            break;
    }
    return count - stillWanted;
}

// Moves the file itself, with its position's high part, and returns where it
// now stands, or -1. A file of 4 GiB - 1 bytes ends where the low part reads
// like SetFilePointer's failure value: only the last error tells them apart.
SourcePosition MoveFilePointer(HANDLE file, SourcePosition distance, DWORD method)
{
    LONG high = static_cast<LONG>(distance >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file, static_cast<LONG>(distance), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return -1;
    return static_cast<SourcePosition>((uint64_t(static_cast<uint32_t>(high)) << 32) | low);
}

SourcePosition FileTell(ByteSource *source)
{
    SourcePosition filePosition = MoveFilePointer(source->handle, 0, FILE_CURRENT);
    return filePosition < 0 ? -1 : filePosition - source->available;
}

SourcePosition FileSeek(ByteSource *source, SourcePosition offset, int32_t origin)
{
    SourcePosition before = FileTell(source);
    SourcePosition moved;
    if (origin == SeekFromStart)
        moved = MoveFilePointer(source->handle, offset, FILE_BEGIN);
    else if (origin == SeekFromHere)
        // The file itself stands past the buffered bytes: count from the
        // logical position instead.
        moved = before < 0 ? -1 : MoveFilePointer(source->handle, before + offset, FILE_BEGIN);
    else if (origin == SeekFromEnd)
        moved = MoveFilePointer(source->handle, offset, FILE_END);
    else
        return -1;
    if (moved < 0)
        return -1;
    source->available = 0;
    source->cursor = source->bufferStart;
    return before;
}

// --- memory kind ------------------------------------------------------------

uint32_t MemoryRefill(ByteSource *) { return 0; }

int32_t MemoryGetByte(ByteSource *source)
{
    if (source->remaining == 0)
        return -1;
    source->remaining--;
    return *source->next++;
}

uint32_t MemoryRead(ByteSource *source, uint8_t *destination, uint32_t count)
{
    uint32_t run = static_cast<uint32_t>(std::min<size_t>(count, source->remaining));
    if (run == 0)
        return 0; // an empty block may have no address at all
    std::memcpy(destination, source->next, run);
    source->next += run;
    source->remaining -= run;
    return run;
}

SourcePosition MemoryTell(ByteSource *source) { return source->next - source->base; }

SourcePosition MemorySeek(ByteSource *source, SourcePosition offset, int32_t origin)
{
    SourcePosition position = MemoryTell(source);
    size_t length = static_cast<size_t>(position) + source->remaining;
    switch (origin) {
    case SeekFromStart:
        if (offset < 0 || static_cast<size_t>(offset) > length)
            return -1;
        source->next = source->base + offset;
        source->remaining = length - static_cast<size_t>(offset);
        break;
    case SeekFromHere:
        if (offset < 0 || static_cast<size_t>(offset) > source->remaining)
            return -1;
        source->next += offset;
        source->remaining -= static_cast<size_t>(offset);
        break;
    case SeekFromEnd: {
        // Only backwards from the end, and not past the start.
        if (offset > 0 || offset < -SourcePosition(length))
            return -1;
        size_t back = static_cast<size_t>(-offset);
        source->next = source->base + (length - back);
        source->remaining = back;
        break;
    }
    default:
        break;
    }
    return position;
}

void ClearOperations(ByteSource *source)
{
    source->Refill = nullptr;
    source->GetByte = nullptr;
    source->Read = nullptr;
    source->Tell = nullptr;
    source->Seek = nullptr;
}

} // namespace

int32_t OpenSource(ByteSource *source, const char *nameOrAddress, intptr_t offsetOrLength, int32_t kind)
{
    if (kind == SourceMemory) {
        source->kind = SourceMemory;
        source->base = reinterpret_cast<const uint8_t *>(nameOrAddress);
        source->next = source->base;
        source->remaining = static_cast<uintptr_t>(offsetOrLength);
        source->Refill = MemoryRefill;
        source->GetByte = MemoryGetByte;
        source->Read = MemoryRead;
        source->Tell = MemoryTell;
        source->Seek = MemorySeek;
        return ResultOk;
    }
    if (kind != SourceFile)
        return -1;
    // A negative offset names no byte of the file. It is most likely a host's
    // position past 2 GiB in a 32-bit integer; reading from the first byte
    // instead would hand over another picture than the one asked for.
    if (offsetOrLength < 0)
        return ResultFileError;
    HANDLE file = CreateFileA(nameOrAddress, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ResultFileError;
    source->kind = SourceFile;
    source->handle = file;
    source->bufferStart = source->buffer;
    source->cursor = source->buffer;
    source->available = 0;
    source->Refill = FileRefill;
    source->GetByte = FileGetByte;
    source->Read = FileRead;
    source->Tell = FileTell;
    source->Seek = FileSeek;
    // Not examined: past the end there is simply nothing to read.
    source->Seek(source, offsetOrLength, SeekFromStart);
    return ResultOk;
}

bool MeasureSource(ByteSource *source, SourceExtent *extent)
{
    SourcePosition here = source->Seek(source, 0, SeekFromEnd);
    if (here == -1)
        return false;
    *extent = {here, source->Tell(source)};
    source->Seek(source, here, SeekFromStart);
    return true;
}

int32_t CloseSource(ByteSource *source)
{
    if (source->kind == SourceFile) {
        if (source->bufferStart != nullptr) {
            source->bufferStart = nullptr;
            source->cursor = nullptr;
        }
        if (source->handle != INVALID_HANDLE_VALUE) {
            CloseHandle(source->handle);
            source->handle = INVALID_HANDLE_VALUE;
        }
        source->available = 0;
    } else if (source->kind == SourceMemory) {
        source->remaining = 0;
    } else {
        ClearOperations(source);
        return -1;
    }
    ClearOperations(source);
    return 0;
}
