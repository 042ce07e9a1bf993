#include "tools/plugin_host.h"

#ifdef _WIN32

namespace {

template <typename Function> bool FindExport(HMODULE module, const char *name, Function *slot, std::string *error)
{
    *slot = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    if (*slot == nullptr)
        *error = std::string("IFYZQV.SPI does not export ") + name;
    return *slot != nullptr;
}

} // namespace

std::string ProgramDirectory()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path, length);
    size_t separator = directory.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : directory.substr(0, separator + 1);
}

bool LoadPlugin(PluginExports *exports, std::string *error)
{
    std::string path = ProgramDirectory() + PluginFileName;
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    exports->module = module;
    bool found = FindExport(module, "GetPluginInfo", &exports->GetPluginInfo, error) &&
                 FindExport(module, "IsSupported", &exports->IsSupported, error) &&
                 FindExport(module, "GetPictureInfo", &exports->GetPictureInfo, error) &&
                 FindExport(module, "GetPicture", &exports->GetPicture, error) &&
                 FindExport(module, "GetPreview", &exports->GetPreview, error);
    if (!found)
        UnloadPlugin(exports);
    return found;
}

void UnloadPlugin(PluginExports *exports)
{
    if (exports->module)
        FreeLibrary(static_cast<HMODULE>(exports->module));
    *exports = PluginExports{};
}

#else

#include <climits>
#include <unistd.h>

std::string ProgramDirectory()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    std::string directory(path, length > 0 ? static_cast<size_t>(length) : 0);
    size_t separator = directory.find_last_of('/');
    return separator == std::string::npos ? std::string() : directory.substr(0, separator + 1);
}

bool LoadPlugin(PluginExports *exports, std::string *)
{
    exports->GetPluginInfo = ::GetPluginInfo;
    exports->IsSupported = ::IsSupported;
    exports->GetPictureInfo = ::GetPictureInfo;
    exports->GetPicture = ::GetPicture;
    exports->GetPreview = ::GetPreview;
    exports->module = nullptr;
    return true;
}

void UnloadPlugin(PluginExports *exports) { *exports = PluginExports{}; }

#endif
