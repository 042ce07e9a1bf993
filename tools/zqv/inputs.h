// tools/zqv/inputs.h -- the files a command over a collection works on: the
// files named, and the pictures below the directories named (with -r), each
// with the path its output takes below an output directory.
#pragma once

#include "tools/status.h"

#include <string>
#include <vector>

struct InputFile {
    std::string path;     // as given, or below a directory given
    std::string relative; // the path below that directory; a file given alone, its name
    Status problem;       // why it cannot be taken (a directory without -r), or success
};

// The operands in order, each directory replaced by the files below it whose
// extension is `extension` (any case), sorted, when recursive is set; without
// it a directory is an input with a problem. Files named are taken whatever
// their name.
std::vector<InputFile> CollectInputs(const std::vector<std::string> &operands, bool recursive,
                                     const std::string &extension);

// Where the output of input goes: its relative path below directory, the
// extension changed to `extension`.
std::string OutputPathFor(const InputFile &input, const std::string &directory, const std::string &extension);
