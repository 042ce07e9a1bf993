// The build's stream inflater (codec/inflater.h: ISA-L in the native build)
// against zlib's inflate, in lockstep on the same stream.
//
// Input layout:
//   byte 0   bit 0: the rest is a file to compress with zlib first (a real
//            container), else the rest is the stream itself
//   byte 1   the schedule: low nibble, the input piece size; high nibble,
//            the output room of a step (both from the tables below)
//   and when compressing:
//   byte 2   the level (mod 10)
//   bytes 3-4  where to damage the compressed stream (mod its length;
//            0xffff: nowhere), byte 5  the XOR that damages it
//   rest     the stream, or the file to compress
// Both inflaters take the stream in pieces of that size and inflate with
// that room per step. After every step they must agree on the outcome
// (going, ended, damaged) and, until damage is found, on the bytes given so
// far, as far as both went (where a piece ends in the middle of a symbol,
// one may give its bytes a step later), and when both gave as much, on the
// stream bytes used so far, which is what a decode's progress reports count. One difference is theirs by design: ISA-L reads a block
// header only once it has all of it (at most HeaderWait bytes), where zlib
// judges it as it comes; so damage in a header may be found by one a piece
// before the other, and by only one when the stream ends first. Then the whole
// container, scrambled, goes through DecodeStream, which must answer as the
// lockstep did for the build's inflater in the decoder's own schedule, and
// when zlib found no damage, with zlib's bytes, and when the stream ends
// soundly, with zlib's steps in its progress reports. Of a stream cut short
// DecodeStream may give InflateMostWithheldAtCut bytes fewer than zlib.
#include "codec/container.h"
#include "fuzz/fuzz_target.h"
#include "plugin/api.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t CompressFirstBit = 0x01;
constexpr uint16_t NoDamage = 0xffff;
constexpr uint32_t PieceSizes[16] = {1, 2, 3, 5, 7, 16, 64, 255, 1000, 4096, 16384, 65536, ChunkSize, ChunkSize,
                                     ChunkSize, ChunkSize};
// The room of a step: at least what makes the inflater go as zlib does.
constexpr uint32_t RoomSizes[16] = {InflateRoomLikeZlib,     InflateRoomLikeZlib + 1, InflateRoomLikeZlib + 258,
                                    70000,                   81920,                   98304,
                                    ChunkSize - 1,           ChunkSize,               ChunkSize,
                                    ChunkSize,               ChunkSize,               ChunkSize,
                                    ChunkSize,               ChunkSize,               ChunkSize,
                                    ChunkSize};
// The most ISA-L keeps aside while it waits for the rest of a block header.
constexpr uint64_t HeaderWait = 328;
// The most one may have given beyond the other after a step: what the bits
// of a part-read symbol stand for, a match at most.
constexpr size_t LaggingBytes = 258;
// Inflating further than this is not worth an execution.
constexpr size_t OutputLimit = 16u << 20;

const char *OutcomeName(InflateOutcome outcome)
{
    switch (outcome) {
    case InflateOutcome::Going: return "going";
    case InflateOutcome::Ended: return "ended";
    default: return "damaged";
    }
}

// zlib's inflate, as the build's seam would run it on zlib.
struct ZlibSide {
    z_stream stream{};
    bool started = inflateInit(&stream) == Z_OK;
    ~ZlibSide() { inflateEnd(&stream); }

    InflateOutcome Step(uint8_t *output, uint32_t room, uint32_t *produced)
    {
        stream.next_out = output;
        stream.avail_out = room;
        int result = inflate(&stream, Z_NO_FLUSH);
        *produced = room - stream.avail_out;
        if (result == Z_STREAM_END)
            return InflateOutcome::Ended;
        return result == Z_OK || result == Z_BUF_ERROR ? InflateOutcome::Going : InflateOutcome::Damaged;
    }
};

