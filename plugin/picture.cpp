// GetPicture: decode a ZQV container and hand the picture to the host.
#include "codec/container.h"
#include "plugin/api.h"
#include "plugin/lock.h"

#include <cstring>

namespace {

// Any of these bits set in GetPicture's flags: the data is in memory.
constexpr uint32_t MemoryInputFlags = 0x7;

// The picture blocks the host receives.
constexpr UINT PictureBlockFlags = LMEM_FIXED | LMEM_ZEROINIT;
// The last progress report, after the copies are made.
constexpr int32_t ProgressComplete = 100;

struct DecodeWork {
    Inflater inflater;
    ByteSource *source;
    ByteSink *sink;
    ProgressCallback progress;
    int32_t userData;
    int32_t result;
};

void DecodeGuarded(void *context)
{
    auto *work = static_cast<DecodeWork *>(context);
    work->result = DecodeStreamOn(&work->inflater, work->source, work->sink, work->progress, work->userData);
}

// Decodes under the lock; a fault anywhere inside, the host's callback
// included, counts as damaged data and leaves nothing allocated.
int32_t DecodeLocked(ByteSource *source, ByteSink *sink, ProgressCallback progress, int32_t userData)
{
    DecodeWork work{};
    work.source = source;
    work.sink = sink;
    work.progress = progress;
    work.userData = userData;
    AcquireDecodeLock();
    bool completed = RunGuarded(DecodeGuarded, &work);
    EndInflater(&work.inflater);
    ReleaseDecodeLock();
    return completed ? work.result : ResultBrokenData;
}

// The two blocks handed to the host, and the decoded file they come from.
struct Picture {
    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;

    void Free()
    {
        if (info)
            LocalFree(info);
        if (bits)
            LocalFree(bits);
        info = bits = nullptr;
    }
};

HLOCAL AllocateFilled(const uint8_t *bytes, uint32_t count, uint32_t blockSize)
{
    HLOCAL block = LocalAlloc(PictureBlockFlags, blockSize);
    if (block == nullptr || count == 0)
        return block; // an empty block has nothing to copy, and may not lock
    void *address = LocalLock(block);
    if (address == nullptr) {
        LocalFree(block);
        return nullptr;
    }
    std::memcpy(address, bytes, count);
    LocalUnlock(block);
    return block;
}

// Splits the decoded BMP file into the bitmap information and the pixel data.
int32_t SplitPicture(const uint8_t *file, uint32_t size, Picture *picture)
{
    // Only bytes that were decoded are examined.
    if (size < BmpFileHeaderSize || !HasBmpFileHeader(file))
        return ResultBadFormat;
    uint32_t pixelOffset = BmpPixelDataOffset(file);
    if (pixelOffset < BmpFileHeaderSize)
        return ResultNoMemory;
    if (pixelOffset > size)
        return ResultBadFormat;
    uint32_t infoSize = pixelOffset - BmpFileHeaderSize;
    picture->info = AllocateFilled(file + BmpFileHeaderSize, infoSize, infoSize);
    if (picture->info == nullptr)
        return ResultNoMemory;
    // As long as the whole file: the pixel data first, zeros after it.
    picture->bits = AllocateFilled(file + pixelOffset, size - pixelOffset, size);
    if (picture->bits == nullptr)
        return ResultNoMemory;
    return ResultOk;
}

struct FinalReport {
    ProgressCallback progress;
    int32_t userData;
    int32_t answer;
};

void ReportComplete(void *context)
{
    auto *report = static_cast<FinalReport *>(context);
    report->answer = report->progress(ProgressComplete, ProgressComplete, report->userData);
}

// The last progress call runs outside the lock, but a fault in the host's
// callback must not take the host down with it here either.
int32_t ReportCompleteGuarded(ProgressCallback progress, int32_t userData)
{
    FinalReport report{progress, userData, 0};
    if (!RunGuarded(ReportComplete, &report))
        return ResultBrokenData;
    return report.answer != 0 ? ResultAborted : ResultOk;
}

int32_t DeliverDecoded(HLOCAL decoded, uint32_t size, HLOCAL *infoOut, HLOCAL *bitsOut, ProgressCallback progress,
                       int32_t userData)
{
    auto *file = static_cast<const uint8_t *>(LocalLock(decoded));
    if (file == nullptr)
        return ResultMemoryError;
    Picture picture;
    int32_t result = SplitPicture(file, size, &picture);
    LocalUnlock(decoded);
    if (result == ResultOk)
        result = ReportCompleteGuarded(progress, userData);
    if (result != ResultOk) {
        picture.Free();
        return result;
    }
    *infoOut = picture.info;
    *bitsOut = picture.bits;
    return ResultOk;
}

} // namespace

int32_t LoadPicture(const char *data, int32_t lengthOrOffset, uint32_t flags, HLOCAL *infoOut, HLOCAL *bitsOut,
                    ProgressCallback progress, int32_t userData)
{
    if (progress == nullptr)
        progress = DefaultProgress;
    ByteSource source;
    int32_t kind = (flags & MemoryInputFlags) ? SourceMemory : SourceFile;
    int32_t result = OpenSource(&source, data, lengthOrOffset, kind);
    if (result != ResultOk)
        return result;

    HLOCAL decoded = nullptr;
    ByteSink sink;
    result = OpenSink(&sink, &decoded, SourceMemory, ChunkSize);
    if (result != ResultOk) {
        CloseSource(&source);
        return result;
    }
    result = DecodeLocked(&source, &sink, progress, userData);
    CloseSink(&sink);
    if (result == ResultOk)
        result = DeliverDecoded(decoded, static_cast<uint32_t>(sink.Size(&sink)), infoOut, bitsOut, progress,
                                userData);
    LocalFree(decoded);
    CloseSource(&source);
    return result;
}

int32_t WINAPI GetPicture(const char *data, int32_t lengthOrOffset, uint32_t flags, HLOCAL *infoOut,
                          HLOCAL *bitsOut, ProgressCallback progress, int32_t userData)
{
    return LoadPicture(data, lengthOrOffset, flags, infoOut, bitsOut, progress, userData);
}
