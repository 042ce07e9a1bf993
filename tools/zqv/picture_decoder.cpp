#include "tools/zqv/picture_decoder.h"

#include "tools/zqv/bmp.h"
#include "tools/zqv/interrupt.h"

namespace {

constexpr uint32_t FromFile = 0;
constexpr uint32_t FromMemory = 1;

// The callback's userData is 32 bits wide, too narrow for a pointer in the
// native build, so the bar of the one decode running is kept here.
ProgressBar *activeBar = nullptr;

// Returning nonzero makes the plug-in stop and answer ResultAborted.
int32_t WINAPI ReportProgress(int32_t numerator, int32_t denominator, int32_t)
{
    if (activeBar != nullptr)
        activeBar->Update(numerator, denominator);
    return Interrupted() ? 1 : 0;
}

// Copies a local memory block the host now owns, then frees it. A block of
// size 0 (no colour table and no header, say) has nothing to lock.
bool TakeBlock(HLOCAL block, Bytes *bytes)
{
    size_t size = LocalSize(block);
    bool copied = true;
    if (size > 0) {
        auto *start = static_cast<const uint8_t *>(LocalLock(block));
        copied = start != nullptr;
        if (copied) {
            bytes->assign(start, start + size);
            LocalUnlock(block);
        }
    }
    LocalFree(block);
    return copied;
}

Outcome CallGetPicture(const PluginExports &plugin, const char *data, int32_t lengthOrOffset, uint32_t flags,
                       const std::string &subject, ProgressBar *bar, Bytes *bmp)
{
    HLOCAL info = nullptr;
    HLOCAL pixels = nullptr;
    activeBar = bar;
    int32_t result = plugin.GetPicture(data, lengthOrOffset, flags, &info, &pixels, ReportProgress, 0);
    activeBar = nullptr;
    if (result != ResultOk)
        return PluginOutcome(result, subject);
    Bytes infoBytes;
    Bytes pixelBytes;
    bool infoTaken = TakeBlock(info, &infoBytes);
    bool pixelsTaken = TakeBlock(pixels, &pixelBytes);
    if (!infoTaken || !pixelsTaken)
        return PluginOutcome(ResultMemoryError, subject);
    *bmp = RebuildBmp(infoBytes, pixelBytes);
    return Success();
}

} // namespace

Outcome DecodeFile(const PluginExports &plugin, const std::string &path, int32_t offset, ProgressBar *bar,
                   Bytes *bmp)
{
    return CallGetPicture(plugin, path.c_str(), offset, FromFile, path, bar, bmp);
}

Outcome DecodeMemory(const PluginExports &plugin, const Bytes &container, const std::string &subject,
                     ProgressBar *bar, Bytes *bmp)
{
    // An empty vector may have no storage; the plug-in still gets an address.
    static const uint8_t nothing = 0;
    const uint8_t *start = container.empty() ? &nothing : container.data();
    return CallGetPicture(plugin, reinterpret_cast<const char *>(start), static_cast<int32_t>(container.size()),
                          FromMemory, subject, bar, bmp);
}