struct Verdict {
    InflateOutcome outcome = InflateOutcome::Going; // zlib's
    InflateOutcome buildOutcome = InflateOutcome::Going;
    Bytes output;
    bool limited = false; // stopped at OutputLimit
    std::vector<uint64_t> zlibUsed; // the stream bytes zlib had used after each of its steps
};

// Runs both inflaters over stream in pieces, with room bytes a step. Once
// one finds damage the other goes on alone, and must find it too before the
// stream ends, unless it ends within HeaderWait bytes of where it was found.
Verdict RunLockstep(const Bytes &stream, uint32_t piece, uint32_t room)
{
    ZlibSide zlib;
    StreamInflater build{};
    FUZZ_REQUIRE(zlib.started && StartStreamInflater(&build), "an inflater cannot start");
    Bytes zlibOut(room);
    Bytes buildOut(room);
    Verdict verdict;
    InflateOutcome &expected = verdict.outcome;
    InflateOutcome &got = verdict.buildOutcome;
    uint64_t given = 0;
    uint64_t step = 0;
    uint64_t damageFoundAt = 0; // the stream bytes given when the first of them found damage
    Bytes zlibAll;              // all that each has given
    Bytes buildAll;
    auto going = [](InflateOutcome outcome) { return outcome == InflateOutcome::Going; };
    for (size_t offset = 0; offset < stream.size() && (going(expected) || going(got)); offset += piece) {
        uint32_t count = static_cast<uint32_t>(std::min<size_t>(piece, stream.size() - offset));
        zlib.stream.next_in = const_cast<uint8_t *>(stream.data() + offset);
        zlib.stream.avail_in = going(expected) ? count : 0;
        SetInflateInput(&build, stream.data() + offset, going(got) ? count : 0);
        given += count;
        bool filled = false;
        // Input left to either that is still going, or room that filled.
        auto more = [&] {
            return (going(expected) && zlib.stream.avail_in > 0) || (going(got) && InflateInputLeft(&build) > 0) ||
                   filled;
        };
        while (more() && (going(expected) || going(got))) {
            ++step;
            bool bothGoing = going(expected) && going(got);
            uint32_t zlibProduced = 0;
            uint32_t buildProduced = 0;
            if (going(expected)) {
                expected = zlib.Step(zlibOut.data(), room, &zlibProduced);
                verdict.zlibUsed.push_back(given - zlib.stream.avail_in);
            }
            if (going(got)) {
                got = InflateInto(&build, buildOut.data(), room, &buildProduced);
#ifdef ZQV_INFLATE_WITH_ISAL
                // ISA-L cannot say how much of a step that finds damage is
                // sound: it gives none of it.
                FUZZ_REQUIRE(got != InflateOutcome::Damaged || buildProduced == 0,
                             "step %llu: damage found, yet %u bytes given", static_cast<unsigned long long>(step),
                             buildProduced);
#endif
            }
            filled = zlibProduced == room || buildProduced == room;
            if (!bothGoing || expected != got) {
                FUZZ_REQUIRE(expected != InflateOutcome::Ended && got != InflateOutcome::Ended,
                             "step %llu (pieces of %u, room %u): %s, zlib says %s",
                             static_cast<unsigned long long>(step), piece, room, OutcomeName(got),
                             OutcomeName(expected));
                if (bothGoing)
                    damageFoundAt = given;
                continue;
            }
            // What a step that finds damage gave is thrown away, and the two
            // stop at different places inside the damaged block.
            if (got == InflateOutcome::Damaged)
                break;
            // Where its input runs out in the middle of a symbol, one may
            // give a few bytes fewer than the other, which its next step
            // gives: what they have given must agree as far as both went.
            size_t agreed = std::min(zlibAll.size(), buildAll.size());
            zlibAll.insert(zlibAll.end(), zlibOut.begin(), zlibOut.begin() + zlibProduced);
            buildAll.insert(buildAll.end(), buildOut.begin(), buildOut.begin() + buildProduced);
            size_t common = std::min(zlibAll.size(), buildAll.size());
            FUZZ_REQUIRE(common == agreed ||
                             std::memcmp(buildAll.data() + agreed, zlibAll.data() + agreed, common - agreed) == 0,
                         "step %llu: other bytes than zlib's", static_cast<unsigned long long>(step));
            FUZZ_REQUIRE(got != InflateOutcome::Ended || buildAll.size() == zlibAll.size(),
                         "step %llu: the stream ended after %zu bytes, zlib gave %zu",
                         static_cast<unsigned long long>(step), buildAll.size(), zlibAll.size());
            FUZZ_REQUIRE(std::max(zlibAll.size(), buildAll.size()) - common <= LaggingBytes,
                         "step %llu: %zu bytes out, zlib gave %zu", static_cast<unsigned long long>(step),
                         buildAll.size(), zlibAll.size());
            uint64_t zlibUsed = given - zlib.stream.avail_in;
            uint64_t buildUsed = given - InflateInputLeft(&build) - InflateInputHeld(&build);
            FUZZ_REQUIRE(buildAll.size() != zlibAll.size() || buildUsed == zlibUsed,
                         "step %llu (%s): %llu stream bytes used, zlib counts %llu",
                         static_cast<unsigned long long>(step), OutcomeName(got),
                         static_cast<unsigned long long>(buildUsed), static_cast<unsigned long long>(zlibUsed));
            if (zlibAll.size() > OutputLimit) {
                verdict.output = zlibAll;
                verdict.limited = true;
                EndStreamInflater(&build);
                return verdict;
            }
            // A step that neither took nor gave leaves the piece to the next.
            if (zlibProduced == 0 && buildProduced == 0 && zlib.stream.avail_in == 0 &&
                InflateInputLeft(&build) == 0)
                break;
        }
    }
    EndStreamInflater(&build);
    verdict.output = zlibAll;
    // Cut short: no later step gives what a part-read symbol stands for, and
    // the inflater may be short of zlib by what it withholds at a cut.
    if (going(expected) && going(got))
        FUZZ_REQUIRE(buildAll.size() <= zlibAll.size() && zlibAll.size() - buildAll.size() <= InflateMostWithheldAtCut,
                     "cut short after %zu bytes out, zlib gave %zu", buildAll.size(), zlibAll.size());
    if (expected != got)
        FUZZ_REQUIRE(stream.size() - damageFoundAt <= HeaderWait,
                     "damage found %llu bytes before the end of the stream: %s, zlib says %s",
                     static_cast<unsigned long long>(stream.size() - damageFoundAt), OutcomeName(got),
                     OutcomeName(expected));
    return verdict;
}

