#include "tools/zqv/inputs.h"

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
    for (fs::recursive_directory_iterator walk(directory, options, error), end; !error && walk != end;
         walk.increment(error)) {
        if (!walk->is_regular_file(error) || !SameLetters(walk->path().extension().string(), extension))
            continue;
        found.push_back({walk->path().string(), walk->path().lexically_relative(directory).string(), Status::Success()});
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
        if (!fs::is_directory(operand, error)) {
            inputs.push_back({operand, fs::path(operand).filename().string(), Status::Success()});
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
    return (fs::path(directory) / fs::path(input.relative).replace_extension(extension)).string();
}
