// tools/zqv/encoder.h -- making a ZQV container: the BMP file compressed as
// one zlib stream (what compress2 makes), every byte then XORed with 0xD4.
#pragma once

#include "tools/zqv/outcome.h"
#include "tools/zqv/progress_bar.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

constexpr int LowestLevel = 0;  // stored, no compression
constexpr int HighestLevel = 9; // smallest output
constexpr int DefaultLevel = 6; // zlib's own default

// Compresses bmp at level (LowestLevel..HighestLevel) into *container. The
// work goes in slices, so the bar moves and Ctrl-C stops it (ExitStopped);
// zlib failing fails with ExitNoMemory. subject names the input in messages.
Outcome EncodeContainer(const Bytes &bmp, int level, ProgressBar *bar, const std::string &subject,
                        Bytes *container);

// XORs every byte with the container's mask; applying it twice restores.
void ApplyMask(Bytes *bytes);
