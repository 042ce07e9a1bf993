#include "codec/container.h"

#include <cstring>

namespace {

constexpr uint32_t ScrambleWord = 0x01010101u * ScrambleMask;
constexpr uint32_t BmpReserved1Field = 6;
constexpr uint32_t BmpReserved2Field = 8;

uint16_t ReadLittle16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint32_t ReadLittle32(const uint8_t *bytes) { return ReadLittle16(bytes) | uint32_t(ReadLittle16(bytes + 2)) << 16; }

bool StartInflater(Inflater *inflater, uint8_t *input, uint32_t inputLength)
{
    std::memset(&inflater->stream, 0, sizeof inflater->stream);
    inflater->stream.next_in = input;
    inflater->stream.avail_in = inputLength;
    return inflateInit(&inflater->stream) == Z_OK;
}

bool IsGoodStep(int inflateResult) { return inflateResult == Z_OK || inflateResult == Z_STREAM_END; }

} // namespace

bool HasBmpFileHeader(const uint8_t *header)
{
    return header[0] == 'B' && header[1] == 'M' && ReadLittle16(header + BmpReserved1Field) == 0 &&
           ReadLittle16(header + BmpReserved2Field) == 0;
}

uint32_t BmpPixelDataOffset(const uint8_t *header) { return ReadLittle32(header + BmpPixelOffsetField); }

uint32_t BmpFileSize(const uint8_t *header) { return ReadLittle32(header + BmpFileSizeField); }

void Descramble(uint8_t *block, uint32_t count)
{
    uint32_t wholeWords = count / 4;
    for (uint32_t i = 0; i < wholeWords; ++i) {
        uint32_t word;
        std::memcpy(&word, block + 4 * i, sizeof word);
        word ^= ScrambleWord;
        std::memcpy(block + 4 * i, &word, sizeof word);
    }
    for (uint32_t i = wholeWords * 4; i < count; ++i)
        block[i] ^= ScrambleMask;
}

void EndInflater(Inflater *inflater)
{
    // inflateEnd refuses, harmlessly, a stream that was never started or has
    // already ended.
    inflateEnd(&inflater->stream);
}

int32_t DecodeBlockOn(Inflater *inflater, uint8_t *input, uint8_t *output, uint32_t inputLength,
                      uint32_t outputLength)
{
    Descramble(input, inputLength);
    if (!StartInflater(inflater, input, inputLength))
        return 0;
    inflater->stream.next_out = output;
    inflater->stream.avail_out = outputLength;
    int stepResult = inflate(&inflater->stream, Z_NO_FLUSH);
    int endResult = inflateEnd(&inflater->stream);
    return IsGoodStep(stepResult) && endResult == Z_OK ? 1 : 0;
}

int32_t DecodeBlock(uint8_t *input, uint8_t *output, uint32_t inputLength, uint32_t outputLength)
{
    Inflater inflater{};
    return DecodeBlockOn(&inflater, input, output, inputLength, outputLength);
}
