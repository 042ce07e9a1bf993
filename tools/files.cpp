#include "tools/files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include "platform/platform.h"
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace {

// Reads and writes go in slices this large, so a stop is seen promptly.
constexpr size_t SliceBytes = 1u << 20;

Status Stopped() { return Status::Failure("stopped", Status::Stopped); }

bool StopWanted(StopCheck stop) { return stop != nullptr && stop(); }

// The failure of what, with the system's reason for it.
Status SystemFailure(const std::string &what) { return Status::Failure(what + ": " + std::strerror(errno)); }

std::FILE *CreateNewFile(const std::string &path)
{
#ifdef _WIN32
    int descriptor = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    return descriptor < 0 ? nullptr : _fdopen(descriptor, "wb");
#else
    constexpr mode_t ReadWriteForAll = 0666; // narrowed by the umask, as for any new file
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ReadWriteForAll);
    return descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
#endif
}

bool ReplaceFile(const std::string &from, const std::string &to)
{
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Writes contents to file and closes it.
Status WriteAndClose(std::FILE *file, const Bytes &contents, StopCheck stop)
{
    Status written = WriteStream(file, contents, stop);
    if (std::fclose(file) != 0 && written.Ok())
        written = SystemFailure("cannot write");
    return written;
}

bool SeekFile(std::FILE *file, uint64_t offset)
{
    if (offset > uint64_t(INT64_MAX))
        return false;
#ifdef _WIN32
    return _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

int ProcessId()
{
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

// Temporary files beside a destination are UniqueNames of this stem (so
// TEMPORARYSTEM-PROCESS-SERIAL) with this suffix.
constexpr const char *TemporaryStem = ".zqv";
constexpr const char *TemporarySuffix = ".tmp";

// A short name of its own, whatever the destination is called: one built
// from the destination's name would be longer than it, and fail where the
// destination's name is near the file system's limit.
std::string TemporaryPathBeside(const std::string &path)
{
    std::filesystem::path destination = PathOfName(path);
    return NameOfPath(destination.parent_path() / PathOfName(UniqueName(TemporaryStem) + TemporarySuffix));
}

} // namespace

std::string UniqueName(const std::string &stem)
{
    static std::atomic<unsigned> serial{0};
    return stem + "-" + std::to_string(ProcessId()) + "-" + std::to_string(serial++);
}

std::string UniqueTempPath(const std::string &stem, const std::string &suffix)
{
    std::string name = UniqueName(stem) + suffix;
    std::error_code error;
    std::filesystem::path directory = std::filesystem::temp_directory_path(error);
    return NameOfPath(error ? PathOfName(name) : directory / PathOfName(name));
}

#ifdef _WIN32
std::filesystem::path PathOfName(const std::string &name)
{
    int length = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), length);
    return wide;
}

std::string NameOfPath(const std::filesystem::path &path)
{
    const std::wstring &wide = path.native();
    int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string name(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), name.data(), length, nullptr, nullptr);
    return name;
}

std::string Utf8OfName(const std::string &name)
{
    std::wstring wide = PathOfName(name).native();
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
    return text;
}
#else
std::filesystem::path PathOfName(const std::string &name) { return name; }

std::string NameOfPath(const std::filesystem::path &path) { return path.string(); }

std::string Utf8OfName(const std::string &name) { return name; }
#endif

TempPath::TempPath(const std::string &stem, const std::string &suffix) : path_(UniqueTempPath(stem, suffix)) {}

TempPath::~TempPath() { std::remove(path_.c_str()); }

void UseBinaryMode(std::FILE *stream)
{
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

Status ReadStream(std::FILE *stream, size_t maxBytes, Bytes *contents, StopCheck stop)
{
    for (size_t start = contents->size(); contents->size() - start < maxBytes;) {
        if (StopWanted(stop))
            return Stopped();
        size_t wanted = std::min(SliceBytes, maxBytes - (contents->size() - start));
        size_t before = contents->size();
        contents->resize(before + wanted);
        size_t got = std::fread(contents->data() + before, 1, wanted, stream);
        contents->resize(before + got);
        if (got < wanted) {
            if (StopWanted(stop))
                return Stopped();
            if (std::ferror(stream))
                return SystemFailure("cannot read");
            break;
        }
    }
    return Status::Success();
}

Status WriteStream(std::FILE *stream, const Bytes &contents, StopCheck stop)
{
    for (size_t written = 0; written < contents.size();) {
        if (StopWanted(stop))
            return Stopped();
        size_t slice = std::min(SliceBytes, contents.size() - written);
        if (std::fwrite(contents.data() + written, 1, slice, stream) != slice)
            return SystemFailure("cannot write");
        written += slice;
    }
    if (std::fflush(stream) != 0)
        return SystemFailure("cannot write");
    return Status::Success();
}

Status OpenFileAt(const std::string &path, uint64_t offset, std::FILE **file)
{
    *file = std::fopen(path.c_str(), "rb");
    if (*file == nullptr)
        return SystemFailure("cannot open");
    // A pipe cannot seek, but is read from its start as it is.
    if (offset == 0 || SeekFile(*file, offset))
        return Status::Success();
    Status failure = SystemFailure("cannot read at offset " + std::to_string(offset));
    std::fclose(*file);
    *file = nullptr;
    return failure;
}

Status ReadFileSlice(const std::string &path, uint64_t offset, size_t maxBytes, Bytes *slice, StopCheck stop)
{
    slice->clear();
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(PathOfName(path), error);
    if (!error && size > offset)
        slice->reserve(static_cast<size_t>(std::min<uintmax_t>(size - offset, maxBytes)));
    std::FILE *file = nullptr;
    Status read = OpenFileAt(path, offset, &file);
    if (!read.Ok())
        return read;
    read = ReadStream(file, maxBytes, slice, stop);
    std::fclose(file);
    return read;
}

Status WriteWholeFile(const std::string &path, const Bytes &contents, StopCheck stop)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return SystemFailure("cannot create");
    return WriteAndClose(file, contents, stop);
}

Status WriteFileAtomically(const std::string &path, const Bytes &contents, StopCheck stop)
{
    std::string temporary = TemporaryPathBeside(path);
    std::FILE *file = CreateNewFile(temporary);
    if (file == nullptr)
        return SystemFailure("cannot create " + temporary);
    Status written = WriteAndClose(file, contents, stop);
    if (written.Ok() && StopWanted(stop))
        written = Stopped();
    if (written.Ok() && !ReplaceFile(temporary, path))
        written = SystemFailure("cannot put the output in place");
    if (!written.Ok())
        std::remove(temporary.c_str());
    return written;
}

void RemoveTemporariesOf(const std::string &path, int processId)
{
    std::string prefix = std::string(TemporaryStem) + "-" + std::to_string(processId) + "-";
    std::filesystem::path directory = PathOfName(path).parent_path();
    std::error_code error;
    for (std::filesystem::directory_iterator entries(directory.empty() ? "." : directory, error), end;
         !error && entries != end; entries.increment(error)) {
        std::string name = NameOfPath(entries->path().filename());
        if (name.starts_with(prefix) && name.ends_with(TemporarySuffix))
            std::filesystem::remove(entries->path(), error);
    }
}
