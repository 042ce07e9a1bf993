#include "tools/zqv/inputs.h"

#include "tools/files.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool SameLetters(const std::string &left, const std::string &right)
{
    return std::ranges::equal(left, right, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

// The files below directory with the extension, sorted so that runs and
// reports come in the same order everywhere; unreadable parts are skipped.
std::vector<InputFile> FilesBelow(const std::string &directory, const std::string &extension)
{
    std::vector<InputFile> found;
    std::error_code error;
    auto options = fs::directory_options::skip_permission_denied;
    fs::path top = PathOfName(directory);
    for (fs::recursive_directory_iterator walk(top, options, error), end; !error && walk != end;
         walk.increment(error)) {
        if (!walk->is_regular_file(error) || !SameLetters(NameOfPath(walk->path().extension()), extension))
            continue;
        found.push_back(
            {NameOfPath(walk->path()), NameOfPath(walk->path().lexically_relative(top)), Status::Success()});
    }
    std::ranges::sort(found, {}, &InputFile::path);
    return found;
}

} // namespace

std::vector<InputFile> CollectInputs(const std::vector<std::string> &operands, bool recursive,
                                     const std::string &extension)
{
    std::vector<InputFile> inputs;
    for (const std::string &operand : operands) {
        std::error_code error;
        if (!fs::is_directory(PathOfName(operand), error)) {
            inputs.push_back({operand, NameOfPath(PathOfName(operand).filename()), Status::Success()});
            continue;
        }
        if (!recursive) {
            inputs.push_back({operand, "", Status::Failure("is a directory (-r takes in the pictures below it)")});
            continue;
        }
        std::vector<InputFile> below = FilesBelow(operand, extension);
        inputs.insert(inputs.end(), below.begin(), below.end());
    }
    return inputs;
}

std::string OutputPathFor(const InputFile &input, const std::string &directory, const std::string &extension)
{
    return NameOfPath(PathOfName(directory) / PathOfName(input.relative).replace_extension(extension));
}
