// bench/units.h -- the units the benchmark reports in.
#pragma once

#include <cstdint>

// Sizes are given and printed in binary megabytes, as the picture sizes a
// viewer shows.
constexpr uint64_t Megabyte = uint64_t{1} << 20;

inline double InMegabytes(uint64_t bytes) { return static_cast<double>(bytes) / Megabyte; }

inline uint64_t FromMegabytes(double megabytes) { return static_cast<uint64_t>(megabytes * Megabyte); }
