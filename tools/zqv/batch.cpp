#include "tools/zqv/batch.h"

#include "tools/files.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#ifdef _WIN32
#include "platform/platform.h"
#endif

namespace fs = std::filesystem;

namespace {

using PathKey = fs::path::string_type;

// The name the file system knows a path by: absolute, with links and dot
// segments resolved as far as the path exists, and in the Windows builds in
// upper case, as their file systems ignore case.
PathKey KeyOf(const std::string &name)
{
    std::error_code error;
    fs::path path = fs::weakly_canonical(PathOfName(name), error);
    if (error)
        path = fs::absolute(PathOfName(name), error).lexically_normal();
    PathKey key = path.native();
#ifdef _WIN32
    PathKey upper(key.size(), L'\0');
    int length = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.data(), static_cast<int>(key.size()),
                              upper.data(), static_cast<int>(upper.size()));
    if (length == static_cast<int>(key.size()))
        key = upper;
#endif
    return key;
}

// "a", "a and b", "a, b and c".
std::string Listed(const std::vector<std::string> &names)
{
    std::string list;
    for (size_t at = 0; at < names.size(); ++at)
        list += (at == 0 ? "" : at + 1 == names.size() ? " and " : ", ") + InputName(names[at]);
    return list;
}

// Refuses every conversion whose output another also writes, or whose
// output is an input of the batch.
void RefuseCollisions(std::vector<Conversion> *conversions)
{
    std::map<PathKey, std::vector<size_t>> byOutput;
    std::map<PathKey, std::string> inputs;
    for (size_t at = 0; at < conversions->size(); ++at) {
        const Conversion &conversion = (*conversions)[at];
        if (conversion.refused.Ok())
            byOutput[KeyOf(conversion.output)].push_back(at);
        if (conversion.input.path != StandardStreamName)
            inputs.emplace(KeyOf(conversion.input.path), conversion.input.path);
    }
    for (const auto &[key, sharers] : byOutput) {
        auto input = inputs.find(key);
        for (size_t at : sharers) {
            Conversion &conversion = (*conversions)[at];
            std::vector<std::string> others;
            for (size_t other : sharers)
                if (other != at)
                    others.push_back((*conversions)[other].input.path);
            std::string why;
            if (input != inputs.end())
                why = "its output would overwrite the input " + input->second;
            else if (!others.empty())
                why = conversion.output + " is also the output of " + Listed(others);
            else
                continue;
            conversion.refused = Status::Failure(InputName(conversion.input.path) + ": not converted: " + why);
        }
    }
}

} // namespace

void PrintReport(const ItemReport &report)
{
    std::fputs(report.err.c_str(), stderr);
    std::fputs(report.out.c_str(), stdout);
    std::fflush(stderr);
    std::fflush(stdout);
}

std::vector<Conversion> PlanConversions(const std::vector<InputFile> &inputs, const std::string &directory,
                                        const std::string &extension, bool force)
{
    std::vector<Conversion> conversions;
    for (const InputFile &input : inputs) {
        Status refused = input.problem.Ok() ? Status::Success()
                                            : Status::Failure(input.path + ": " + input.problem.Message());
        conversions.push_back({input, OutputPathFor(input, directory, extension), refused});
    }
    RefuseCollisions(&conversions);
    for (Conversion &conversion : conversions) {
        std::error_code error;
        conversion.skipped = conversion.refused.Ok() && !force && fs::exists(PathOfName(conversion.output), error);
    }
    return conversions;
}
