// bench/largest.h -- the --largest search: how large a picture GetPicture
// can still deliver in this process's address space.
//
// Each try is a flat picture compressed straight into a temporary file, a
// row at a time, so this process never holds the picture; a fresh child
// (bench/peak.h) decodes it from the file.
#pragma once

#include "tools/status.h"

// Prints each try and the result. Fails when a try fails for any reason
// other than GetPicture running out of memory.
Status RunLargestSearch();
