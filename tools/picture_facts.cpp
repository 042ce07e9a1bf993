#include "tools/picture_facts.h"

#include "codec/container.h"
#include "tools/zqv_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// The head is inflated into this much BMP file: the file header, the largest
// bitmap header and a whole palette fit.
constexpr uint32_t HeadDecodedBytes = 4096;
// Whole-stream scans read and inflate in slices this large.
constexpr size_t ScanSliceBytes = 1u << 20;
constexpr uInt ScanOutputBytes = 1u << 18;

struct Named {
    uint32_t code;
    const char *name;
};

constexpr Named Compressions[] = {
    {0, "none"}, {1, "RLE8"},  {2, "RLE4"},      {3, "bit fields"},      {4, "JPEG"},
    {5, "PNG"},  {6, "alpha bit fields"}, {11, "CMYK"}, {12, "CMYK RLE8"}, {13, "CMYK RLE4"},
};

constexpr Named HeaderKinds[] = {
    {CoreBitmapHeaderSize, "core"}, {40, "info"}, {52, "v2"}, {56, "v3"}, {64, "OS/2 v2"}, {108, "v4"}, {124, "v5"},
};

template <size_t Count> const char *Lookup(const Named (&table)[Count], uint32_t code, const char *otherwise)
{
    const Named *found = std::ranges::find(table, code, &Named::code);
    return found == std::end(table) ? otherwise : found->name;
}

void ReadBitmapFacts(const uint8_t *info, uint32_t infoLength, PictureFacts *facts)
{
    BitmapHeader header = ReadBitmapHeader(info, infoLength);
    facts->headerBytes = header.size;
    facts->width = header.width;
    facts->height = header.height;
    facts->topDown = header.topDown;
    facts->bitsPerPixel = static_cast<uint16_t>(header.bits);
    facts->compression = header.compression;
    facts->paletteEntries = header.paletteEntries;
}

Status NotZqv(const std::string &why) { return Status::Failure("not a ZQV picture (" + why + ")", NotZqvPicture); }

} // namespace

Status ReadPictureFacts(const std::string &path, PictureFacts *facts)
{
    *facts = PictureFacts{};
    std::error_code error;
    facts->containerBytes = std::filesystem::file_size(PathOfName(path), error);
    Bytes head;
    Status read = ReadFileHead(path, PictureHeadBytes, &head);
    facts->bytesRead = head.size();
    if (!read.Ok())
        return read;
    Bytes bmp(HeadDecodedBytes, 0);
    Inflater inflater{};
    int32_t started = DecodeBlockOn(&inflater, head.data(), bmp.data(), static_cast<uint32_t>(head.size()),
                                    HeadDecodedBytes);
    // inflateEnd frees zlib's state but leaves its count of output.
    bmp.resize(inflater.stream.total_out);
    if (started == 0)
        return NotZqv("it does not start with a ZQV stream");
    if (bmp.size() < BmpFileHeaderSize || !HasBmpFileHeader(bmp.data()))
        return NotZqv("its stream does not start with a BMP file header");
    facts->declaredBytes = BmpFileSize(bmp.data());
    size_t infoEnd = std::clamp<size_t>(BmpPixelDataOffset(bmp.data()), BmpFileHeaderSize, bmp.size());
    ReadBitmapFacts(bmp.data() + BmpFileHeaderSize, static_cast<uint32_t>(infoEnd - BmpFileHeaderSize), facts);
    return Status::Success();
}

const char *CompressionName(uint32_t compression) { return Lookup(Compressions, compression, "unknown"); }

const char *HeaderKindName(uint32_t headerBytes) { return Lookup(HeaderKinds, headerBytes, "other"); }

namespace {

// A whole-stream scan: the file read slice by slice into one inflate.
class StreamScan {
public:
    StreamScan() : input_(ScanSliceBytes), output_(ScanOutputBytes) {}
    ~StreamScan() { inflateEnd(&stream_); }
    StreamScan(const StreamScan &) = delete;
    StreamScan &operator=(const StreamScan &) = delete;

    Status Run(std::FILE *file, uint64_t fileBytes, ContainerEnd *end, StopCheck stop)
    {
        if (inflateInit(&stream_) != Z_OK)
            return Status::Failure("out of memory (cannot start the decompressor)");
        uint64_t consumed = 0;
        for (;;) {
            if (stop != nullptr && stop())
                return Status::Failure("stopped", Status::Stopped);
            size_t got = std::fread(input_.data(), 1, input_.size(), file);
            if (got == 0) {
                if (std::ferror(file))
                    return Status::Failure(std::string("cannot read: ") + std::strerror(errno));
                *end = {StreamEnd::CutShort, stream_.total_out, 0};
                return Status::Success();
            }
            Descramble(input_.data(), static_cast<uint32_t>(got));
            int result = InflateSlice(got);
            consumed += got - stream_.avail_in;
            if (result == Z_STREAM_END) {
                uint64_t trailing = fileBytes - consumed;
                *end = {trailing == 0 ? StreamEnd::Complete : StreamEnd::TrailingBytes, stream_.total_out, trailing};
                return Status::Success();
            }
            if (result != Z_OK) {
                *end = {StreamEnd::Damaged, stream_.total_out, 0};
                return Status::Success();
            }
        }
    }

private:
    // Inflates a slice until it is used up; Z_OK, Z_STREAM_END or an error.
    int InflateSlice(size_t count)
    {
        stream_.next_in = input_.data();
        stream_.avail_in = static_cast<uInt>(count);
        for (;;) {
            stream_.next_out = output_.data();
            stream_.avail_out = ScanOutputBytes;
            int result = inflate(&stream_, Z_NO_FLUSH);
            if (result == Z_BUF_ERROR || (result == Z_OK && stream_.avail_in == 0 && stream_.avail_out != 0))
                return Z_OK;
            if (result != Z_OK)
                return result;
        }
    }

    z_stream stream_{};
    Bytes input_;
    Bytes output_;
};

} // namespace

Status ScanContainerEnd(const std::string &path, ContainerEnd *end, StopCheck stop)
{
    std::error_code error;
    uint64_t fileBytes = std::filesystem::file_size(PathOfName(path), error);
    if (error)
        return Status::Failure("cannot measure: " + error.message());
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Status::Failure(std::string("cannot open: ") + std::strerror(errno));
    Status scanned = StreamScan().Run(file, fileBytes, end, stop);
    std::fclose(file);
    return scanned;
}

const char *StreamEndName(StreamEnd end)
{
    constexpr const char *Names[] = {"complete", "cut short", "trailing bytes", "damaged"};
    return Names[static_cast<size_t>(end)];
}
