// bench/sink_growth.h -- the --sink section: what the ByteSink's growth
// policy buys.
//
// The decoder appends its output in ChunkSize pieces to a ByteSink, whose
// block at least doubles whenever it must grow. The baseline is a block
// grown by exactly one piece at a time, whose every reallocation may copy
// everything so far: its time grows with the square of the size.
#pragma once

#include "bench/status.h"

#include <vector>

constexpr double SinkLargestMegabytes = 100;

// Compares the two at each of the sizes up to SinkLargestMegabytes (larger
// sizes are skipped, with a note: the baseline would take minutes).
Status RunSinkGrowth(const std::vector<double> &sizesMegabytes, int rounds);
