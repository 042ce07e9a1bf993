// The stream decoder's inflate step on ISA-L's inflate (the win64 and native
// builds). ISA-L decodes raw deflate data and checks the Adler-32 trailer
// (ISAL_ZLIB_NO_HDR_VER); the zlib header in front is judged here, by zlib's
// rules, which are stricter than ISA-L's own: ISA-L takes a window above
// 32 KB, and answers a preset dictionary with a request for it.
#include "codec/inflater.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdlib>

static_assert(InflateRoomLikeZlib == sizeof(inflate_state::tmp_out_buffer),
              "the room that keeps ISA-L from decoding ahead is its own output buffer's size");

namespace {

constexpr uint32_t ZlibHeaderSize = 2;
constexpr uint32_t DictionaryIdSize = 4; // follows the header when FDICT is set
constexpr uint32_t HeaderCheckDivisor = 31;
constexpr uint8_t MethodMask = 0x0f;
constexpr uint8_t MethodDeflate = 8;
constexpr uint8_t WindowShift = 4; // CINFO: log2 of the window, less 8
constexpr uint8_t LargestWindowInfo = 7;
constexpr uint8_t PresetDictionaryFlag = 0x20;

bool HeaderSeen(const StreamInflater *inflater) { return inflater->headerHave >= ZlibHeaderSize; }

bool NamesDictionary(const StreamInflater *inflater) { return inflater->header[1] & PresetDictionaryFlag; }

// What zlib's inflate refuses in a header: a check that fails, a method other
// than deflate, a window above 32 KB.
bool IsSoundHeader(const uint8_t *header)
{
    unsigned value = header[0] << 8 | header[1];
    return value % HeaderCheckDivisor == 0 && (header[0] & MethodMask) == MethodDeflate &&
           (header[0] >> WindowShift) <= LargestWindowInfo;
}

// How many bytes in front of the deflate data the stream still owes: the
// header, and the dictionary id a header with FDICT is followed by (zlib
// reads that far before it asks for the dictionary).
uint32_t PrefixOwed(const StreamInflater *inflater)
{
    uint32_t prefix = ZlibHeaderSize;
    if (HeaderSeen(inflater) && IsSoundHeader(inflater->header) && NamesDictionary(inflater))
        prefix += DictionaryIdSize;
    return prefix - std::min(prefix, inflater->headerHave);
}

// The header's bytes are taken here, as they come; ISA-L sees what follows.
void TakeHeader(StreamInflater *inflater)
{
    inflate_state *state = inflater->state;
    for (uint32_t owed = PrefixOwed(inflater); owed > 0 && state->avail_in > 0; owed = PrefixOwed(inflater)) {
        if (inflater->headerHave < ZlibHeaderSize)
            inflater->header[inflater->headerHave] = *state->next_in;
        ++inflater->headerHave;
        ++state->next_in;
        --state->avail_in;
    }
}

} // namespace

bool StartStreamInflater(StreamInflater *inflater)
{
    *inflater = StreamInflater{};
    inflater->state = static_cast<inflate_state *>(std::malloc(sizeof(inflate_state)));
    if (inflater->state == nullptr)
        return false;
    isal_inflate_init(inflater->state);
    inflater->state->crc_flag = ISAL_ZLIB_NO_HDR_VER;
    return true;
}

void SetInflateInput(StreamInflater *inflater, const uint8_t *input, uint32_t count)
{
    inflater->state->next_in = const_cast<uint8_t *>(input);
    inflater->state->avail_in = count;
    inflater->inputCount = count;
}

InflateOutcome InflateInto(StreamInflater *inflater, uint8_t *output, uint32_t room, uint32_t *produced)
{
    *produced = 0;
    inflate_state *state = inflater->state;
    TakeHeader(inflater);
    if (HeaderSeen(inflater) && !IsSoundHeader(inflater->header))
        return InflateOutcome::Damaged;
    if (PrefixOwed(inflater) > 0)
        return InflateOutcome::Going;
    if (NamesDictionary(inflater)) // refused, as zlib does, once its id has been read
        return InflateOutcome::Damaged;
    state->next_out = output;
    state->avail_out = room;
    uint32_t inputBefore = state->avail_in;
    int result = isal_inflate(state);
    *produced = room - state->avail_out;
    inflater->roomFilled = state->avail_out == 0;
    inflater->taken += inputBefore - state->avail_in;
    bool stuck = *produced == 0 && inputBefore > 0 && state->avail_in == inputBefore;
    inflater->damaged = result != ISAL_DECOMP_OK || stuck; // stuck: nothing taken, nothing given, which zlib never does
    // A step that finds damage gives nothing: ISA-L counts a match whose
    // distance reaches back before the stream as written, though it never
    // wrote it, so its output may end in whatever the memory held; and where
    // it takes a code table that zlib refuses, what it decodes is not the
    // stream's. Every caller throws a damaged stream's output away.
    if (inflater->damaged) {
        *produced = 0;
        return InflateOutcome::Damaged;
    }
    return state->block_state == ISAL_BLOCK_FINISH ? InflateOutcome::Ended : InflateOutcome::Going;
}

// After damage ISA-L's count of input left may have wrapped below zero.
uint32_t InflateInputLeft(const StreamInflater *inflater)
{
    return std::min(inflater->state->avail_in, inflater->inputCount);
}

// Whole bytes in ISA-L's bit buffer, and bytes it set aside in its own input
// buffer (the start of a block header, or after the trailer, the bytes that
// followed the stream). zlib takes input only as it needs it, but all of it
// when it ran out in the middle of a symbol: so these count as used unless
// the step stopped for want of room or at the end of the stream.
//
// After damage ISA-L's buffers may count bytes it never had (it pads its bit
// buffer at the end of the input), so nothing counts as held then, and never
// more than it took.
uint32_t InflateInputHeld(const StreamInflater *inflater)
{
    const inflate_state *state = inflater->state;
    if (inflater->damaged || (!inflater->roomFilled && state->block_state != ISAL_BLOCK_FINISH))
        return 0;
    uint64_t held = std::max(state->read_in_length, 0) / 8 + std::max<int16_t>(state->tmp_in_size, 0);
    return static_cast<uint32_t>(std::min(held, inflater->taken));
}

void EndStreamInflater(StreamInflater *inflater)
{
    std::free(inflater->state);
    inflater->state = nullptr;
}
