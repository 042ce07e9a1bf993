#include "tests/robustness/bomb.h"

#include <cstdlib>
#include <zlib.h>

namespace {

constexpr uint32_t Mebibyte = 1u << 20;
constexpr uint32_t BmpHeadersSize = 54;
constexpr int BombLevel = 9;
// After a full flush the output is byte-aligned; this ends the stream with
// an empty final block of fixed codes.
constexpr uint8_t EmptyFinalBlock[] = {0x03, 0x00};
constexpr uint32_t AdlerBase = 65521;

Bytes BombHeaders(uint32_t claimedFileSize)
{
    Bytes headers = MakeBmp(1, 1, 24);
    headers.resize(BmpHeadersSize);
    PutLittle32(headers, 2, claimedFileSize);
    return headers;
}

// Deflates input and flushes fully, so that the bytes produced depend only
// on this input, never on what came before it.
Bytes DeflateFlushed(z_stream &stream, const Bytes &input)
{
    Bytes output(deflateBound(&stream, static_cast<uLong>(input.size())) + 64);
    stream.next_in = const_cast<Bytef *>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    if (deflate(&stream, Z_FULL_FLUSH) != Z_OK || stream.avail_in != 0)
        std::abort();
    output.resize(output.size() - stream.avail_out);
    return output;
}

// Adler-32 of the headers followed by zeroCount zeros: zeros leave the first
// sum as it is and add it to the second once per byte.
uint32_t BombAdler(const Bytes &headers, uint64_t zeroCount)
{
    uint32_t adler = adler32(adler32(0, nullptr, 0), headers.data(), static_cast<uInt>(headers.size()));
    uint64_t low = adler & 0xffff;
    uint64_t high = adler >> 16;
    high = (high + (zeroCount % AdlerBase) * low) % AdlerBase;
    return static_cast<uint32_t>(high << 16 | low);
}

} // namespace

uint64_t ZeroBombFileSize(uint32_t zeroMebibytes) { return BmpHeadersSize + uint64_t(zeroMebibytes) * Mebibyte; }

Bytes MakeZeroBomb(uint32_t zeroMebibytes)
{
    // As much of the size as the field holds.
    return MakeZeroBombClaiming(zeroMebibytes, static_cast<uint32_t>(ZeroBombFileSize(zeroMebibytes)));
}

Bytes MakeZeroBombClaiming(uint32_t zeroMebibytes, uint32_t claimedFileSize)
{
    if (zeroMebibytes < 2)
        std::abort();
    Bytes headers = BombHeaders(claimedFileSize);
    Bytes zeros(Mebibyte, 0);
    Bytes first = headers;
    first.insert(first.end(), zeros.begin(), zeros.end());

    z_stream stream{};
    if (deflateInit(&stream, BombLevel) != Z_OK)
        std::abort();
    Bytes stream0 = DeflateFlushed(stream, first);
    Bytes repeated = DeflateFlushed(stream, zeros);
    // The premise of the shortcut: a fully flushed mebibyte of zeros always
    // deflates to the same bytes.
    if (DeflateFlushed(stream, zeros) != repeated)
        std::abort();
    deflateEnd(&stream);

    Bytes container = std::move(stream0);
    container.reserve(container.size() + repeated.size() * zeroMebibytes + 8);
    for (uint32_t i = 1; i < zeroMebibytes; ++i)
        container.insert(container.end(), repeated.begin(), repeated.end());
    container.insert(container.end(), std::begin(EmptyFinalBlock), std::end(EmptyFinalBlock));
    uint32_t adler = BombAdler(headers, uint64_t(zeroMebibytes) * Mebibyte);
    for (int shift = 24; shift >= 0; shift -= 8)
        container.push_back(static_cast<uint8_t>(adler >> shift));
    return Masked(std::move(container));
}
