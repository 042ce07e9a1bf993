// fuzz/zlib_oracle.h -- zlib alone over a container, the oracle the picture
// targets hold the decoders to.
#pragma once

#include "codec/container.h"

#include <cstddef>
#include <cstdint>
#include <vector>
#include <zlib.h>

// What zlib alone makes of a container: its BMP file as far as it inflates
// (kept only when asked for), and zlib's last answer: Z_STREAM_END when the
// stream ended soundly, Z_OK when it was cut short or stopped at the limit,
// else the error that ended it.
struct ZlibReading {
    std::vector<uint8_t> file;
    uint64_t inflated = 0;
    int lastStep = Z_OK;
};

// Unmasks the container and inflates it with zlib until it ends, fails or
// has given limit bytes.
inline ZlibReading ReadWithZlib(const uint8_t *container, size_t length, uint64_t limit, bool keepFile)
{
    ZlibReading reading;
    std::vector<uint8_t> plain(container, container + length);
    for (uint8_t &byte : plain)
        byte ^= ScrambleMask;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        reading.lastStep = Z_MEM_ERROR;
        return reading;
    }
    stream.next_in = plain.data();
    stream.avail_in = static_cast<uInt>(plain.size());
    std::vector<uint8_t> piece(65536);
    while (reading.lastStep == Z_OK && stream.total_out < limit) {
        stream.next_out = piece.data();
        stream.avail_out = static_cast<uInt>(piece.size());
        reading.lastStep = inflate(&stream, Z_NO_FLUSH);
        if (keepFile)
            reading.file.insert(reading.file.end(), piece.begin(), piece.end() - stream.avail_out);
    }
    reading.inflated = stream.total_out;
    inflateEnd(&stream);
    return reading;
}
