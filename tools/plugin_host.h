// tools/plugin_host.h -- reach the plug-in the way a viewer does.
//
// In the win32 build LoadPlugin loads ifyzqv.spi from the directory of the
// running program with LoadLibraryA and finds the five exports with
// GetProcAddress; every call then goes through a __stdcall function pointer,
// exactly as from a host. In the native build the same exports are linked in
// and LoadPlugin simply points at them, so the same host code runs on both.
#pragma once

#include "plugin/api.h"

#include <string>

typedef int32_t(WINAPI *GetPluginInfoFunction)(int32_t index, char *dest, int32_t destLength);
typedef int32_t(WINAPI *IsSupportedFunction)(const char *ignored, HandleOrAddress headOrHandle);
typedef int32_t(WINAPI *GetPictureInfoFunction)(const char *data, int32_t lengthOrOffset, uint32_t flags,
                                                void *info);
typedef int32_t(WINAPI *GetPictureFunction)(const char *data, int32_t lengthOrOffset, uint32_t flags,
                                            HLOCAL *infoOut, HLOCAL *bitsOut, ProgressCallback progress,
                                            int32_t userData);

struct PluginExports {
    GetPluginInfoFunction GetPluginInfo = nullptr;
    IsSupportedFunction IsSupported = nullptr;
    GetPictureInfoFunction GetPictureInfo = nullptr;
    GetPictureFunction GetPicture = nullptr;
    GetPictureFunction GetPreview = nullptr; // same arguments as GetPicture
    void *module = nullptr;                  // the loaded library; null natively
};

// The plug-in's file name, as a viewer finds it in its plug-in folder.
constexpr const char *PluginFileName = "ifyzqv.spi";

// Fills exports; false with *error saying what failed (the library could
// not be loaded, or an export is missing).
bool LoadPlugin(PluginExports *exports, std::string *error);

// Unloads the library (win32); the exports are cleared.
void UnloadPlugin(PluginExports *exports);

// The directory of the running program, with a trailing separator.
std::string ProgramDirectory();
