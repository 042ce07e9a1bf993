// bench/largest.h -- the --largest search: how large a picture GetPicture can
// still deliver in this process's address space. Each try is a flat picture
// compressed a row at a time into a temporary file, so this process never
// holds it, and decoded from there by a fresh child (bench/peak.h).
#pragma once

#include "tools/status.h"

// Prints each try and the result. Fails when a try fails for any reason
// other than GetPicture running out of memory.
Status RunLargestSearch();
