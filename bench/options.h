// bench/options.h -- zqv_bench's command line.
#pragma once

#include "bench/pictures.h"
#include "tools/status.h"

#include <cstdio>
#include <string>
#include <vector>

// What to measure; every list defaults to all of its values.
struct BenchOptions {
    std::vector<double> sizesMegabytes = {0.1, 1, 10, 100, 400};
    std::vector<PictureKind> kinds{AllPictureKinds.begin(), AllPictureKinds.end()};
    std::vector<int> levels = {1, 6, 9};
    int rounds = 5;
    bool largest = false;    // find the largest picture GetPicture delivers, instead of the table
    std::string peakFile;    // not empty: be the --peak child for this container file
    std::string outFile;     // not empty: also write the results to this file
    bool help = false;
};

// Fills *options from the arguments; fails on anything it does not know.
Status ParseOptions(int argc, char **argv, BenchOptions *options);

void PrintUsage(std::FILE *stream);

// What the options select, in one line for the --out file's heading, such
// as "sizes 0.1,1 MB, kinds photo,flat, levels 6, 5 rounds".
std::string DescribeSelection(const BenchOptions &options);
