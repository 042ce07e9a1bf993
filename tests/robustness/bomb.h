// tests/robustness/bomb.h -- decompression bombs, made on the spot.
#pragma once

#include "tests/support/fixtures.h"

#include <cstdint>

// A ZQV container whose BMP file is a 54-byte header (pixel data at 54)
// followed by zeroMebibytes MiB of zeros: about 1 KB of container per MiB,
// made in milliseconds however large it inflates, as every mebibyte of zeros
// deflates to the same bytes.
Bytes MakeZeroBomb(uint32_t zeroMebibytes);

// The same, but with claimedFileSize in the header's file size field in place
// of the truth.
Bytes MakeZeroBombClaiming(uint32_t zeroMebibytes, uint32_t claimedFileSize);

// The size of the BMP file MakeZeroBomb's container inflates to.
uint64_t ZeroBombFileSize(uint32_t zeroMebibytes);
