// The streaming decode behind GetPicture.
#include "codec/container.h"

#include <algorithm>
#include <climits>
#include <cstring>

// Every step goes as zlib's would: progress counts the bytes zlib counts.
static_assert(ChunkSize >= InflateRoomLikeZlib);

namespace {

// Where a decode stands: the caller's record and the progress so far.
struct StreamDecode {
    StreamDecoder &decoder;
    SourcePosition total;    // the source's length
    int progressShift;       // scales progress numbers down to fit an int
    uint64_t consumedBefore; // container bytes of the chunks already done
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
    return decode.decoder.progress(numerator, denominator, decode.decoder.userData);
}

// Where the next step may inflate straight into the sink, or null.
uint8_t *DirectRoom(const StreamDecoder &decoder)
{
    return decoder.direct ? decoder.direct->Room(decoder.direct->owner, ChunkSize) : nullptr;
}

enum class ChunkOutcome { Continue, StreamEnded, Failed };

// Runs inflate over one descrambled chunk until the chunk is used up or the
// stream ends; *failure receives the result code when it returns Failed.
//
// The loop's shape: each step points inflate at up to ChunkSize bytes of
// room (straight in the sink where it offers that, else the output area),
// inflates once, reports progress (a stop ends it before the step's output
// is kept), then keeps the output (Commit, or Write to the sink). It goes on
// while the chunk has input left, or while the last step filled its room,
// since inflate may then hold more output.
ChunkOutcome InflateChunk(StreamDecode &decode, uint32_t chunkLength, int32_t *failure)
{
    StreamDecoder &decoder = decode.decoder;
    uint8_t *output = decoder.areas->output;
    StreamInflater *inflater = &decoder.inflater;
    SetInflateInput(inflater, decoder.areas->input, chunkLength);
    // A step that fills the output area may leave decoded bytes pending
    // inside the inflater even when the chunk is used up; for the last chunk
    // of a cut container nothing else would fetch them.
    bool outputAreaFilled = false;
    while (InflateInputLeft(inflater) > 0 || outputAreaFilled) {
        uint8_t *room = DirectRoom(decoder);
        uint32_t produced = 0;
        InflateOutcome outcome = InflateInto(inflater, room ? room : output, ChunkSize, &produced);
        uint64_t consumed =
            decode.consumedBefore + chunkLength - InflateInputLeft(inflater) - InflateInputHeld(inflater);
        if (ReportProgress(decode, consumed) != 0) {
            *failure = ResultAborted;
            return ChunkOutcome::Failed;
        }
        if (room)
            decoder.direct->Commit(decoder.direct->owner, produced);
        else if (decoder.sink->Write(decoder.sink, output, produced) != produced) {
            *failure = ResultNoMemory;
            return ChunkOutcome::Failed;
        }
        if (outcome == InflateOutcome::Ended)
            // Nothing after the end of the stream belongs to the picture, and
            // the inflater would take no more of it.
            return ChunkOutcome::StreamEnded;
        if (outcome == InflateOutcome::Damaged) {
            *failure = ResultBrokenData;
            return ChunkOutcome::Failed;
        }
        outputAreaFilled = produced == ChunkSize;
    }
    return ChunkOutcome::Continue;
}

int32_t RunDecode(StreamDecoder &decoder)
{
    ByteSource *source = decoder.source;
    SourceExtent extent;
    if (!MeasureSource(source, &extent))
        return ResultFileError;
    StreamDecode decode{decoder, std::max<SourcePosition>(extent.end, 0), 0, 0};
    decode.progressShift = ProgressShiftFor(decode.total);

    if (!StartStreamInflater(&decoder.inflater))
        return ResultNoMemory;

    uint8_t *input = decoder.areas->input;
    for (;;) {
        uint32_t chunkLength = source->Read(source, input, decoder.areas->inputSize);
        if (chunkLength == 0)
            break;
        Descramble(input, chunkLength);
        int32_t failure = ResultOk;
        ChunkOutcome outcome = InflateChunk(decode, chunkLength, &failure);
        if (outcome == ChunkOutcome::Failed) {
            EndStreamInflater(&decoder.inflater);
            return failure;
        }
        if (outcome == ChunkOutcome::StreamEnded)
            break;
        decode.consumedBefore += chunkLength;
    }
    EndStreamInflater(&decoder.inflater);
    return ResultOk;
}

} // namespace

int32_t StartFedDecoder(StreamDecoder *decoder)
{
    decoder->fed = 0;
    decoder->streamEnded = false;
    return StartStreamInflater(&decoder->inflater) ? ResultOk : ResultNoMemory;
}

int32_t FeedStreamDecoder(StreamDecoder *decoder, const uint8_t *bytes, uint32_t count)
{
    uint8_t *input = decoder->areas->input;
    while (count > 0 && !decoder->streamEnded) {
        uint32_t chunkLength = std::min(count, decoder->areas->inputSize);
        std::memcpy(input, bytes, chunkLength);
        Descramble(input, chunkLength);
        SourcePosition known = static_cast<SourcePosition>(decoder->fed + count);
        StreamDecode decode{*decoder, known, ProgressShiftFor(known), decoder->fed};
        int32_t failure = ResultOk;
        ChunkOutcome outcome = InflateChunk(decode, chunkLength, &failure);
        if (outcome == ChunkOutcome::Failed) {
            EndStreamInflater(&decoder->inflater);
            return failure;
        }
        decoder->streamEnded = outcome == ChunkOutcome::StreamEnded;
        decoder->fed += chunkLength;
        bytes += chunkLength;
        count -= chunkLength;
    }
    return ResultOk;
}

void RunStreamDecoder(void *decoder)
{
    auto *record = static_cast<StreamDecoder *>(decoder);
    record->result = RunDecode(*record);
}

uint32_t DecodeAreasBytes(uint64_t containerLength)
{
    return static_cast<uint32_t>(std::min<uint64_t>(containerLength, ChunkSize)) + ChunkSize;
}

DecodeAreas PlaceDecodeAreas(uint8_t *memory, uint64_t containerLength)
{
    uint32_t inputSize = static_cast<uint32_t>(std::min<uint64_t>(containerLength, ChunkSize));
    return {memory + ChunkSize, inputSize, memory};
}

int32_t DecodeStream(ByteSource *source, ByteSink *sink, ProgressCallback progress, intptr_t userData)
{
    LocalBlock areasBlock{};
    if (!AllocateLocalBlock(&areasBlock, DecodeAreasBytes(UINT64_MAX), LMEM_FIXED))
        return ResultNoMemory;
    DecodeAreas areas = PlaceDecodeAreas(areasBlock.start, UINT64_MAX);
    StreamDecoder decoder{};
    decoder.source = source;
    decoder.sink = sink;
    decoder.areas = &areas;
    decoder.progress = progress;
    decoder.userData = userData;
    RunStreamDecoder(&decoder);
    EndStreamInflater(&decoder.inflater);
    FreeLocalBlock(&areasBlock);
    return decoder.result;
}
