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

// A container read slice by slice, from its file or from memory.
class ContainerReader {
public:
    ContainerReader() = default;
    ~ContainerReader()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    ContainerReader(const ContainerReader &) = delete;
    ContainerReader &operator=(const ContainerReader &) = delete;

    Status Open(const ContainerPlace &place)
    {
        if (place.bytes == nullptr)
            return OpenFileAt(place.path, place.offset, &file_);
        size_t from = static_cast<size_t>(std::min<uint64_t>(place.offset, place.bytes->size()));
        next_ = place.bytes->data() + from;
        left_ = place.bytes->size() - from;
        return Status::Success();
    }

    // Up to count bytes; 0 at the end, or when reading failed (Problem).
    size_t Read(uint8_t *into, size_t count)
    {
        if (file_ != nullptr) {
            size_t got = std::fread(into, 1, count, file_);
            if (got == 0 && std::ferror(file_))
                problem_ = Status::Failure(std::string("cannot read: ") + std::strerror(errno));
            return got;
        }
        size_t got = std::min(count, left_);
        std::copy(next_, next_ + got, into);
        next_ += got;
        left_ -= got;
        return got;
    }

    const Status &Problem() const { return problem_; }

private:
    std::FILE *file_ = nullptr;
    const uint8_t *next_ = nullptr;
    size_t left_ = 0;
    Status problem_ = Status::Success();
};

// At most maxBytes from the container's start.
Status ReadContainerHead(const ContainerPlace &place, size_t maxBytes, Bytes *head)
{
    ContainerReader reader;
    Status opened = reader.Open(place);
    if (!opened.Ok())
        return opened;
    head->resize(maxBytes);
    head->resize(reader.Read(head->data(), maxBytes));
    return reader.Problem();
}

} // namespace

Status MeasureContainer(const ContainerPlace &place, uint64_t *length)
{
    uint64_t whole = 0;
    if (place.bytes != nullptr) {
        whole = place.bytes->size();
    } else {
        std::error_code error;
        whole = std::filesystem::file_size(PathOfName(place.path), error);
        if (error)
            return Status::Failure("cannot measure: " + error.message());
    }
    *length = whole > place.offset ? whole - place.offset : 0;
    return Status::Success();
}

Status ReadPictureFacts(const ContainerPlace &place, PictureFacts *facts)
{
    *facts = PictureFacts{};
    MeasureContainer(place, &facts->containerBytes); // unknown stays 0; the read says why
    Bytes head;
    Status read = ReadContainerHead(place, PictureHeadBytes, &head);
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
    facts->pixelOffset = BmpPixelDataOffset(bmp.data());
    size_t infoEnd = std::clamp<size_t>(facts->pixelOffset, BmpFileHeaderSize, bmp.size());
    ReadBitmapFacts(bmp.data() + BmpFileHeaderSize, static_cast<uint32_t>(infoEnd - BmpFileHeaderSize), facts);
    return Status::Success();
}

const char *CompressionName(uint32_t compression) { return Lookup(Compressions, compression, "unknown"); }

const char *HeaderKindName(uint32_t headerBytes) { return Lookup(HeaderKinds, headerBytes, "other"); }

namespace {

// A whole-stream scan: the container read slice by slice into one inflate.
class StreamScan {
public:
    StreamScan() : input_(ScanSliceBytes), output_(ScanOutputBytes) {}
    ~StreamScan() { inflateEnd(&stream_); }
    StreamScan(const StreamScan &) = delete;
    StreamScan &operator=(const StreamScan &) = delete;

    Status Run(ContainerReader &reader, uint64_t containerBytes, ContainerEnd *end, StopCheck stop)
    {
        if (inflateInit(&stream_) != Z_OK)
            return Status::Failure("out of memory (cannot start the decompressor)");
        uint64_t consumed = 0;
        for (;;) {
            if (stop != nullptr && stop())
                return Status::Failure("stopped", Status::Stopped);
            size_t got = reader.Read(input_.data(), input_.size());
            if (got == 0) {
                if (!reader.Problem().Ok())
                    return reader.Problem();
                Found(end, StreamEnd::CutShort, 0);
                return Status::Success();
            }
            Descramble(input_.data(), static_cast<uint32_t>(got));
            int result = InflateSlice(got);
            consumed += got - stream_.avail_in;
            if (result == Z_STREAM_END) {
                uint64_t trailing = containerBytes - consumed;
                Found(end, trailing == 0 ? StreamEnd::Complete : StreamEnd::TrailingBytes, trailing);
                return Status::Success();
            }
            if (result != Z_OK) {
                Found(end, StreamEnd::Damaged, 0);
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
            Cover(output_.data(), ScanOutputBytes - stream_.avail_out);
            if (result == Z_BUF_ERROR || (result == Z_OK && stream_.avail_in == 0 && stream_.avail_out != 0))
                return Z_OK;
            if (result != Z_OK)
                return result;
        }
    }

    // The rows the BMP file reaches, learnt from its output as it comes: its
    // head first, then the rest.
    void Cover(const uint8_t *bytes, uint32_t count)
    {
        if (headLength_ == JudgedHeadBytes) {
            CoverRows(&coverage_, bytes, count);
            return;
        }
        uint32_t taken = std::min(count, JudgedHeadBytes - headLength_);
        std::copy(bytes, bytes + taken, head_ + headLength_);
        headLength_ += taken;
        if (headLength_ == JudgedHeadBytes)
            StartCoverage(bytes + taken, count - taken);
    }

    void StartCoverage(const uint8_t *rest, uint32_t count)
    {
        StartRowCoverage(&coverage_, head_, headLength_);
        CoverRows(&coverage_, rest, count);
    }

    // The end as found, with the rows reached.
    void Found(ContainerEnd *end, StreamEnd how, uint64_t trailing)
    {
        if (headLength_ < JudgedHeadBytes)
            StartCoverage(nullptr, 0); // a file shorter than the head
        *end = {how, stream_.total_out, trailing, coverage_.header.height, RowsReached(&coverage_)};
    }

    z_stream stream_{};
    Bytes input_;
    Bytes output_;
    uint8_t head_[JudgedHeadBytes] = {};
    uint32_t headLength_ = 0;
    RowCoverage coverage_{};
};

} // namespace

Status ScanContainerEnd(const ContainerPlace &place, ContainerEnd *end, StopCheck stop)
{
    uint64_t containerBytes = 0;
    Status scanned = MeasureContainer(place, &containerBytes);
    ContainerReader reader;
    if (scanned.Ok())
        scanned = reader.Open(place);
    if (scanned.Ok())
        scanned = StreamScan().Run(reader, containerBytes, end, stop);
    return scanned;
}

const char *StreamEndName(StreamEnd end)
{
    constexpr const char *Names[] = {"complete", "cut short", "trailing bytes", "damaged"};
    return Names[static_cast<size_t>(end)];
}
