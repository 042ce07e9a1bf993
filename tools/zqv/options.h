// tools/zqv/options.h -- the command line, parsed into what to do, and what
// --help and --version print (help.cpp).
#pragma once

#include "tools/imaging.h"
#include "tools/zqv_format.h"
#include "tools/zqv/outcome.h"

#include <cstdint>
#include <string>
#include <vector>

enum class Command { None, Decode, Encode, Probe, Info, Plugin, Check }; // HelpText lists its texts in this order

struct Options {
    Command command = Command::None;
    bool help = false;    // --help / -h: show help (of the command, if one is named)
    bool version = false; // --version
    bool quiet = false;   // --quiet / -q: no progress bar
    intptr_t offset = 0;  // decode --offset: where the container starts in its file (an
                          // intptr_t, as the plug-in takes it: 2 GiB - 1 at most in the 32-bit build)
    int level = DefaultLevel; // encode --level: zlib compression level
    std::string format;       // decode --format: the format to write, where the output's name does not say
    int quality = DefaultQuality; // decode --quality: JPEG's
    bool alpha = false;       // encode --alpha: keep a picture's transparency (a 32-bit BMP)
    bool recursive = false; // -r / --recursive: directories given take in the pictures below them
    bool force = false;     // decode, encode --force: replace existing outputs
    bool json = false;      // info --json: one JSON object per file
    bool checkEnd = false;  // info --check: decode the whole stream to see how it ends
    std::string outputDirectory; // decode, encode -o DIR: the batch form, outputs below DIR
    int jobs = 0;                // -j / --jobs N: pictures at once (check, info --check, -o DIR); 0 the processors
    bool worker = false;         // --worker: a worker process of another zqv's -j (not for users)
    std::vector<std::string> operands; // files, in order; "-" is a standard stream
};

// True for decode and encode given many inputs and -o DIR; without -o they
// take one input and one output.
inline bool IsBatch(const Options &options) { return !options.outputDirectory.empty(); }

// How many pictures at once: -j N, or as many as the processors this
// process may use.
int JobsOf(const Options &options);

// The arguments that start a worker for this run: the command, --worker and
// the options that shape each picture's work (--offset, --level, --format,
// --quality, --alpha, --check, --json).
std::vector<std::string> WorkerArguments(const Options &options);

// Parses the arguments after the program name; options may come before or
// after the operands, and "--" ends them. Fails with ExitUsage and a message
// naming what is wrong (an unknown command or option, an option of another
// command, a bad number, the wrong count of operands).
Status ParseCommandLine(const std::vector<std::string> &arguments, Options *options);

// The program's help (Command::None) or a command's, each with an example.
const char *HelpText(Command command);

// "zqv VERSION", the version of the build.
const char *VersionText();
