#include "progress.h"

#include <cstdio>

namespace {
// Every line on stderr starts with the program's name, progress included.
const char* const kPrefix = "pagekiln-cli: ";
} // namespace

Progress::Progress(Mode mode)
    : mode(mode)
{
}

void Progress::stage(const QString& stageName, const QString& stepUnit)
{
    endLine();
    name = stageName;
    unit = stepUnit;
    started = drawn = Clock::now();
    tenthsShown = 0;
    if (mode == Mode::Quiet)
        return;
    if (mode == Mode::Redrawn) {
        std::fprintf(stderr, "%s%s...", kPrefix, qPrintable(name));
        lineOpen = true;
    } else {
        std::fprintf(stderr, "%s%s\n", kPrefix, qPrintable(name));
    }
    std::fflush(stderr);
}

void Progress::pages(unsigned done, unsigned total)
{
    if (total == 0 || mode == Mode::Quiet)
        return;
    const Clock::time_point now = Clock::now();
    const unsigned percent = unsigned(100ull * done / total);
    if (mode == Mode::Lines) {
        const int tenths = int(percent / 10);
        if (tenths <= tenthsShown)
            return;
        tenthsShown = tenths;
        std::fprintf(stderr, "%s%s: %u %% (%u of %u %s)\n", kPrefix, qPrintable(name), percent, done, total,
                     qPrintable(unit));
        std::fflush(stderr);
        return;
    }
    // Redrawn ten times a second at most, and at the end.
    if (done < total && now - drawn < std::chrono::milliseconds(100))
        return;
    drawn = now;
    const double seconds = std::chrono::duration<double>(now - started).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    const unsigned left = rate > 0 ? unsigned((total - done) / rate + 0.5) : 0;
    std::fprintf(stderr, "\r%s%s: %u of %u %s, %3u %%, %.0f %s/s, %u:%02u left\033[K", kPrefix, qPrintable(name), done,
                 total, qPrintable(unit), percent, rate, qPrintable(unit), left / 60, left % 60);
    std::fflush(stderr);
    lineOpen = true;
}

void Progress::endLine()
{
    if (lineOpen)
        std::fputc('\n', stderr);
    lineOpen = false;
}
