// The module's entry and the exports that touch no picture.
#include "plugin/api.h"
#include "plugin/lock.h"

#include <cstring>

namespace {

constexpr int32_t PluginInfoCount = 4;
constexpr const char *PluginInfoTable[PluginInfoCount] = {
    "00IN",
    "Yelk *.ZQV to DIB filter Ver 0.01.1 by wusk",
    "*.ZQV",
    "Yelk ZQV File",
};

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        CreateDecodeLock();
    else if (reason == DLL_PROCESS_DETACH)
        DestroyDecodeLock();
    return TRUE;
}

int32_t WINAPI GetPluginInfo(int32_t index, char *dest, int32_t destLength)
{
    // Taken as unsigned, a negative index is out of range too.
    if (static_cast<uint32_t>(index) >= PluginInfoCount || destLength <= 0)
        return 0;
    const char *entry = PluginInfoTable[index];
    int32_t bytesToCopy = static_cast<int32_t>(std::strlen(entry)) + 1;
    if (bytesToCopy >= destLength)
        bytesToCopy = destLength;
    std::memcpy(dest, entry, static_cast<size_t>(bytesToCopy));
    return bytesToCopy;
}

int32_t WINAPI GetPictureInfo(const char *, intptr_t, uint32_t, void *) { return ResultNotImplemented; }

int32_t WINAPI GetPreview(const char *, intptr_t, uint32_t, HLOCAL *, HLOCAL *, ProgressCallback, intptr_t)
{
    return ResultNotImplemented;
}
