// The stream decoder's inflate step on zlib's inflate (the win32 build).
#include "codec/inflater.h"

#include <cstring>

bool StartStreamInflater(StreamInflater *inflater)
{
    std::memset(&inflater->stream, 0, sizeof inflater->stream);
    return inflateInit(&inflater->stream) == Z_OK;
}

void SetInflateInput(StreamInflater *inflater, const uint8_t *input, uint32_t count)
{
    inflater->stream.next_in = const_cast<uint8_t *>(input);
    inflater->stream.avail_in = count;
}

InflateOutcome InflateInto(StreamInflater *inflater, uint8_t *output, uint32_t room, uint32_t *produced)
{
    z_stream &stream = inflater->stream;
    stream.next_out = output;
    stream.avail_out = room;
    int result = inflate(&stream, Z_NO_FLUSH);
    *produced = room - stream.avail_out;
    switch (result) {
    case Z_STREAM_END:
        return InflateOutcome::Ended;
    case Z_OK:
    case Z_BUF_ERROR: // no progress was possible: the input is used up
        return InflateOutcome::Going;
    default: // damaged data, a preset dictionary, no memory for the window
        return InflateOutcome::Damaged;
    }
}

uint32_t InflateInputLeft(const StreamInflater *inflater) { return inflater->stream.avail_in; }

// zlib counts what it has taken as used.
uint32_t InflateInputHeld(const StreamInflater *) { return 0; }

// inflateEnd refuses, harmlessly, a stream never started or already ended.
void EndStreamInflater(StreamInflater *inflater) { inflateEnd(&inflater->stream); }
