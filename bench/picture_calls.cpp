#include "bench/picture_calls.h"

#include "codec/container.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t FileInputFlags = 0;
constexpr uint32_t MemoryInputFlags = 1;
constexpr int32_t ContainerStartOffset = 0;

// Where the first byte differing from expected is in actual, or count when
// none does.
uint64_t FirstDifference(const uint8_t *actual, const uint8_t *expected, uint64_t count)
{
    if (std::memcmp(actual, expected, count) == 0)
        return count;
    return static_cast<uint64_t>(std::mismatch(actual, actual + count, expected).first - actual);
}

uint64_t FirstNonZero(const uint8_t *bytes, uint64_t count)
{
    return static_cast<uint64_t>(std::find_if(bytes, bytes + count, [](uint8_t byte) { return byte != 0; }) - bytes);
}

// The block's size must be expectedSize and its bytes pass inspect.
template <typename Inspect>
Status CheckBlock(HLOCAL block, const char *name, uint64_t expectedSize, Inspect inspect)
{
    uint64_t size = block == nullptr ? 0 : LocalSize(block);
    if (size != expectedSize)
        return Status::Failure(std::string("the ") + name + " block holds " + std::to_string(size) +
                               " bytes instead of " + std::to_string(expectedSize));
    if (size == 0)
        return Status::Success();
    auto *bytes = static_cast<const uint8_t *>(LocalLock(block));
    if (bytes == nullptr)
        return Status::Failure(std::string("the ") + name + " block cannot be locked");
    Status inspected = inspect(bytes);
    LocalUnlock(block);
    return inspected;
}

Status Mismatch(const char *name, uint64_t at)
{
    return Status::Failure(std::string("the ") + name + " block differs from the picture at byte " +
                           std::to_string(at));
}

} // namespace

void PictureBlocks::Free()
{
    if (info != nullptr)
        LocalFree(info);
    if (bits != nullptr)
        LocalFree(bits);
    info = bits = nullptr;
}

int32_t GetPictureFromMemory(const PluginExports &plugin, const std::vector<uint8_t> &container,
                             PictureBlocks *blocks)
{
    return plugin.GetPicture(reinterpret_cast<const char *>(container.data()), static_cast<int32_t>(container.size()),
                             MemoryInputFlags, &blocks->info, &blocks->bits, nullptr, 0);
}

int32_t GetPictureFromFile(const PluginExports &plugin, const std::string &path, PictureBlocks *blocks)
{
    return plugin.GetPicture(path.c_str(), ContainerStartOffset, FileInputFlags, &blocks->info, &blocks->bits,
                             nullptr, 0);
}

const char *ResultMeaning(int32_t result)
{
    switch (result) {
    case ResultOk:
        return "the picture";
    case ResultAborted:
        return "stopped";
    case ResultBadFormat:
        return "not a picture";
    case ResultBrokenData:
        return "damaged data";
    case ResultNoMemory:
        return "out of memory";
    case ResultMemoryError:
        return "memory error";
    case ResultFileError:
        return "file error";
    default:
        return "unknown result";
    }
}

Status CheckDelivered(const PictureBlocks &blocks, const uint8_t *file, uint64_t fileBytes, uint32_t pixelOffset)
{
    uint64_t infoBytes = pixelOffset - BmpFileHeaderSize;
    uint64_t pixelBytes = fileBytes - pixelOffset;
    Status info = CheckBlock(blocks.info, "info", infoBytes, [&](const uint8_t *bytes) {
        uint64_t at = FirstDifference(bytes, file + BmpFileHeaderSize, infoBytes);
        return at == infoBytes ? Status::Success() : Mismatch("info", at);
    });
    if (!info.Ok())
        return info;
    return CheckBlock(blocks.bits, "bits", fileBytes, [&](const uint8_t *bytes) {
        uint64_t at = FirstDifference(bytes, file + pixelOffset, pixelBytes);
        if (at != pixelBytes)
            return Mismatch("bits", at);
        uint64_t tail = FirstNonZero(bytes + pixelBytes, pixelOffset);
        if (tail != pixelOffset)
            return Status::Failure("the bits block is not zero after the pixel data, at byte " +
                                   std::to_string(pixelBytes + tail));
        return Status::Success();
    });
}
