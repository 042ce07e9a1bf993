#include "tools/plugin_host.h"

#include <algorithm>

#ifndef _WIN32
#include <climits>
#include <unistd.h>
#endif

namespace {

constexpr uint32_t FromFile = 0;
constexpr uint32_t FromMemory = 1;

struct ResultText {
    int32_t result;
    const char *name;
    const char *message;
};

// The plug-in answers ResultNoMemory also when a BMP's pixel-data offset is
// below 14, hence the second half of that message.
constexpr ResultText ResultTexts[] = {
    {ResultOk, "the picture", nullptr},
    {ResultAborted, "stopped", "stopped before the picture was complete"},
    {ResultBadFormat, "not a picture", "not a ZQV picture (it does not hold a BMP file)"},
    {ResultBrokenData, "damaged data", "damaged data (the compressed stream is corrupt)"},
    {ResultNoMemory, "out of memory", "out of memory (or the picture's pixel-data offset is impossible)"},
    {ResultMemoryError, "memory error", "out of memory (the decoded picture cannot be locked)"},
    {ResultFileError, "file error", "cannot open the file, or read it at the offset given"},
    {ResultNotImplemented, "not provided", "the plug-in does not provide this"},
};

const ResultText *FindResult(int32_t result)
{
    for (const ResultText &text : ResultTexts)
        if (text.result == result)
            return &text;
    return nullptr;
}

// GetPicture with flags 1 on count bytes at start; an empty container still
// gets a valid address.
int32_t GetPictureOfBytes(const PluginExports &plugin, const uint8_t *start, size_t count, PictureBlocks *blocks,
                          ProgressCallback progress, intptr_t userData)
{
    static const uint8_t nothing = 0;
    return plugin.GetPicture(reinterpret_cast<const char *>(count == 0 ? &nothing : start),
                             static_cast<intptr_t>(count), FromMemory, &blocks->info, &blocks->bits, progress,
                             userData);
}

#ifdef _WIN32
template <typename Function> bool FindExport(HMODULE module, const char *name, Function *slot, std::string *error)
{
    *slot = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    if (*slot == nullptr)
        *error = std::string(PluginModuleName) + " does not export " + name;
    return *slot != nullptr;
}
#endif

} // namespace

#ifdef _WIN32

std::string ProgramPath()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length < MAX_PATH ? length : 0);
}

Status LoadPlugin(PluginExports *exports)
{
    std::string path = ProgramDirectory() + PluginFileName;
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr)
        return Status::Failure("cannot load " + path + " (error " + std::to_string(GetLastError()) + ")");
    exports->module = module;
    std::string error;
    bool found = FindExport(module, "GetPluginInfo", &exports->GetPluginInfo, &error) &&
                 FindExport(module, "IsSupported", &exports->IsSupported, &error) &&
                 FindExport(module, "GetPictureInfo", &exports->GetPictureInfo, &error) &&
                 FindExport(module, "GetPicture", &exports->GetPicture, &error) &&
                 FindExport(module, "GetPreview", &exports->GetPreview, &error);
    if (found)
        return Status::Success();
    UnloadPlugin(exports);
    return Status::Failure(error);
}

void UnloadPlugin(PluginExports *exports)
{
    if (exports->module)
        FreeLibrary(static_cast<HMODULE>(exports->module));
    *exports = PluginExports{};
}

#else

std::string ProgramPath()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    return std::string(path, length > 0 ? static_cast<size_t>(length) : 0);
}

Status LoadPlugin(PluginExports *exports)
{
    *exports = {::GetPluginInfo, ::IsSupported, ::GetPictureInfo, ::GetPicture, ::GetPreview, nullptr};
    return Status::Success();
}

void UnloadPlugin(PluginExports *exports) { *exports = PluginExports{}; }

#endif

std::string ProgramDirectory()
{
    std::string path = ProgramPath();
    size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

const char *ResultName(int32_t result)
{
    const ResultText *text = FindResult(result);
    return text == nullptr ? "unknown result" : text->name;
}

const char *ResultMessage(int32_t result)
{
    const ResultText *text = FindResult(result);
    return text == nullptr ? nullptr : text->message;
}

void PictureBlocks::Free()
{
    LocalFree(info); // LocalFree ignores a null block
    LocalFree(bits);
    info = bits = nullptr;
}

int32_t GetPictureFromFile(const PluginExports &plugin, const std::string &path, intptr_t offset,
                           PictureBlocks *blocks, ProgressCallback progress, intptr_t userData)
{
    return plugin.GetPicture(path.c_str(), offset, FromFile, &blocks->info, &blocks->bits, progress, userData);
}

int32_t GetPictureFromMemory(const PluginExports &plugin, const Bytes &container, PictureBlocks *blocks,
                             ProgressCallback progress, intptr_t userData)
{
    return GetPictureOfBytes(plugin, container.data(), container.size(), blocks, progress, userData);
}

int32_t GetPictureAt(const PluginExports &plugin, const ContainerPlace &place, PictureBlocks *blocks,
                     ProgressCallback progress, intptr_t userData)
{
    if (place.bytes == nullptr) {
        if (place.offset > uint64_t(INTPTR_MAX))
            return ResultFileError;
        return GetPictureFromFile(plugin, place.path, static_cast<intptr_t>(place.offset), blocks, progress,
                                  userData);
    }
    size_t skipped = static_cast<size_t>(std::min<uint64_t>(place.offset, place.bytes->size()));
    return GetPictureOfBytes(plugin, place.bytes->data() + skipped, place.bytes->size() - skipped, blocks, progress,
                             userData);
}

bool CopyBlock(HLOCAL block, Bytes *bytes)
{
    bytes->clear();
    size_t size = block == nullptr ? 0 : LocalSize(block);
    if (size == 0)
        return true;
    auto *start = static_cast<const uint8_t *>(LocalLock(block));
    if (start == nullptr)
        return false;
    bytes->assign(start, start + size);
    LocalUnlock(block);
    return true;
}
