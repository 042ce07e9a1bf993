// streams/results.h -- the result codes and the progress callback.
//
// Every layer speaks these: the exports return them (plugin/api.h), and the
// streams and the codec below report with them. They live here, at the
// bottom, so that no lower layer includes the plug-in's own header.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Result codes, returned by the exports and by the open and decode steps.
constexpr int32_t ResultNotImplemented = -1; // not provided; also an unknown stream kind
constexpr int32_t ResultOk = 0;
constexpr int32_t ResultAborted = 1;     // the progress callback asked to stop
constexpr int32_t ResultBadFormat = 2;   // the decoded data is not a BMP file
constexpr int32_t ResultBrokenData = 3;  // damaged compressed data, or a fault while decoding
constexpr int32_t ResultNoMemory = 4;    // a memory block cannot be allocated
constexpr int32_t ResultMemoryError = 5; // a memory block cannot be locked
constexpr int32_t ResultFileError = 6;   // a file cannot be opened or positioned

// The host's progress callback. It is called with how far decoding has come
// (numerator over denominator) and the userData the host passed to
// GetPicture, unchanged; a nonzero return asks the plug-in to stop. It runs on
// the caller's thread.
typedef int32_t(WINAPI *ProgressCallback)(int32_t numerator, int32_t denominator, intptr_t userData);

// Stands in for a null callback, and serves decodes nobody watches: never
// asks to stop.
inline int32_t WINAPI DefaultProgress(int32_t, int32_t, intptr_t) { return 0; }
