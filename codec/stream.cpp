// The streaming decode behind GetPicture.
#include "codec/container.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// Where a decode stands, and what it reads and writes with.
struct StreamDecode {
    Inflater *inflater;
    ByteSource *source;
    ByteSink *sink;
    const DirectOutput *direct; // null: every step goes through the output area
    ProgressCallback progress;
    int32_t userData;
    SourcePosition total;    // the source's length
    int progressShift;       // scales progress numbers down to fit an int
    uint64_t consumedBefore; // container bytes of the chunks already done
    uint8_t *input;          // the read chunk, descrambled in place
    uint8_t *output;         // inflate's output area
};

// How far progress numbers are shifted right so that total, and so every
// numerator, fits the callback's int: not at all below 2 GiB.
int ProgressShiftFor(SourcePosition total)
{
    int shift = 0;
    while ((total >> shift) > INT32_MAX)
        ++shift;
    return shift;
}

int32_t ReportProgress(const StreamDecode &decode, uint64_t consumed)
{
    auto numerator = static_cast<int32_t>((consumed / 2) >> decode.progressShift);
    auto denominator = static_cast<int32_t>(decode.total >> decode.progressShift);
    return decode.progress(numerator, denominator, decode.userData);
}

// Where the next step may inflate straight into the sink, or null.
uint8_t *DirectRoom(const StreamDecode &decode)
{
    return decode.direct ? decode.direct->Room(decode.direct->owner, ChunkSize) : nullptr;
}

enum class ChunkOutcome { Continue, StreamEnded, Failed };

// Runs inflate over one descrambled chunk until the chunk is used up or the
// stream ends; *failure receives the result code when it returns Failed.
ChunkOutcome InflateChunk(StreamDecode &decode, uint32_t chunkLength, int32_t *failure)
{
    z_stream &stream = decode.inflater->stream;
    stream.next_in = decode.input;
    stream.avail_in = chunkLength;
    stream.total_in = 0;
    // A step that fills the output area may leave decoded bytes pending
    // inside inflate even when the chunk is used up; for the last chunk of a
    // cut container nothing else would fetch them.
    bool outputAreaFilled = false;
    while (stream.total_in < chunkLength || outputAreaFilled) {
        uint8_t *room = DirectRoom(decode);
        stream.next_out = room ? room : decode.output;
        stream.avail_out = ChunkSize;
        int stepResult = inflate(&stream, Z_NO_FLUSH);
        uint64_t consumed = decode.consumedBefore + chunkLength - stream.avail_in;
        if (ReportProgress(decode, consumed) != 0) {
            *failure = ResultAborted;
            return ChunkOutcome::Failed;
        }
        uint32_t produced = ChunkSize - stream.avail_out;
        if (room)
            decode.direct->Commit(decode.direct->owner, produced);
        else if (decode.sink->Write(decode.sink, decode.output, produced) != produced) {
            *failure = ResultNoMemory;
            return ChunkOutcome::Failed;
        }
        if (stepResult == Z_STREAM_END)
            // Nothing after the end of the stream belongs to the picture, and
            // inflate would take no more of it.
            return ChunkOutcome::StreamEnded;
        if (stepResult == Z_BUF_ERROR && stream.avail_in == 0)
            // Nothing was pending after all: the chunk is done.
            return ChunkOutcome::Continue;
        if (stepResult != Z_OK) {
            *failure = ResultBrokenData;
            return ChunkOutcome::Failed;
        }
        outputAreaFilled = stream.avail_out == 0;
    }
    return ChunkOutcome::Continue;
}

int32_t RunDecode(StreamDecode &decode)
{
    ByteSource *source = decode.source;
    SourcePosition start = source->Seek(source, 0, SeekFromEnd);
    if (start == -1)
        return ResultFileError;
    decode.total = std::max<SourcePosition>(source->Tell(source), 0);
    decode.progressShift = ProgressShiftFor(decode.total);
    source->Seek(source, start, SeekFromStart);

    std::memset(&decode.inflater->stream, 0, sizeof decode.inflater->stream);
    if (inflateInit(&decode.inflater->stream) != Z_OK)
        return ResultNoMemory;

    decode.consumedBefore = 0;
    for (;;) {
        uint32_t chunkLength = source->Read(source, decode.input, ChunkSize);
        if (chunkLength == 0)
            break;
        Descramble(decode.input, chunkLength);
        int32_t failure = ResultOk;
        ChunkOutcome outcome = InflateChunk(decode, chunkLength, &failure);
        if (outcome == ChunkOutcome::Failed) {
            EndInflater(decode.inflater);
            return failure;
        }
        if (outcome == ChunkOutcome::StreamEnded)
            break;
        decode.consumedBefore += chunkLength;
    }
    return inflateEnd(&decode.inflater->stream) == Z_OK ? ResultOk : ResultBrokenData;
}

} // namespace

int32_t DecodeStreamOn(Inflater *inflater, ByteSource *source, ByteSink *sink, const DirectOutput *direct,
                       DecodeAreas *areas, ProgressCallback progress, int32_t userData)
{
    StreamDecode decode;
    decode.input = areas->input;
    decode.output = areas->output;
    decode.inflater = inflater;
    decode.source = source;
    decode.sink = sink;
    decode.direct = direct;
    decode.progress = progress;
    decode.userData = userData;
    return RunDecode(decode);
}

int32_t DecodeStream(ByteSource *source, ByteSink *sink, ProgressCallback progress, int32_t userData)
{
    HLOCAL areasBlock = LocalAlloc(LMEM_FIXED, sizeof(DecodeAreas));
    auto *areas = areasBlock ? static_cast<DecodeAreas *>(LocalLock(areasBlock)) : nullptr;
    int32_t result = ResultNoMemory;
    if (areas != nullptr) {
        Inflater inflater{};
        result = DecodeStreamOn(&inflater, source, sink, nullptr, areas, progress, userData);
        LocalUnlock(areasBlock);
    }
    if (areasBlock)
        LocalFree(areasBlock);
    return result;
}
