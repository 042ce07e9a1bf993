// tools/zqv/batch.h -- zqv over many pictures at once: what each picture
// comes to, printed in input order, and the conversions of decode -o and
// encode -o, planned whole before any is made so that no output is written
// twice and nothing this run writes is taken for an existing file.
#pragma once

#include "tools/status.h"
#include "tools/zqv/inputs.h"

#include <string>
#include <vector>

// What one picture of a collection came to: the lines it prints and how it
// counts in the summary.
struct ItemReport {
    std::string out;      // for standard output
    std::string err;      // for standard error
    int tally = 0;        // the summary count it adds to, in the command's own numbering
    int exitStatus = 0;   // its own exit status, 0 when it went well
    bool stopped = false; // Ctrl-C stopped it: the run ends after it
};

// Prints the report's lines, standard error's first, and flushes both.
void PrintReport(const ItemReport &report);

// One conversion of a batch: an input, where its output goes, and what was
// decided of it before any work.
struct Conversion {
    InputFile input;
    std::string output;
    Status refused;       // why it is not made (the input's problem, a collision), or success
    bool skipped = false; // its output exists and --force was not given
};

// Plans the batch: each input's output below directory, its extension made
// `extension`. Inputs whose outputs are one file (the same name, or names
// the file system takes as one: in the Windows builds, names that differ
// only in case), or whose output is one of the inputs, are refused, each
// naming the others; the rest are skipped where the output exists and force
// is off.
std::vector<Conversion> PlanConversions(const std::vector<InputFile> &inputs, const std::string &directory,
                                        const std::string &extension, bool force);
