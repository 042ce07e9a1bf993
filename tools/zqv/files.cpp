#include "tools/zqv/files.h"

#include "tools/files.h"
#include "tools/zqv/interrupt.h"

#include <filesystem>
#include <system_error>

namespace {

Status ReadInput(const std::string &path, size_t maxBytes, Bytes *contents)
{
    contents->clear();
    if (path == "-") {
        UseBinaryMode(stdin);
        return Reported(ReadStream(stdin, maxBytes, contents, Interrupted), InputName(path), ExitCannotRead);
    }
    Status directory = CheckNotDirectory(path);
    if (!directory.Ok())
        return directory;
    Status read = maxBytes == SIZE_MAX ? ReadWholeFile(path, contents, Interrupted)
                                       : ReadFileHead(path, maxBytes, contents, Interrupted);
    return Reported(read, path, ExitCannotRead);
}

} // namespace

Status ReadWholeInput(const std::string &path, Bytes *contents) { return ReadInput(path, SIZE_MAX, contents); }

Status ReadInputHead(const std::string &path, size_t maxBytes, Bytes *head) { return ReadInput(path, maxBytes, head); }

Status CheckNotDirectory(const std::string &path)
{
    std::error_code error;
    if (path != "-" && std::filesystem::is_directory(path, error))
        return Failure(ExitCannotRead, path + ": is a directory, not a file");
    return Success();
}

Status CheckOutputPath(const std::string &path)
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

Status WriteOutputAtomically(const std::string &path, const Bytes &contents)
{
    if (path != "-")
        return Reported(WriteFileAtomically(path, contents, Interrupted), path, ExitCannotWrite);
    UseBinaryMode(stdout);
    return Reported(WriteStream(stdout, contents, Interrupted), OutputName(path), ExitCannotWrite);
}
