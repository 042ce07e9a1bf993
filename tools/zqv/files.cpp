#include "tools/zqv/files.h"

#include "tools/zqv/interrupt.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Reads and writes go in slices this large, so Ctrl-C is seen promptly.
constexpr size_t SliceBytes = 1u << 20;

Outcome StoppedWhile(const std::string &subject) { return Failure(ExitStopped, subject + ": stopped"); }

std::string SystemReason(int error) { return std::strerror(error); }

void UseBinaryMode(std::FILE *stream)
{
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

// Appends up to maxBytes from stream to *contents.
Outcome ReadStream(std::FILE *stream, const std::string &subject, size_t maxBytes, Bytes *contents)
{
    while (contents->size() < maxBytes) {
        if (Interrupted())
            return StoppedWhile(subject);
        size_t wanted = std::min(SliceBytes, maxBytes - contents->size());
        size_t before = contents->size();
        contents->resize(before + wanted);
        size_t got = std::fread(contents->data() + before, 1, wanted, stream);
        contents->resize(before + got);
        if (got < wanted) {
            if (Interrupted())
                return StoppedWhile(subject);
            if (std::ferror(stream))
                return Failure(ExitCannotRead, subject + ": cannot read: " + SystemReason(errno));
            break;
        }
    }
    return Success();
}

Outcome ReadInput(const std::string &path, size_t maxBytes, Bytes *contents)
{
    contents->clear();
    std::string subject = InputName(path);
    if (path == "-") {
        UseBinaryMode(stdin);
        return ReadStream(stdin, subject, maxBytes, contents);
    }
    Outcome directory = CheckNotDirectory(path);
    if (!directory.Ok())
        return directory;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Failure(ExitCannotRead, subject + ": cannot open: " + SystemReason(errno));
    Outcome read = ReadStream(file, subject, maxBytes, contents);
    std::fclose(file);
    return read;
}

Outcome WriteStream(std::FILE *stream, const std::string &subject, const Bytes &contents)
{
    for (size_t written = 0; written < contents.size();) {
        if (Interrupted())
            return StoppedWhile(subject);
        size_t slice = std::min(SliceBytes, contents.size() - written);
        if (std::fwrite(contents.data() + written, 1, slice, stream) != slice)
            return Failure(ExitCannotWrite, subject + ": cannot write: " + SystemReason(errno));
        written += slice;
    }
    if (std::fflush(stream) != 0)
        return Failure(ExitCannotWrite, subject + ": cannot write: " + SystemReason(errno));
    return Success();
}

// Creates the file only if it does not exist yet, so an unlikely clash of
// names never truncates somebody else's file.
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

int ProcessId()
{
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

Outcome WriteFileAtomically(const std::string &path, const Bytes &contents)
{
    std::string temporary = TemporaryPathBeside(path);
    std::FILE *file = CreateNewFile(temporary);
    if (file == nullptr)
        return Failure(ExitCannotWrite, path + ": cannot create " + temporary + ": " + SystemReason(errno));
    Outcome written = WriteStream(file, path, contents);
    if (std::fclose(file) != 0 && written.Ok())
        written = Failure(ExitCannotWrite, path + ": cannot write: " + SystemReason(errno));
    if (written.Ok() && Interrupted())
        written = StoppedWhile(path);
    if (written.Ok() && !ReplaceFile(temporary, path))
        written = Failure(ExitCannotWrite, path + ": cannot put the output in place: " + SystemReason(errno));
    if (!written.Ok())
        std::remove(temporary.c_str());
    return written;
}

} // namespace

Outcome ReadWholeInput(const std::string &path, Bytes *contents) { return ReadInput(path, SIZE_MAX, contents); }

Outcome ReadInputHead(const std::string &path, size_t maxBytes, Bytes *head) { return ReadInput(path, maxBytes, head); }

Outcome CheckNotDirectory(const std::string &path)
{
    std::error_code error;
    if (path != "-" && std::filesystem::is_directory(path, error))
        return Failure(ExitCannotRead, path + ": is a directory, not a file");
    return Success();
}

Outcome CheckOutputPath(const std::string &path)
{
    if (path == "-")
        return Success();
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return Failure(ExitCannotWrite, path + ": is a directory; name the file to write");
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, error))
        return Failure(ExitCannotWrite, path + ": no such directory: " + parent.string());
    return Success();
}

Outcome WriteOutputAtomically(const std::string &path, const Bytes &contents)
{
    if (path != "-")
        return WriteFileAtomically(path, contents);
    UseBinaryMode(stdout);
    return WriteStream(stdout, OutputName(path), contents);
}

std::string TemporaryPathBeside(const std::string &path)
{
    std::filesystem::path destination(path);
    std::string hiddenName(1, '.');
    hiddenName.append(destination.filename().string()).append(".zqv-");
    hiddenName.append(std::to_string(ProcessId())).append(".tmp");
    return (destination.parent_path() / hiddenName).string();
}
