// IsSupported: is this the head of a ZQV picture?
#include "codec/container.h"
#include "plugin/api.h"
#include "plugin/lock.h"

#include <cstring>

namespace {

// Bytes of the file examined, and the room their decompressed start gets.
constexpr uint32_t HeadSize = 2048;
constexpr uint32_t HeadOutputSize = 1024;

// Values up to this are file handles; above it, buffer addresses.
constexpr HandleOrAddress LargestHandle = 0xFFFF;

struct ProbeWork {
    const uint8_t *hostHead; // null when the head came from a file
    Inflater inflater;
    int32_t decoded;
    uint8_t head[HeadSize];
    uint8_t output[HeadOutputSize];
};

// Runs under the fault guard: the host's buffer is read here, so an
// unreadable address faults inside the guard. The copy keeps the host's
// buffer unchanged, since a host hands the same head to every plug-in in turn.
void DecodeHead(void *context)
{
    auto *work = static_cast<ProbeWork *>(context);
    if (work->hostHead != nullptr)
        std::memcpy(work->head, work->hostHead, HeadSize);
    work->decoded = DecodeBlockOn(&work->inflater, work->head, work->output, HeadSize, HeadOutputSize);
}

// zlib's word for a stream whose deflate data ended soundly but whose
// Adler-32 trailer does not match.
constexpr const char *WrongChecksum = "incorrect data check";

// A stream that ends within the head with a wrong checksum is a file shorter
// than the head whose trailer the host's padding stands in for, or damaged
// there: either way, what the head decoded to is judged, as for any longer
// file, whose end the probe never sees. The picture is then shown as far as
// it goes, or refused as damaged data.
bool OnlyChecksumFailed(const Inflater &inflater)
{
    return inflater.stream.msg != nullptr && std::strcmp(inflater.stream.msg, WrongChecksum) == 0;
}

bool ReadHead(HANDLE file, uint8_t *head)
{
    DWORD bytesRead = 0;
    return ReadFile(file, head, HeadSize, &bytesRead, nullptr) && bytesRead == HeadSize;
}

} // namespace

int32_t ProbeHead(HandleOrAddress headOrHandle, bool fromMemory)
{
    ProbeWork work{};
    if (fromMemory)
        work.hostHead = reinterpret_cast<const uint8_t *>(headOrHandle);
    else if (!ReadHead(reinterpret_cast<HANDLE>(headOrHandle), work.head))
        return 0;

    AcquireDecodeLock();
    bool completed = RunGuarded(DecodeHead, &work);
    EndInflater(&work.inflater);
    ReleaseDecodeLock();

    // Only decoded bytes count: a stream that ends before a whole file header
    // is no picture, whatever the cleared output area holds.
    bool wholeHeader = work.inflater.stream.total_out >= BmpFileHeaderSize;
    bool decoded = work.decoded || OnlyChecksumFailed(work.inflater);
    return completed && decoded && wholeHeader && HasBmpFileHeader(work.output);
}

int32_t WINAPI IsSupported(const char *, HandleOrAddress headOrHandle)
{
    return ProbeHead(headOrHandle, headOrHandle > LargestHandle) ? 1 : 0;
}
