// The streaming decode behind GetPicture.
#include "codec/container.h"

#include <algorithm>
#include <climits>
#include <cstring>

// Every step goes as zlib's would: progress counts the bytes zlib counts.
static_assert(WideTurnSize >= InflateRoomLikeZlib);
// A step's turns: the first, one to make up the rest, and a wide one.
static_assert(ChunkSize - FirstTurnSize >= WideTurnSize && ChunkSize - FirstTurnSize <= 2 * WideTurnSize);

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

// What one inflate step did: its outcome, all it gave, and the output not yet
// kept (the step's last turn), at the sink's own room or an output area.
struct Step {
    InflateOutcome outcome;
    uint32_t produced;
    uint8_t *unkept;
    uint32_t unkeptCount;
    bool direct;   // unkept is the sink's room: Commit keeps it
    bool cutShort; // the step could not go on: the sink did not take an
                   // earlier turn's output, or the wide area could not be had
};

// The wide output area, taken the first time a step needs it; null when it
// cannot be had.
uint8_t *WideArea(StreamDecoder &decoder)
{
    if (decoder.wideArea.start == nullptr)
        AllocateWorkBlock(&decoder.wideArea, WideTurnSize);
    return decoder.wideArea.start;
}

// The room of a step's next turn in the wide area, with produced bytes given
// so far: so much that the step's last turn is a whole wide area.
uint32_t WideTurnRoom(uint32_t produced)
{
    uint32_t left = ChunkSize - produced;
    return left > WideTurnSize ? left - WideTurnSize : left;
}

// One step, ChunkSize bytes of room: straight in the sink where it offers
// that, else in turns through the output areas (DecodeAreas, in
// codec/container.h), each full turn written to the sink before the next.
Step TakeStep(StreamDecoder &decoder)
{
    Step step{};
    if (uint8_t *room = DirectRoom(decoder)) {
        step.outcome = InflateInto(&decoder.inflater, room, ChunkSize, &step.produced);
        step.unkept = room;
        step.unkeptCount = step.produced;
        step.direct = true;
        return step;
    }
    step.unkept = decoder.areas->output;
    uint32_t turnRoom = FirstTurnSize;
    for (;;) {
        step.outcome = InflateInto(&decoder.inflater, step.unkept, turnRoom, &step.unkeptCount);
        step.produced += step.unkeptCount;
        bool turnFilled = step.unkeptCount == turnRoom;
        if (step.outcome != InflateOutcome::Going || !turnFilled || step.produced == ChunkSize)
            return step;
        if (decoder.sink->Write(decoder.sink, step.unkept, step.unkeptCount) != step.unkeptCount) {
            step.cutShort = true;
            return step;
        }
        step.unkeptCount = 0;
        step.unkept = WideArea(decoder);
        if (step.unkept == nullptr) {
            step.cutShort = true;
            return step;
        }
        turnRoom = WideTurnRoom(step.produced);
    }
}

// Keeps the step's last output; false when the sink cannot take it.
bool KeepStepOutput(StreamDecoder &decoder, const Step &step)
{
    if (step.direct) {
        decoder.direct->Commit(decoder.direct->owner, step.unkeptCount);
        return true;
    }
    return !step.cutShort &&
           decoder.sink->Write(decoder.sink, step.unkept, step.unkeptCount) == step.unkeptCount;
}

enum class ChunkOutcome { Continue, StreamEnded, Failed };

// Runs inflate over one descrambled chunk until the chunk is used up or the
// stream ends; *failure receives the result code when it returns Failed.
//
// The loop's shape: each step inflates into up to ChunkSize bytes of room
// (TakeStep), reports progress (a stop ends it before the step's output is
// kept), then keeps the output (Commit, or Write to the sink). It goes on
// while the chunk has input left, or while the last step filled its room,
// since inflate may then hold more output.
ChunkOutcome InflateChunk(StreamDecode &decode, uint32_t chunkLength, int32_t *failure)
{
    StreamDecoder &decoder = decode.decoder;
    StreamInflater *inflater = &decoder.inflater;
    SetInflateInput(inflater, decoder.areas->input, chunkLength);
    // A step that fills its room may leave decoded bytes pending inside the
    // inflater even when the chunk is used up; for the last chunk of a cut
    // container nothing else would fetch them.
    bool roomFilled = false;
    while (InflateInputLeft(inflater) > 0 || roomFilled) {
        Step step = TakeStep(decoder);
        uint64_t consumed =
            decode.consumedBefore + chunkLength - InflateInputLeft(inflater) - InflateInputHeld(inflater);
        if (ReportProgress(decode, consumed) != 0) {
            *failure = ResultAborted;
            return ChunkOutcome::Failed;
        }
        if (!KeepStepOutput(decoder, step)) {
            *failure = ResultNoMemory;
            return ChunkOutcome::Failed;
        }
        if (step.outcome == InflateOutcome::Ended)
            // Nothing after the end of the stream belongs to the picture, and
            // the inflater would take no more of it.
            return ChunkOutcome::StreamEnded;
        if (step.outcome == InflateOutcome::Damaged) {
            *failure = ResultBrokenData;
            return ChunkOutcome::Failed;
        }
        roomFilled = step.produced == ChunkSize;
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
            EndStreamDecoder(&decoder);
            return failure;
        }
        if (outcome == ChunkOutcome::StreamEnded)
            break;
        decode.consumedBefore += chunkLength;
    }
    EndStreamDecoder(&decoder);
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
            EndStreamDecoder(decoder);
            return failure;
        }
        decoder->streamEnded = outcome == ChunkOutcome::StreamEnded;
        decoder->fed += chunkLength;
        bytes += chunkLength;
        count -= chunkLength;
    }
    return ResultOk;
}

void EndStreamDecoder(StreamDecoder *decoder)
{
    EndStreamInflater(&decoder->inflater);
    FreeLocalBlock(&decoder->wideArea);
}

void RunStreamDecoder(void *decoder)
{
    auto *record = static_cast<StreamDecoder *>(decoder);
    record->result = RunDecode(*record);
}

uint32_t DecodeAreasBytes(uint64_t containerLength)
{
    return static_cast<uint32_t>(std::min<uint64_t>(containerLength, ChunkSize)) + FirstTurnSize;
}

DecodeAreas PlaceDecodeAreas(uint8_t *memory, uint64_t containerLength)
{
    uint32_t inputSize = static_cast<uint32_t>(std::min<uint64_t>(containerLength, ChunkSize));
    return {memory + FirstTurnSize, inputSize, memory};
}

int32_t DecodeStream(ByteSource *source, ByteSink *sink, ProgressCallback progress, intptr_t userData)
{
    LocalBlock areasBlock{};
    if (!AllocateWorkBlock(&areasBlock, DecodeAreasBytes(UINT64_MAX)))
        return ResultNoMemory;
    DecodeAreas areas = PlaceDecodeAreas(areasBlock.start, UINT64_MAX);
    StreamDecoder decoder{};
    decoder.source = source;
    decoder.sink = sink;
    decoder.areas = &areas;
    decoder.progress = progress;
    decoder.userData = userData;
    RunStreamDecoder(&decoder);
    EndStreamDecoder(&decoder);
    FreeLocalBlock(&areasBlock);
    return decoder.result;
}
