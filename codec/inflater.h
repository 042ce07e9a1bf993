// codec/inflater.h -- the inflate step of the stream decoder.
//
// The stream decoder (codec/stream.cpp) hands every descrambled chunk of a
// container to one StreamInflater, which decompresses the zlib stream
// (RFC 1950) it holds. Each build has one inflater, chosen when it is
// configured, with the same verdicts:
//   codec/inflater_zlib.cpp  zlib's inflate; the win32 build.
//   codec/inflater_isal.cpp  ISA-L's inflate, whose x86-64 assembly decodes
//                            two to four times as fast; the win64 and native
//                            builds (ZQV_INFLATE_WITH_ISAL).
// Either way a stream is judged as zlib judges it: a zlib header that names a
// method other than deflate, a window above 32 KB or a preset dictionary, a
// damaged block or a wrong Adler-32 trailer is damaged data, and the bytes
// counted as used are the ones zlib counts (fuzz/inflate_fuzzer.cpp holds
// ISA-L to zlib step by step). Where they part: zlib reads a block header as
// its bytes come, ISA-L only once it has all of it (up to 328 bytes), so
// damage in a block header can be found a step apart, and in a stream that
// ends inside that header, by one of them only; and where the input runs out
// in the middle of a symbol, one may give a few bytes a step later. At the
// end of a stream that is cut short there is no later step: ISA-L decodes up
// to three literals at one look and gives none of them whose bits are not all
// there, so it may end up to InflateMostWithheldAtCut bytes short of zlib
// (those pixels stay black).
//
// The probe's one-step DecodeBlock (codec/container.h) stays on zlib in
// every build: it decodes 2,048 bytes, where speed is nothing and zlib's
// exact answers are everything.
#pragma once

#include <cstdint>

#ifdef ZQV_INFLATE_WITH_ISAL
struct inflate_state;
#else
#include <zlib.h>
#endif

// One zlib stream being inflated. Start it zeroed (StreamInflater{}), then
// StartStreamInflater; EndStreamInflater is safe on one never started or
// already ended, so a caller whose decode a fault abandoned can always end it.
struct StreamInflater {
#ifdef ZQV_INFLATE_WITH_ISAL
    inflate_state *state; // some 87 KB of tables and history, allocated as zlib allocates its own
    uint8_t header[2];    // the zlib header, judged by zlib's rules before ISA-L sees the data
    uint32_t headerHave;  // bytes of the header (and dictionary id) taken so far
    bool roomFilled;      // the last step filled its room
    bool damaged;         // the last step found damage: ISA-L's buffers say nothing then
    uint64_t taken;       // bytes ISA-L has taken from the inputs given, all told
    uint32_t inputCount;  // the current input's length
#else
    z_stream stream;
#endif
};

enum class InflateOutcome {
    Going,   // no end yet: the input is used up, the room is full, or both
    Ended,   // the stream ended here, trailer checked; input after it is left alone
    Damaged, // the data is damaged (or the inflater failed): nothing more comes
};

// Starts the inflater for one stream; false when its state cannot be had.
bool StartStreamInflater(StreamInflater *inflater);

// Gives the inflater the next count bytes of the stream to take from, which
// must stay where they are until it has taken them all.
void SetInflateInput(StreamInflater *inflater, const uint8_t *input, uint32_t count);

// Inflates from the input given as far as it goes into the room bytes at
// output; *produced receives how many it wrote (on a step that finds
// damage, zlib's gives what it wrote before the damage and ISA-L's none,
// whatever the room may hold then). Going means call again: with
// more room when the room filled, with more input once InflateInputLeft is 0
// and the room did not fill. With a room of at least InflateRoomLikeZlib
// every step goes as zlib's inflate would go (but for the above): the same
// outcome, the same bytes, the same count of stream bytes used
// (InflateInputHeld). With less, ISA-L decodes ahead of the room into a
// buffer of its own that large, taking the input for it, and may find damage
// a step before zlib would. A run of calls, each but the last filling its
// room, goes as one call with all their room would when the last has
// InflateRoomLikeZlib (ISA-L gives out what it decoded ahead before it
// decodes more, and its buffer holds no more than that room).
InflateOutcome InflateInto(StreamInflater *inflater, uint8_t *output, uint32_t room, uint32_t *produced);
constexpr uint32_t InflateRoomLikeZlib = 2 * 32768 + 288;

// How many bytes fewer than zlib the inflater may give of a stream cut short.
#ifdef ZQV_INFLATE_WITH_ISAL
constexpr uint32_t InflateMostWithheldAtCut = 2;
#else
constexpr uint32_t InflateMostWithheldAtCut = 0;
#endif

// Bytes of the current input the inflater has not taken yet.
uint32_t InflateInputLeft(const StreamInflater *inflater);

// Bytes it has taken and not yet decoded through (ISA-L reads ahead into a
// bit buffer of its own). The stream's bytes used so far are those given less
// InflateInputLeft less this: the count zlib gives (when every step has had
// a room of InflateRoomLikeZlib), which includes the trailer but no byte
// after it.
uint32_t InflateInputHeld(const StreamInflater *inflater);

// Frees the inflater's state.
void EndStreamInflater(StreamInflater *inflater);
