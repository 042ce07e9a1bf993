#include "tools/zqv_format.h"

#include "codec/container.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace {

// Compressed output goes to the Output in pieces of this size.
constexpr uint32_t PieceBytes = 1u << 20;
// zlib counts its input in 32-bit units; larger appends go in slices.
constexpr uint64_t LargestInputSlice = 1u << 30;

} // namespace

void WriteBmpFileHeader(uint8_t *header, uint32_t fileBytes, uint32_t pixelOffset)
{
    std::fill(header, header + BmpFileHeaderSize, 0);
    header[0] = 'B';
    header[1] = 'M';
    PutLittle(header + BmpFileSizeField, fileBytes);
    PutLittle(header + BmpPixelOffsetField, pixelOffset);
}

const char *BmpFileProblem(const Bytes &bytes)
{
    if (bytes.size() < BmpFileHeaderSize)
        return "too short for a BMP file header";
    if (bytes[0] != 'B' || bytes[1] != 'M')
        return "it does not start with 'BM'";
    // The rest of the test the plug-in makes: the reserved words.
    if (!HasBmpFileHeader(bytes.data()))
        return "the header's reserved words are not zero";
    uint32_t pixelOffset = BmpPixelDataOffset(bytes.data());
    if (pixelOffset < BmpFileHeaderSize || pixelOffset > bytes.size())
        return "the pixel-data offset points outside the file";
    return nullptr;
}

Bytes RebuildBmp(const Bytes &info, const Bytes &pixels, uint32_t pixelOffset)
{
    // The pixel block is as long as the file the two blocks make; the pixel
    // data is what that leaves after the file header and the info block.
    size_t blocksOffset = BmpFileHeaderSize + info.size();
    size_t pixelBytes = pixels.size() > blocksOffset ? pixels.size() - blocksOffset : 0;
    bool ownOffsetFits = pixelOffset >= BmpFileHeaderSize && pixelOffset <= blocksOffset;
    size_t infoBytes = ownOffsetFits ? pixelOffset - BmpFileHeaderSize : info.size();
    size_t fileOffset = BmpFileHeaderSize + infoBytes;
    Bytes file(fileOffset + pixelBytes, 0);
    WriteBmpFileHeader(file.data(), static_cast<uint32_t>(file.size()), static_cast<uint32_t>(fileOffset));
    std::copy(info.begin(), info.begin() + static_cast<std::ptrdiff_t>(infoBytes),
              file.begin() + BmpFileHeaderSize);
    std::copy(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(pixelBytes),
              file.begin() + static_cast<std::ptrdiff_t>(fileOffset));
    return file;
}

ZqvEncoder::~ZqvEncoder() { End(); }

void ZqvEncoder::End()
{
    if (started_)
        deflateEnd(&stream_);
    started_ = false;
}

Status ZqvEncoder::Start(int level, Output output)
{
    End();
    output_ = std::move(output);
    written_ = 0;
    piece_.resize(PieceBytes);
    stream_ = z_stream{};
    if (deflateInit(&stream_, level) != Z_OK)
        return Status::Failure("out of memory (cannot start the compressor at level " + std::to_string(level) + ")");
    started_ = true;
    return Status::Success();
}

// Runs deflate until it has taken all its input (and, finishing, ended the
// stream), masking and handing over each filled piece.
Status ZqvEncoder::Deflate(int flush)
{
    for (;;) {
        stream_.next_out = piece_.data();
        stream_.avail_out = PieceBytes;
        int result = deflate(&stream_, flush);
        if (result == Z_STREAM_ERROR)
            return Status::Failure("cannot compress (zlib error " + std::to_string(result) + ")");
        uint32_t count = PieceBytes - stream_.avail_out;
        Descramble(piece_.data(), count); // the mask is its own inverse
        Status handed = output_(piece_.data(), count);
        if (!handed.Ok())
            return handed;
        written_ += count;
        bool done = flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0;
        if (done)
            return Status::Success();
    }
}

Status ZqvEncoder::Append(const uint8_t *bytes, uint64_t count)
{
    while (count > 0) {
        uint64_t slice = std::min(count, LargestInputSlice);
        stream_.next_in = const_cast<Bytef *>(bytes);
        stream_.avail_in = static_cast<uInt>(slice);
        Status deflated = Deflate(Z_NO_FLUSH);
        if (!deflated.Ok())
            return deflated;
        bytes += slice;
        count -= slice;
    }
    return Status::Success();
}

Status ZqvEncoder::Finish()
{
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    Status finished = Deflate(Z_FINISH);
    End();
    return finished;
}

ZqvEncoder::Output AppendTo(Bytes *container)
{
    return [container](const uint8_t *bytes, size_t count) {
        container->insert(container->end(), bytes, bytes + count);
        return Status::Success();
    };
}

Status WriteZqvFile(const std::string &path, int level, const std::function<Status(ZqvEncoder &)> &feed,
                    uint64_t *containerBytes)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return Status::Failure("cannot create " + path);
    ZqvEncoder encoder;
    Status status = encoder.Start(level, [&](const uint8_t *bytes, size_t count) {
        bool written = std::fwrite(bytes, 1, count, file) == count;
        return written ? Status::Success() : Status::Failure("cannot write " + path);
    });
    if (status.Ok())
        status = feed(encoder);
    if (status.Ok())
        status = encoder.Finish();
    if (std::fclose(file) != 0 && status.Ok())
        status = Status::Failure("cannot write " + path);
    *containerBytes = encoder.ContainerBytes();
    return status;
}
