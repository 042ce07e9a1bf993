// bench/decode_table.h -- the main measurement: one line per picture kind,
// size and zlib level, comparing GetPicture with zlib's bare inflate.
#pragma once

#include "bench/options.h"
#include "tools/status.h"
#include "tools/plugin_host.h"

// Runs every case the options select, printing each line as it is done and
// the scaling summary at the end. A case that fails is reported on standard
// error and in its line, and the others still run; fails if any did.
Status RunDecodeTable(const BenchOptions &options, const PluginExports &plugin);
