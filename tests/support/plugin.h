// tests/support/plugin.h -- the plug-in, loaded once per test program the way
// a viewer loads it (tools/plugin_host.h), and what a host needs around it.
#pragma once

#include "tests/support/fixtures.h"
#include "tools/plugin_host.h"

// The loaded exports; ends the program with a message if loading fails.
const PluginExports &Plugin();

// What a test presets an out-parameter to, to see whether it was written.
inline HLOCAL const Untouched = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xdeadbeef));

// Records what the plug-in reports through RecordProgress while it is alive
// (one at a time, on the test's thread).
struct ProgressLog {
    struct Call {
        int32_t numerator;
        int32_t denominator;
        intptr_t userData;
    };
    std::vector<Call> calls;
    int stopAtCall = 0;          // answer nonzero at this call (1 = the first); 0 never
    bool stopAtComplete = false; // answer nonzero at the (100, 100) call

    ProgressLog();
    ~ProgressLog();
    ProgressLog(const ProgressLog &) = delete;
    ProgressLog &operator=(const ProgressLog &) = delete;
};
int32_t WINAPI RecordProgress(int32_t numerator, int32_t denominator, intptr_t userData);

// One GetPicture call's outcome. The destructor reads the blocks the way a
// viewer does (ReadLikeAViewer), then frees them.
struct Decoded {
    int32_t result = -99;
    HLOCAL info = Untouched;
    HLOCAL bits = Untouched;
    std::string source; // what was decoded, for messages
    Decoded() = default;
    Decoded(const Decoded &) = delete;
    Decoded &operator=(const Decoded &) = delete;
    ~Decoded();
};
void DecodeFile(Decoded *out, const std::string &path, int32_t offset, ProgressCallback progress = nullptr,
                intptr_t userData = 0, uint32_t flags = 0);
void DecodeMemory(Decoded *out, const Bytes &container, ProgressCallback progress = nullptr, intptr_t userData = 0,
                  uint32_t flags = 1);

// What a viewer reads out of the two blocks it receives, trusting the bitmap
// header at the start of the info block: the header (all of its common
// fields, 40 bytes, even after a 12-byte core header, as some viewers read
// them), the bit-field masks after a 40-byte header, and the palette (all
// 2^bits entries for 1 to 8 bits, or the colours-used count when more); from
// the pixel block the rows the header describes (uncompressed and bit-field
// bitmaps), and its image size.
// Worked out here from the BMP format, not from the plug-in's code.
struct ViewerReads {
    uint64_t info;
    uint64_t bits;
};
ViewerReads WhatAViewerReads(const Bytes &info);

// Plays such a viewer over blocks the plug-in handed over: copies out as many
// bytes as it reads, failing the test where a block is shorter. Natively a
// short block is also a heap overflow that AddressSanitizer reports. Every
// picture a Decoded receives goes through it.
void ReadLikeAViewer(HLOCAL info, HLOCAL bits, const std::string &what);

// What GetPicture must deliver for a BMP file: its bytes 14..off-1, and its
// bytes off..end followed by off zeros.
Bytes ExpectedInfo(const Bytes &bmp);
Bytes ExpectedBits(const Bytes &bmp);
