// bench/largest.h -- the --largest search: how large a picture GetPicture
// can still deliver in this process's address space.
//
// Each try is a flat picture whose container is compressed straight into a
// temporary file, a row at a time, so this process never holds the picture;
// a fresh child (bench/peak.h) decodes it from the file. Sizes double from
// LargestFirstMegabytes until GetPicture runs out of memory, then the gap
// between the last success and the first failure is halved until it is no
// wider than LargestResolutionMegabytes.
#pragma once

#include "tools/status.h"

#include <cstdint>

constexpr uint32_t LargestFirstMegabytes = 256;
constexpr uint32_t LargestResolutionMegabytes = 16;
// Beyond what a 32-bit process can address anyway; natively the search stops here.
constexpr uint32_t LargestCapMegabytes = 2048;

// Prints each try and the result. Fails when a try fails for any reason
// other than GetPicture running out of memory.
Status RunLargestSearch();
