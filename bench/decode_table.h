// bench/decode_table.h -- the main measurement: one line per picture kind,
// size and zlib level, comparing GetPicture with zlib's bare inflate.
#pragma once

#include "bench/options.h"
#include "tools/status.h"
#include "tools/plugin_host.h"

// Runs every case the options select, printing each line when done, then the
// scaling summary. A failed case is reported on standard error and in its
// line, and the others still run; fails if any failed.
Status RunDecodeTable(const BenchOptions &options, const PluginExports &plugin);
