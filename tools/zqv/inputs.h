// tools/zqv/inputs.h -- what a command works on: the files named, the
// pictures below the directories named (with -r), and standard input ("-"),
// each with the path its output takes below an output directory.
#pragma once

#include "tools/picture_facts.h"
#include "tools/status.h"

#include <string>
#include <vector>

// The operand that means standard input (and, as an output, standard output).
constexpr const char *StandardStreamName = "-";

struct InputFile {
    std::string path;     // as given, or below a directory given; "-" for standard input
    std::string relative; // the path below that directory; a file given alone, its name
    Status problem;       // why it cannot be taken (a directory without -r, one
                          // that cannot be read), or success
};

// Which files below a directory a command takes, by name.
using NameFilter = bool (*)(const std::string &name);

// True for a name ending in .zqv, in any case.
bool IsZqvName(const std::string &name);

// The operands in order, each directory replaced by the files below it that
// `takes` (by name), sorted, when recursive is set; without
// it a directory is an input with a problem. A directory below that cannot be
// read is an input too, with its problem, so that nothing is passed by
// unsaid. Files named are taken whatever their name; "-" is standard input,
// whose relative path is "stdin" (so its output below a directory is
// stdin.bmp or stdin.zqv).
std::vector<InputFile> CollectInputs(const std::vector<std::string> &operands, bool recursive, NameFilter takes);

// Where the output of input goes: its relative path below directory, the
// extension changed to `extension`.
std::string OutputPathFor(const InputFile &input, const std::string &directory, const std::string &extension);

// How the user knows an input: "standard input" for "-", else its path.
std::string InputName(const std::string &path);

// Standard input, read whole the first time it is asked for, in binary mode;
// every "-" of the run shares it. Stops at Ctrl-C.
Status StandardInput(const Bytes **contents);

// The container an input names: its file from offset on, or standard input's
// bytes (offset bytes skipped).
Status ContainerOf(const std::string &path, uint64_t offset, ContainerPlace *place);

// The bytes an input holds from offset on, for a bar: its file's, or
// standard input's; 0 when unknown (what fails, the work itself reports).
uint64_t InputBytes(const std::string &path, uint64_t offset = 0);