// What DecodeStream reported.
std::vector<int32_t> reportedProgress;

int32_t WINAPI RecordProgress(int32_t numerator, int32_t, intptr_t)
{
    reportedProgress.push_back(numerator);
    return 0;
}

// A decode reports every step it takes, and its steps, taken in turns
// through the output areas, are zlib's with a chunk's room: the same
// reports, counting the bytes zlib used. Held for streams both end soundly.
void CheckProgress(const Verdict &zlib)
{
    if (zlib.outcome != InflateOutcome::Ended || zlib.buildOutcome != InflateOutcome::Ended)
        return;
    FUZZ_REQUIRE(reportedProgress.size() == zlib.zlibUsed.size(), "DecodeStream reported %zu steps, zlib took %zu",
                 reportedProgress.size(), zlib.zlibUsed.size());
    for (size_t step = 0; step < reportedProgress.size(); ++step)
        FUZZ_REQUIRE(static_cast<uint64_t>(reportedProgress[step]) == zlib.zlibUsed[step] / 2,
                     "step %zu: DecodeStream reported %d, zlib had used %llu bytes", step + 1,
                     reportedProgress[step], static_cast<unsigned long long>(zlib.zlibUsed[step]));
}

// The whole container through the decoder the plug-in runs.
void CheckDecodeStream(const Bytes &stream, const Verdict &zlib)
{
    Bytes container = stream;
    Descramble(container.data(), static_cast<uint32_t>(container.size()));
    ByteSource source{};
    FUZZ_REQUIRE(OpenSource(&source, reinterpret_cast<const char *>(container.data()),
                            static_cast<intptr_t>(container.size()), SourceMemory) == ResultOk,
                 "a memory source does not open");
    HLOCAL block = nullptr;
    ByteSink sink{};
    FUZZ_REQUIRE(OpenSink(&sink, &block, SourceMemory, ChunkSize) == ResultOk, "a memory sink does not open");
    reportedProgress.clear();
    int32_t result = DecodeStream(&source, &sink, RecordProgress, 0);
    int32_t expected = zlib.buildOutcome == InflateOutcome::Damaged ? ResultBrokenData : ResultOk;
    FUZZ_REQUIRE(result == expected, "DecodeStream answered %d, expected %d", result, expected);
    uint32_t size = static_cast<uint32_t>(sink.Size(&sink));
    CloseSink(&sink);
    CloseSource(&source);
    if (result == ResultOk && zlib.outcome != InflateOutcome::Damaged) {
        // Of a stream cut short the inflater may withhold the last few bytes
        // whose bits are not all there (codec/inflater.h); no more.
        size_t withheld = zlib.outcome == InflateOutcome::Ended ? 0 : InflateMostWithheldAtCut;
        size_t least = zlib.output.size() - std::min(zlib.output.size(), withheld);
        FUZZ_REQUIRE(size >= least && size <= zlib.output.size(), "DecodeStream gave %u bytes, zlib %zu (%zu may be withheld)",
                     size, zlib.output.size(), withheld);
        if (size > 0) {
            auto *bytes = static_cast<const uint8_t *>(LocalLock(block));
            FUZZ_REQUIRE(bytes != nullptr && std::memcmp(bytes, zlib.output.data(), size) == 0,
                         "DecodeStream gave other bytes than zlib");
            LocalUnlock(block);
        }
    }
    if (block != nullptr)
        LocalFree(block);
    CheckProgress(zlib);
}

