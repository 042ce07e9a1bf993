#include "streams/source.h"

#include "plugin/api.h"

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

int32_t FileTell(ByteSource *source)
{
    DWORD filePosition = SetFilePointer(source->handle, 0, nullptr, FILE_CURRENT);
    return static_cast<int32_t>(filePosition - source->available);
}

int32_t FileSeek(ByteSource *source, int32_t offset, int32_t origin)
{
    int32_t before = FileTell(source);
    DWORD moved;
    if (origin == 0)
        moved = SetFilePointer(source->handle, offset, nullptr, FILE_BEGIN);
    else if (origin == 1)
        // The file itself stands past the buffered bytes: count from the
        // logical position instead.
        moved = SetFilePointer(source->handle, static_cast<LONG>(before + static_cast<int64_t>(offset)), nullptr,
                               FILE_BEGIN);
    else if (origin == 2)
        moved = SetFilePointer(source->handle, offset, nullptr, FILE_END);
    else
        return -1;
    if (moved == INVALID_SET_FILE_POINTER)
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
    uint32_t run = std::min(count, source->remaining);
    if (run == 0)
        return 0; // an empty block may have no address at all
    std::memcpy(destination, source->next, run);
    source->next += run;
    source->remaining -= run;
    return run;
}

int32_t MemoryTell(ByteSource *source) { return static_cast<int32_t>(source->next - source->base); }

int32_t MemorySeek(ByteSource *source, int32_t offset, int32_t origin)
{
    int32_t position = MemoryTell(source);
    uint32_t length = static_cast<uint32_t>(position) + source->remaining;
    switch (origin) {
    case 0:
        if (offset < 0 || static_cast<uint32_t>(offset) > length)
            return -1;
        source->next = source->base + offset;
        source->remaining = length - static_cast<uint32_t>(offset);
        break;
    case 1:
        if (offset < 0 || static_cast<uint32_t>(offset) > source->remaining)
            return -1;
        source->next += offset;
        source->remaining -= static_cast<uint32_t>(offset);
        break;
    case 2: {
        // Only backwards from the end, and not past the start.
        uint32_t back = 0u - static_cast<uint32_t>(offset);
        if (offset > 0 || back > length)
            return -1;
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

int32_t OpenSource(ByteSource *source, const char *nameOrAddress, int32_t offsetOrLength, int32_t kind)
{
    if (kind == SourceMemory) {
        source->kind = SourceMemory;
        source->base = reinterpret_cast<const uint8_t *>(nameOrAddress);
        source->next = source->base;
        source->remaining = static_cast<uint32_t>(offsetOrLength);
        source->Refill = MemoryRefill;
        source->GetByte = MemoryGetByte;
        source->Read = MemoryRead;
        source->Tell = MemoryTell;
        source->Seek = MemorySeek;
        return ResultOk;
    }
    if (kind != SourceFile)
        return -1;
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
    // Not examined: past the end there is simply nothing to read, and a
    // negative offset fails to move, leaving the source at the first byte.
    source->Seek(source, offsetOrLength, 0);
    return ResultOk;
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
