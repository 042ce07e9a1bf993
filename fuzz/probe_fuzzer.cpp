// IsSupported on a host's 2,048-byte head buffer: the input, cut or
// zero-padded to that length. The buffer must come back unchanged, and a
// "yes" must mean the head really does inflate to the start of a BMP file,
// damage-free but for the checksum of a stream that ends within the head
// (the padding after a short file stands where its checksum was cut off).
#include "codec/container.h"
#include "fuzz/fuzz_target.h"
#include "plugin/api.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <zlib.h>

namespace {

constexpr size_t HeadSize = 2048;
constexpr size_t BmpHeaderBytes = 14;
using Head = std::array<uint8_t, HeadSize>;

// Inflates the unmasked head on its own, with zlib alone; true when what
// comes out starts with a whole BMP file header.
bool InflatesToBmpHeader(const Head &head)
{
    Head plain;
    std::transform(head.begin(), head.end(), plain.begin(), [](uint8_t byte) { return byte ^ ScrambleMask; });
    uint8_t output[BmpHeaderBytes];
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = plain.data();
    stream.avail_in = HeadSize;
    stream.next_out = output;
    stream.avail_out = sizeof output;
    int step = inflate(&stream, Z_NO_FLUSH);
    bool whole = stream.total_out == sizeof output;
    bool checksumOnly = step == Z_DATA_ERROR && std::strcmp(stream.msg, "incorrect data check") == 0;
    inflateEnd(&stream);
    return (step == Z_OK || step == Z_STREAM_END || checksumOnly) && whole && output[0] == 'B' && output[1] == 'M' &&
           output[6] == 0 && output[7] == 0 && output[8] == 0 && output[9] == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Head head{};
    if (size > 0)
        std::memcpy(head.data(), data, std::min(size, HeadSize));
    const Head original = head;

    int32_t answer = IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(head.data()));

    FUZZ_REQUIRE(answer == 0 || answer == 1, "IsSupported answered %d, expected 0 or 1", answer);
    FUZZ_REQUIRE(head == original, "the host's head buffer was changed by IsSupported");
    if (answer == 1)
        FUZZ_REQUIRE(InflatesToBmpHeader(head), "IsSupported said yes to a head that does not inflate to 'BM'");
    return 0;
}
