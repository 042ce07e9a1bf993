// tools/plugin_host.h -- reach the plug-in the way a viewer does: in the
// Windows builds LoadPlugin loads ifyzqv.spi (ifyzqv.sph) from the running
// program's directory and finds the five exports with GetProcAddress; in the
// native build they are linked in and LoadPlugin points at them. Around the
// calls: what their results mean, and GetPicture with the blocks it hands over.
#pragma once

#include "plugin/api.h"
#include "tools/files.h"
#include "tools/status.h"

#include <cstdint>
#include <string>

// Pointers to the exports, typed by their declarations in plugin/api.h.
struct PluginExports {
    decltype(&::GetPluginInfo) GetPluginInfo = nullptr;
    decltype(&::IsSupported) IsSupported = nullptr;
    decltype(&::GetPictureInfo) GetPictureInfo = nullptr;
    decltype(&::GetPicture) GetPicture = nullptr;
    decltype(&::GetPreview) GetPreview = nullptr;
    void *module = nullptr; // the loaded library; null natively
};

// The plug-in's file name, as a viewer finds it in its plug-in folder (64-bit
// viewers load .sph plug-ins, 32-bit ones .spi), and its module name.
#ifdef _WIN64
constexpr const char *PluginFileName = "ifyzqv.sph";
constexpr const char *PluginModuleName = "IFYZQV.SPH";
#else
constexpr const char *PluginFileName = "ifyzqv.spi";
constexpr const char *PluginModuleName = "IFYZQV.SPI";
#endif

// Fills exports; fails when the library cannot be loaded or lacks an export.
Status LoadPlugin(PluginExports *exports);

// Unloads the library (win32); the exports are cleared.
void UnloadPlugin(PluginExports *exports);

// The full path of the running program, and its directory with a separator.
std::string ProgramPath();
std::string ProgramDirectory();

// A GetPicture result code's short name ("damaged data"), for tables and
// brief messages; "unknown result" for a code api.h does not list.
const char *ResultName(int32_t result);

// The same code said in a sentence a user can act on ("damaged data (the
// compressed stream is corrupt)"); null for ResultOk and unknown codes.
const char *ResultMessage(int32_t result);

// GetPicture's two blocks, freed (LocalFree) with the object.
struct PictureBlocks {
    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;

    PictureBlocks() = default;
    ~PictureBlocks() { Free(); }
    PictureBlocks(const PictureBlocks &) = delete;
    PictureBlocks &operator=(const PictureBlocks &) = delete;
    void Free();
};

// GetPicture with flags 0: the plug-in opens the file at path and reads the
// container from offset on. progress may be null; it is given userData.
int32_t GetPictureFromFile(const PluginExports &plugin, const std::string &path, intptr_t offset,
                           PictureBlocks *blocks, ProgressCallback progress = nullptr, intptr_t userData = 0);

// GetPicture with flags 1: the container is the bytes given (an empty one
// still gets a valid address).
int32_t GetPictureFromMemory(const PluginExports &plugin, const Bytes &container, PictureBlocks *blocks,
                             ProgressCallback progress = nullptr, intptr_t userData = 0);

// Where a container is: a file, from a byte offset on, or bytes in memory
// (standard input, read once), from the offset on too. The host library
// reads either alike.
struct ContainerPlace {
    std::string path;             // the file, when bytes is null
    uint64_t offset = 0;          // where the container starts
    const Bytes *bytes = nullptr; // the caller's, kept alive while the place is used

    ContainerPlace() = default;
    ContainerPlace(std::string filePath, uint64_t from = 0) : path(std::move(filePath)), offset(from) {}
    ContainerPlace(const Bytes *memory, uint64_t from = 0) : offset(from), bytes(memory) {}
};

// GetPicture on the container wherever it is: from its file (flags 0, the
// offset as an intptr_t: one the build cannot pass gives ResultFileError), or
// from memory (flags 1, the bytes from the offset on).
int32_t GetPictureAt(const PluginExports &plugin, const ContainerPlace &place, PictureBlocks *blocks,
                     ProgressCallback progress = nullptr, intptr_t userData = 0);

// Copies a local memory block into *bytes (none for a null or empty block);
// false when it cannot be locked.
bool CopyBlock(HLOCAL block, Bytes *bytes);