Bytes Compressed(const uint8_t *file, size_t length, int level)
{
    uLongf bound = compressBound(static_cast<uLong>(length));
    Bytes stream(bound);
    FUZZ_REQUIRE(compress2(stream.data(), &bound, file, static_cast<uLong>(length), level) == Z_OK,
                 "zlib cannot compress %zu bytes", length);
    stream.resize(bound);
    return stream;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputReader input(data, size);
    uint8_t mode = input.Byte();
    uint8_t schedule = input.Byte();
    uint32_t piece = PieceSizes[schedule & 0x0f];
    uint32_t room = RoomSizes[schedule >> 4];
    Bytes stream;
    if (mode & CompressFirstBit) {
        int level = input.Byte() % 10;
        uint16_t damageAt = input.Little16();
        uint8_t damage = input.Byte();
        size_t length = 0;
        const uint8_t *file = input.Take(input.Remaining(), &length);
        stream = Compressed(file, length, level);
        if (damageAt != NoDamage)
            stream[damageAt % stream.size()] ^= damage;
    } else {
        size_t length = 0;
        const uint8_t *bytes = input.Take(input.Remaining(), &length);
        stream.assign(bytes, bytes + length);
    }
    Verdict verdict = RunLockstep(stream, piece, room);
    if (verdict.limited)
        return 0;
    // The decoder's own schedule: ISA-L's verdict on a stream that ends
    // inside a block header depends on the pieces it came in.
    bool decoderSchedule = piece == ChunkSize && room == ChunkSize;
    CheckDecodeStream(stream, decoderSchedule ? verdict : RunLockstep(stream, ChunkSize, ChunkSize));
    return 0;
}
