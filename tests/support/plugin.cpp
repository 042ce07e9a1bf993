#include "tests/support/plugin.h"

#include <cstdio>
#include <cstdlib>

namespace {
ProgressLog *activeLog = nullptr;
constexpr size_t FileHeaderBytes = 14;
constexpr size_t PixelOffsetField = 10;
} // namespace

const PluginExports &Plugin()
{
    static PluginExports exports = [] {
        PluginExports loaded;
        std::string error;
        if (!LoadPlugin(&loaded, &error)) {
            std::fprintf(stderr, "cannot load the plug-in: %s\n", error.c_str());
            std::exit(2);
        }
        return loaded;
    }();
    return exports;
}

ProgressLog::ProgressLog() { activeLog = this; }
ProgressLog::~ProgressLog() { activeLog = nullptr; }

int32_t WINAPI RecordProgress(int32_t numerator, int32_t denominator, int32_t userData)
{
    ProgressLog *log = activeLog;
    if (log == nullptr)
        return 0;
    log->calls.push_back({numerator, denominator, userData});
    if (log->stopAtCall != 0 && static_cast<int>(log->calls.size()) == log->stopAtCall)
        return 1;
    if (log->stopAtComplete && numerator == 100 && denominator == 100)
        return 1;
    return 0;
}

Decoded::~Decoded()
{
    if (result == 0) {
        LocalFree(info);
        LocalFree(bits);
    }
}

void DecodeFile(Decoded *out, const std::string &path, int32_t offset, ProgressCallback progress, int32_t userData,
                uint32_t flags)
{
    out->result = Plugin().GetPicture(path.c_str(), offset, flags, &out->info, &out->bits, progress, userData);
}

void DecodeMemory(Decoded *out, const Bytes &container, ProgressCallback progress, int32_t userData, uint32_t flags)
{
    out->result = Plugin().GetPicture(reinterpret_cast<const char *>(container.data()),
                                      static_cast<int32_t>(container.size()), flags, &out->info, &out->bits,
                                      progress, userData);
}

Bytes ExpectedInfo(const Bytes &bmp)
{
    uint32_t pixelOffset = GetLittle32(bmp, PixelOffsetField);
    return Bytes(bmp.begin() + FileHeaderBytes, bmp.begin() + pixelOffset);
}

Bytes ExpectedBits(const Bytes &bmp)
{
    uint32_t pixelOffset = GetLittle32(bmp, PixelOffsetField);
    Bytes bits(bmp.begin() + pixelOffset, bmp.end());
    bits.resize(bmp.size(), 0);
    return bits;
}
