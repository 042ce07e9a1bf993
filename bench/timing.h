// bench/timing.h -- timing several ways of doing one job, side by side. A
// shared machine's speed drifts, so every round runs each method once, the
// first rotating so that none always follows the same neighbour, and a
// method's figure is the median of its rounds, which one bad round cannot move.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One way of doing the job. Only run is timed; prepare and finish (either
// may be empty) set up and clean up around it in every round. A method
// without run is left out.
struct TimedMethod {
    std::function<void()> prepare;
    std::function<int32_t()> run; // 0 when it worked, otherwise a failure code
    std::function<void()> finish;
};

// A method's result: the median of its rounds' seconds, or the code of its
// first failure, after which it is left out of the remaining rounds.
struct Timing {
    double medianSeconds = 0;
    std::vector<double> roundSeconds; // each round's, in order, until a failure
    int32_t failure = 0;
    bool Failed() const { return failure != 0; }
};

// The median of a non-empty list (the mean of the middle two for an even count).
double Median(std::vector<double> values);

// Runs rounds rounds of all the methods; one Timing per method, in order.
std::vector<Timing> TimeSideBySide(const std::vector<TimedMethod> &methods, int rounds);
