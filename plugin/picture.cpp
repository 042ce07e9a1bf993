// GetPicture: decode a ZQV container and hand the picture to the host.
#include "codec/container.h"
#include "plugin/api.h"
#include "plugin/lock.h"
#include "plugin/picture_sink.h"

namespace {

// Any of these bits set in GetPicture's flags: the data is in memory.
constexpr uint32_t MemoryInputFlags = 0x7;

// The last progress report, after the copies are made.
constexpr int32_t ProgressComplete = 100;

// What one GetPicture works with beside the host's blocks: the source, with
// its read-ahead buffer, in a local block made at the start of the call, and
// the decode's work areas in another, made once the container's length is
// known and sized to it (and the wide output area, which the decode takes
// only for a picture that needs it). They keep the call off the stack of the
// host's thread; sizing them spares a small picture's call new memory, which
// a host under wine pays dearly for.
struct PictureWork {
    ByteSource source;
};

// Runs the decode under the lock; a fault anywhere inside, the host's
// callback included, counts as damaged data and leaves nothing allocated.
int32_t DecodeLocked(StreamDecoder *decoder)
{
    AcquireDecodeLock();
    bool completed = RunGuarded(RunStreamDecoder, decoder);
    EndStreamDecoder(decoder);
    ReleaseDecodeLock();
    return completed ? decoder->result : ResultBrokenData;
}

struct FinalReport {
    ProgressCallback progress;
    intptr_t userData;
    int32_t answer;
};

void ReportComplete(void *context)
{
    auto *report = static_cast<FinalReport *>(context);
    report->answer = report->progress(ProgressComplete, ProgressComplete, report->userData);
}

// The last progress call runs outside the lock, but a fault in the host's
// callback must not take the host down with it here either.
int32_t ReportCompleteGuarded(ProgressCallback progress, intptr_t userData)
{
    FinalReport report{progress, userData, 0};
    if (!RunGuarded(ReportComplete, &report))
        return ResultBrokenData;
    return report.answer != 0 ? ResultAborted : ResultOk;
}

// The length of the container the source holds, from where it stands to its
// end; 0 when the end cannot be found (the decode then reports that itself).
uint64_t ContainerLength(ByteSource *source)
{
    SourceExtent extent;
    if (!MeasureSource(source, &extent) || extent.end <= extent.here)
        return 0;
    return static_cast<uint64_t>(extent.end - extent.here);
}

// Decodes the source, a container of containerLength bytes, into the two
// blocks the host receives, which *info and *bits get on ResultOk only.
int32_t DecodePictureWith(ByteSource *source, DecodeAreas *areas, uint64_t containerLength,
                          ProgressCallback progress, intptr_t userData, HLOCAL *info, HLOCAL *bits)
{
    PictureSink picture;
    int32_t result = OpenPictureSink(&picture, MostDecodedFrom(containerLength));
    if (result != ResultOk)
        return result;
    DirectOutput direct = PictureDirectOutput(&picture);
    StreamDecoder decoder{};
    decoder.source = source;
    decoder.sink = &picture.sink;
    decoder.direct = &direct;
    decoder.areas = areas;
    decoder.progress = progress;
    decoder.userData = userData;
    result = DecodeLocked(&decoder);
    if (result != ResultOk) {
        DiscardPicture(&picture);
        return result;
    }
    return FinishPicture(&picture, info, bits);
}

// DecodePictureWith, on work areas made for the source's container.
int32_t DecodePicture(ByteSource *source, ProgressCallback progress, intptr_t userData, HLOCAL *info, HLOCAL *bits)
{
    uint64_t containerLength = ContainerLength(source);
    LocalBlock areasBlock{};
    if (!AllocateWorkBlock(&areasBlock, DecodeAreasBytes(containerLength)))
        return ResultNoMemory;
    DecodeAreas areas = PlaceDecodeAreas(areasBlock.start, containerLength);
    int32_t result = DecodePictureWith(source, &areas, containerLength, progress, userData, info, bits);
    FreeLocalBlock(&areasBlock);
    return result;
}

// LoadPicture's work once its work block is had.
int32_t LoadPictureWith(PictureWork *work, const char *data, intptr_t lengthOrOffset, uint32_t flags,
                        HLOCAL *infoOut, HLOCAL *bitsOut, ProgressCallback progress, intptr_t userData)
{
    ByteSource *source = &work->source;
    int32_t kind = (flags & MemoryInputFlags) ? SourceMemory : SourceFile;
    int32_t result = OpenSource(source, data, lengthOrOffset, kind);
    if (result != ResultOk)
        return result;

    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;
    result = DecodePicture(source, progress, userData, &info, &bits);
    CloseSource(source);
    if (result == ResultOk)
        result = ReportCompleteGuarded(progress, userData);
    if (result != ResultOk) {
        if (info)
            LocalFree(info);
        if (bits)
            LocalFree(bits);
        return result;
    }
    *infoOut = info;
    *bitsOut = bits;
    return ResultOk;
}

} // namespace

int32_t LoadPicture(const char *data, intptr_t lengthOrOffset, uint32_t flags, HLOCAL *infoOut, HLOCAL *bitsOut,
                    ProgressCallback progress, intptr_t userData)
{
    // Nowhere to put the picture: refused before anything is read or allocated.
    if (infoOut == nullptr || bitsOut == nullptr)
        return ResultMemoryError;
    if (progress == nullptr)
        progress = DefaultProgress;
    LocalBlock workBlock{};
    if (!AllocateLocalBlock(&workBlock, sizeof(PictureWork), LMEM_FIXED))
        return ResultNoMemory;
    auto *work = reinterpret_cast<PictureWork *>(workBlock.start);
    int32_t result = LoadPictureWith(work, data, lengthOrOffset, flags, infoOut, bitsOut, progress, userData);
    FreeLocalBlock(&workBlock);
    return result;
}

int32_t WINAPI GetPicture(const char *data, intptr_t lengthOrOffset, uint32_t flags, HLOCAL *infoOut,
                          HLOCAL *bitsOut, ProgressCallback progress, intptr_t userData)
{
    return LoadPicture(data, lengthOrOffset, flags, infoOut, bitsOut, progress, userData);
}
