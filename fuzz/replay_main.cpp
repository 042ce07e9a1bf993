// Runs a fuzz target over the files and directories named on the command
// line (directories: every regular file in them, in name order), the way
// libFuzzer would run one input. Exits non-zero when a path is unreadable or
// no input was found; a failed expectation aborts inside the target.
#include "fuzz/fuzz_target.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::filesystem::path> InputsUnder(const std::filesystem::path &path)
{
    if (!std::filesystem::is_directory(path))
        return {path};
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

bool Replay(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::exists(argv[i])) {
            std::fprintf(stderr, "no such file or directory: %s\n", argv[i]);
            return 2;
        }
        for (const auto &file : InputsUnder(argv[i])) {
            if (!Replay(file))
                return 2;
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed, none failed\n", replayed);
    return replayed > 0 ? 0 : 3;
}
