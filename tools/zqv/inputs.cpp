#include "tools/zqv/inputs.h"

#include "tools/files.h"
#include "tools/zqv/console.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Standard input's relative path: its output below a directory is stdin.bmp
// (stdin.zqv).
constexpr const char *StandardInputStem = "stdin";

bool SameLetters(const std::string &left, const std::string &right)
{
    return std::ranges::equal(left, right, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

InputFile Unreadable(const fs::path &directory, const fs::path &top, const std::error_code &error)
{
    return {NameOfPath(directory), NameOfPath(directory.lexically_relative(top)),
            Status::Failure("cannot read the directory: " + error.message())};
}

// Adds the files below directory that takes takes to *found, and each
// directory below that cannot be read, with its problem. Links to
// directories are not followed, so no walk goes round in circles.
void WalkDirectory(const fs::path &directory, const fs::path &top, NameFilter takes, std::vector<InputFile> *found)
{
    std::error_code error;
    fs::directory_iterator entries(directory, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::directory_entry &entry = *entries;
        std::error_code kindError;
        if (entry.is_directory(kindError) && !entry.is_symlink(kindError))
            WalkDirectory(entry.path(), top, takes, found);
        else if (entry.is_regular_file(kindError) && takes(NameOfPath(entry.path().filename())))
            found->push_back({NameOfPath(entry.path()), NameOfPath(entry.path().lexically_relative(top)),
                              Status::Success()});
    }
    if (error)
        found->push_back(Unreadable(directory, top, error));
}

// The files below directory that takes takes, sorted so that runs and
// reports come in the same order everywhere.
std::vector<InputFile> FilesBelow(const std::string &directory, NameFilter takes)
{
    std::vector<InputFile> found;
    WalkDirectory(PathOfName(directory), PathOfName(directory), takes, &found);
    std::ranges::sort(found, {}, &InputFile::path);
    return found;
}

} // namespace

bool IsZqvName(const std::string &name)
{
    return SameLetters(NameOfPath(PathOfName(name).extension()), ".zqv");
}

std::vector<InputFile> CollectInputs(const std::vector<std::string> &operands, bool recursive, NameFilter takes)
{
    std::vector<InputFile> inputs;
    for (const std::string &operand : operands) {
        std::error_code error;
        if (operand == StandardStreamName) {
            inputs.push_back({operand, StandardInputStem, Status::Success()});
        } else if (!fs::is_directory(PathOfName(operand), error)) {
            inputs.push_back({operand, NameOfPath(PathOfName(operand).filename()), Status::Success()});
        } else if (!recursive) {
            inputs.push_back({operand, "", Status::Failure("is a directory (-r takes in the pictures below it)")});
        } else {
            std::vector<InputFile> below = FilesBelow(operand, takes);
            inputs.insert(inputs.end(), below.begin(), below.end());
        }
    }
    return inputs;
}

std::string OutputPathFor(const InputFile &input, const std::string &directory, const std::string &extension)
{
    return NameOfPath(PathOfName(directory) / PathOfName(input.relative).replace_extension(extension));
}

std::string InputName(const std::string &path) { return path == StandardStreamName ? "standard input" : path; }

Status StandardInput(const Bytes **contents)
{
    static Bytes bytes;
    static bool read = false;
    static Status outcome = Status::Success();
    if (!read) {
        UseBinaryMode(stdin);
        outcome = ReadStream(stdin, SIZE_MAX, &bytes, Interrupted);
        read = outcome.Code() != Status::Stopped;
    }
    *contents = &bytes;
    return outcome;
}

Status ContainerOf(const std::string &path, uint64_t offset, ContainerPlace *place)
{
    if (path != StandardStreamName) {
        *place = ContainerPlace(path, offset);
        return Status::Success();
    }
    const Bytes *bytes = nullptr;
    Status read = StandardInput(&bytes);
    *place = ContainerPlace(bytes, offset);
    return read;
}

uint64_t InputBytes(const std::string &path, uint64_t offset)
{
    ContainerPlace place;
    ContainerOf(path, offset, &place);
    uint64_t bytes = 0;
    MeasureContainer(place, &bytes);
    return bytes;
}
