#include "tests/zqv/cli_support.h"

#include "tools/plugin_host.h"
#include "tools/process.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <zlib.h>

namespace {
constexpr size_t FileSizeField = 2;
} // namespace

std::string RunResult::OutputText() const
{
    std::string text;
    for (uint8_t byte : standardOutput)
        if (byte != '\r')
            text.push_back(static_cast<char>(byte));
    return text;
}

std::string RunResult::Describe() const
{
    constexpr size_t ShownBytes = 300;
    std::string output = OutputText().substr(0, ShownBytes);
    return "exit status " + std::to_string(exitStatus) + ", stderr \"" + standardError + "\", stdout \"" + output +
           "\"";
}

std::string ZqvPath()
{
#ifdef _WIN32
    return ProgramDirectory() + "zqv.exe";
#else
    return ProgramDirectory() + "zqv";
#endif
}

RunResult RunZqv(const std::vector<std::string> &arguments, const Bytes &standardInput)
{
    std::vector<std::string> command{ZqvPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunCommand(command, standardInput);
}

RunResult RunCommand(const std::vector<std::string> &command, const Bytes &standardInput)
{
    // The streams go through files: no pipe can fill up and stall the child.
    ScratchDirectory streams;
    std::string inputPath = streams.Put("stdin", standardInput);
    std::string outputPath = streams.File("stdout");
    std::string errorPath = streams.File("stderr");
    RunResult result;
    std::vector<std::string> arguments(command.begin() + 1, command.end());
    result.exitStatus = RunProgram(command[0], arguments, {inputPath, outputPath, errorPath});
    result.standardOutput = ReadWholeFile(outputPath);
    Bytes error = ReadWholeFile(errorPath);
    for (uint8_t byte : error)
        if (byte != '\r')
            result.standardError.push_back(static_cast<char>(byte));
    return result;
}

ScratchDirectory::ScratchDirectory()
    : path_((std::filesystem::temp_directory_path() / UniqueName("zqv-cli")).string())
{
    std::filesystem::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDirectory::File(const std::string &name) const
{
    return (std::filesystem::path(path_) / name).string();
}

std::string ScratchDirectory::Put(const std::string &name, const Bytes &contents) const
{
    std::string path = File(name);
    if (!WriteWholeFile(path, contents).Ok())
        std::abort();
    return path;
}

std::vector<std::string> ScratchDirectory::Entries() const
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string FixtureDirectory()
{
    const char *directory = std::getenv("ZQV_FIXTURES");
    return directory == nullptr ? std::string() : HostPath(directory);
}

Bytes WithRealSizeField(Bytes bmp)
{
    PutLittle32(bmp, FileSizeField, static_cast<uint32_t>(bmp.size()));
    return bmp;
}

Bytes UnwrapIndependently(const Bytes &container, size_t expectedSize)
{
    Bytes packed = Masked(container);
    Bytes unpacked(expectedSize + 1);
    uLongf unpackedLength = static_cast<uLongf>(unpacked.size());
    if (uncompress(unpacked.data(), &unpackedLength, packed.data(), static_cast<uLong>(packed.size())) != Z_OK)
        return {};
    unpacked.resize(unpackedLength);
    return unpacked;
}
