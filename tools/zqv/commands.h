// tools/zqv/commands.h -- the four commands, run on parsed options: results
// go to standard output, a failure comes back for the caller to report.
#pragma once

#include "tools/plugin_host.h"
#include "tools/zqv/options.h"
#include "tools/zqv/outcome.h"

// The size of the head a viewer passes to IsSupported.
constexpr size_t ProbeHeadBytes = 2048;

// decode IN OUT: GetPicture on the file (flags 0) or on standard input read
// into memory (flags 1), then the rebuilt BMP file written safely.
Status RunDecode(const Options &options, const PluginExports &plugin);

// encode IN OUT: a BMP file checked, compressed and masked, written safely.
// Needs no plug-in.
Status RunEncode(const Options &options);

// probe FILE...: one line per file; ExitNotRecognised if any file was not a
// ZQV picture, ExitCannotRead (reported per file) if any could not be read.
Status RunProbe(const Options &options, const PluginExports &plugin);

// info: the four information strings, one per line.
Status RunInfo(const PluginExports &plugin);
