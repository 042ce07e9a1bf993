#include "tools/zqv/picture_decoder.h"

#include "tools/zqv/interrupt.h"
#include "tools/zqv_format.h"

namespace {

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

// The BMP file from the blocks of a GetPicture that answered result.
Status TakePicture(int32_t result, const PictureBlocks &blocks, const std::string &subject, Bytes *bmp)
{
    if (result != ResultOk)
        return PluginOutcome(result, subject);
    Bytes info;
    Bytes pixels;
    bool infoCopied = CopyBlock(blocks.info, &info);
    bool pixelsCopied = CopyBlock(blocks.bits, &pixels);
    if (!infoCopied || !pixelsCopied)
        return PluginOutcome(ResultMemoryError, subject);
    *bmp = RebuildBmp(info, pixels);
    return Success();
}

} // namespace

Status DecodeFile(const PluginExports &plugin, const std::string &path, int32_t offset, ProgressBar *bar,
                  Bytes *bmp)
{
    PictureBlocks blocks;
    activeBar = bar;
    int32_t result = GetPictureFromFile(plugin, path, offset, &blocks, ReportProgress);
    activeBar = nullptr;
    return TakePicture(result, blocks, path, bmp);
}

Status DecodeMemory(const PluginExports &plugin, const Bytes &container, const std::string &subject,
                    ProgressBar *bar, Bytes *bmp)
{
    PictureBlocks blocks;
    activeBar = bar;
    int32_t result = GetPictureFromMemory(plugin, container, &blocks, ReportProgress);
    activeBar = nullptr;
    return TakePicture(result, blocks, subject, bmp);
}
