// tools/zqv/picture_decoder.h -- a ZQV picture decoded through the plug-in's
// GetPicture, as a viewer does it, and turned back into a BMP file.
#pragma once

#include "tools/plugin_host.h"
#include "tools/zqv/outcome.h"
#include "tools/zqv/progress_bar.h"

#include <cstdint>
#include <string>

// Decodes the container that starts `offset` bytes into the file `path`
// (GetPicture with flags 0: the plug-in opens and reads the file itself).
Status DecodeFile(const PluginExports &plugin, const std::string &path, int32_t offset, ProgressBar *bar,
                   Bytes *bmp);

// Decodes a container held in memory (GetPicture with flags 1); subject
// names it in messages.
Status DecodeMemory(const PluginExports &plugin, const Bytes &container, const std::string &subject,
                     ProgressBar *bar, Bytes *bmp);
