#include "bench/timing.h"

#include <algorithm>
#include <chrono>

namespace {

// Runs one method once: its seconds go to *seconds, or its failure code to *timing.
void RunOnce(const TimedMethod &method, std::vector<double> *seconds, Timing *timing)
{
    if (method.prepare)
        method.prepare();
    auto started = std::chrono::steady_clock::now();
    int32_t result = method.run();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    if (method.finish)
        method.finish();
    if (result != 0)
        timing->failure = result;
    else
        seconds->push_back(took.count());
}

} // namespace

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2;
}

std::vector<Timing> TimeSideBySide(const std::vector<TimedMethod> &methods, int rounds)
{
    size_t count = methods.size();
    std::vector<Timing> timings(count);
    std::vector<std::vector<double>> seconds(count);
    for (int round = 0; round < rounds; ++round)
        for (size_t step = 0; step < count; ++step) {
            size_t which = (static_cast<size_t>(round) + step) % count;
            if (methods[which].run && !timings[which].Failed())
                RunOnce(methods[which], &seconds[which], &timings[which]);
        }
    for (size_t which = 0; which < count; ++which)
        if (!timings[which].Failed() && !seconds[which].empty()) {
            timings[which].medianSeconds = Median(seconds[which]);
            timings[which].roundSeconds = seconds[which];
        }
    return timings;
}
