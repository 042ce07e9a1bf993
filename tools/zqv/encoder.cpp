#include "tools/zqv/encoder.h"

#include "codec/container.h"
#include "tools/zqv/interrupt.h"

#include <algorithm>
#include <zlib.h>

namespace {

constexpr size_t SliceBytes = 1u << 20;

// zlib's streams are limited to uInt lengths; a slice always fits.
Outcome DeflateAll(z_stream *stream, const Bytes &bmp, ProgressBar *bar, const std::string &subject,
                   Bytes *container)
{
    container->resize(deflateBound(stream, static_cast<uLong>(bmp.size())));
    stream->next_out = container->data();
    stream->avail_out = static_cast<uInt>(container->size());
    size_t consumed = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        if (Interrupted())
            return Failure(ExitStopped, subject + ": stopped");
        size_t slice = std::min(SliceBytes, bmp.size() - consumed);
        stream->next_in = const_cast<Bytef *>(bmp.data() + consumed);
        stream->avail_in = static_cast<uInt>(slice);
        bool last = consumed + slice == bmp.size();
        status = deflate(stream, last ? Z_FINISH : Z_NO_FLUSH);
        consumed += slice - stream->avail_in;
        bar->Update(static_cast<int64_t>(consumed), static_cast<int64_t>(bmp.size()));
    }
    if (status != Z_STREAM_END)
        return Failure(ExitNoMemory, subject + ": cannot compress (zlib error " + std::to_string(status) + ")");
    container->resize(stream->total_out);
    return Success();
}

} // namespace

Outcome EncodeContainer(const Bytes &bmp, int level, ProgressBar *bar, const std::string &subject,
                        Bytes *container)
{
    z_stream stream{};
    if (deflateInit(&stream, level) != Z_OK)
        return Failure(ExitNoMemory, subject + ": out of memory (cannot start the compressor)");
    Outcome deflated = DeflateAll(&stream, bmp, bar, subject, container);
    deflateEnd(&stream);
    if (deflated.Ok())
        ApplyMask(container);
    return deflated;
}

void ApplyMask(Bytes *bytes)
{
    // Scrambling and descrambling are the same XOR.
    Descramble(bytes->data(), static_cast<uint32_t>(bytes->size()));
}
