#include "tools/zqv/progress_bar.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Inputs from this size on take long enough to be worth a bar.
constexpr uint64_t LargeInputBytes = 1u << 20;
constexpr int BarWidth = 40;
constexpr int FullPercent = 100;

int PercentOf(int64_t done, int64_t total)
{
    if (total <= 0 || done <= 0)
        return 0;
    if (done >= total)
        return FullPercent;
    return static_cast<int>(done * FullPercent / total);
}

bool StandardErrorIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

} // namespace

ProgressBar::ProgressBar(bool wanted, uint64_t inputBytes)
    : shown_(wanted && inputBytes >= LargeInputBytes && StandardErrorIsTerminal())
{
}

ProgressBar::~ProgressBar()
{
    if (shown_ && lastPercent_ >= 0)
        std::fprintf(stderr, "\r%*s\r", BarWidth + 8, "");
}

void ProgressBar::Update(int64_t done, int64_t total)
{
    int percent = PercentOf(done, total);
    if (!shown_ || percent == lastPercent_)
        return;
    lastPercent_ = percent;
    int filled = percent * BarWidth / FullPercent;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(BarWidth - filled), '.');
    std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), percent);
    std::fflush(stderr);
}
