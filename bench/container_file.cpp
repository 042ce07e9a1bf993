#include "bench/container_file.h"

#include "codec/container.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Compressed output is scrambled and written in pieces of this size.
constexpr uint32_t OutputPieceBytes = 1u << 20;
// zlib counts its input in 32-bit units; larger appends go in slices.
constexpr uint64_t LargestInputSlice = 1u << 30;

unsigned ProcessId()
{
#ifdef _WIN32
    return static_cast<unsigned>(GetCurrentProcessId());
#else
    return static_cast<unsigned>(getpid());
#endif
}

std::string UniqueTempPath(const std::string &suffix)
{
    static std::atomic<unsigned> serial{0};
    std::string name = "zqv-bench-" + std::to_string(ProcessId()) + "-" + std::to_string(serial++) + suffix;
    std::error_code error;
    std::filesystem::path directory = std::filesystem::temp_directory_path(error);
    return (error ? std::filesystem::path(name) : directory / name).string();
}

} // namespace

TempPath::TempPath(const std::string &suffix) : path_(UniqueTempPath(suffix)) {}

TempPath::~TempPath() { std::remove(path_.c_str()); }

ContainerWriter::~ContainerWriter() { Close(); }

void ContainerWriter::Close()
{
    if (deflating_)
        deflateEnd(&stream_);
    deflating_ = false;
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
}

Status ContainerWriter::Open(const std::string &path, int level)
{
    Close();
    path_ = path;
    written_ = 0;
    output_.resize(OutputPieceBytes);
    stream_ = z_stream{};
    if (deflateInit(&stream_, level) != Z_OK)
        return Status::Failure("zlib cannot start compressing at level " + std::to_string(level));
    deflating_ = true;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr)
        return Status::Failure("cannot create " + path);
    return Status::Success();
}

Status ContainerWriter::WriteOutput(uint32_t count)
{
    Descramble(output_.data(), count); // the mask is its own inverse
    if (std::fwrite(output_.data(), 1, count, file_) != count)
        return Status::Failure("cannot write " + path_);
    written_ += count;
    return Status::Success();
}

// Runs deflate until it has taken all its input (and, finishing, ended the
// stream), writing each filled output piece.
Status ContainerWriter::Deflate(int flush)
{
    for (;;) {
        stream_.next_out = output_.data();
        stream_.avail_out = OutputPieceBytes;
        int result = deflate(&stream_, flush);
        if (result == Z_STREAM_ERROR)
            return Status::Failure("zlib failed while compressing " + path_);
        Status written = WriteOutput(OutputPieceBytes - stream_.avail_out);
        if (!written.Ok())
            return written;
        bool done = flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0;
        if (done)
            return Status::Success();
    }
}

Status ContainerWriter::Append(const uint8_t *bytes, uint64_t count)
{
    if (!deflating_ || file_ == nullptr)
        return Status::Failure("no container is open");
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

Status ContainerWriter::Finish(uint64_t *containerBytes)
{
    if (!deflating_ || file_ == nullptr)
        return Status::Failure("no container is open");
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    Status finished = Deflate(Z_FINISH);
    bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    Close();
    if (!finished.Ok())
        return finished;
    if (!closed)
        return Status::Failure("cannot write " + path_);
    *containerBytes = written_;
    return Status::Success();
}

Status WriteContainerFile(const std::string &path, int level, const uint8_t *file, uint64_t count,
                          uint64_t *containerBytes)
{
    ContainerWriter writer;
    Status status = writer.Open(path, level);
    if (status.Ok())
        status = writer.Append(file, count);
    if (status.Ok())
        status = writer.Finish(containerBytes);
    return status;
}

Status ReadWholeFile(const std::string &path, uint64_t length, std::vector<uint8_t> *contents)
{
    if (length > SIZE_MAX)
        return Status::Failure(path + " does not fit in memory");
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Status::Failure("cannot open " + path);
    contents->resize(static_cast<size_t>(length));
    size_t read = std::fread(contents->data(), 1, contents->size(), file);
    std::fclose(file);
    if (read != length)
        return Status::Failure("cannot read " + path);
    return Status::Success();
}
