// tools/zqv/commands.h -- the commands, run on parsed options: results
// go to standard output, a failure comes back for the caller to report.
#pragma once

#include "tools/plugin_host.h"
#include "tools/zqv/batch.h"
#include "tools/zqv/options.h"
#include "tools/zqv/outcome.h"

// The size of the head a viewer passes to IsSupported.
constexpr size_t ProbeHeadBytes = 2048;

// decode IN OUT: GetPicture on the file (flags 0) or on standard input read
// into memory (flags 1), then the rebuilt BMP file written safely. With -o DIR,
// every input so below DIR; ExitSomeFailed if any failed.
Status RunDecode(const Options &options, const PluginExports &plugin);

// encode IN OUT: a BMP file checked, compressed and masked, written safely.
// Needs no plug-in. With -o DIR, as decode's batch form.
Status RunEncode(const Options &options);

// probe FILE...: one line per file; ExitNotRecognised if any file was not a
// ZQV picture, ExitCannotRead (reported per file) if any could not be read.
Status RunProbe(const Options &options, const PluginExports &plugin);

// Reads the head of the file (or "-") and asks IsSupported about it, as a
// viewer does.
Status ProbeFile(const PluginExports &plugin, const std::string &path, bool *recognised);

// plugin: the four information strings, one per line.
Status RunPlugin(const PluginExports &plugin);

// info PICTURE...: each picture's facts, one line (or JSON object) per file;
// with no file, the plug-in's strings and where they are now.
Status RunInfo(const Options &options, const PluginExports &plugin);

// check PATH...: every picture decoded through the plug-in and its stream
// scanned; a line for each one not sound, and a summary. ExitSomeFailed
// unless all are sound.
Status RunCheck(const Options &options, const PluginExports &plugin);

// The worker's side of -j (zqv COMMAND --worker): one request, the report of
// one picture. A conversion's request is its input and output (the plug-in
// decodes; with none, encodes); check's and info's, the picture's path.
ItemReport ConvertRequest(const Options &options, const PluginExports *plugin, const Message &request);
ItemReport CheckRequest(const PluginExports &plugin, const Message &request);
ItemReport InfoRequest(const Options &options, const Message &request);
