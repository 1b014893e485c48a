// Progress of pagekiln-cli on stderr: on a terminal one line that redraws
// (stage, pages done of total, percent, rate, time left); otherwise a line
// per stage and one every 10 %; nothing at all when quiet.
#pragma once

#include <QString>

#include <chrono>

class Progress {
public:
    enum class Mode { Quiet, Lines, Redrawn };
    explicit Progress(Mode mode);

    // Starts a stage, such as "erasing", whose steps are counted in unit.
    void stage(const QString& name, const QString& unit = QStringLiteral("pages"));
    // Steps (pages) done of total in the current stage.
    void pages(unsigned done, unsigned total);
    // Ends a redrawn line, so that a message can follow on a line of its own.
    void endLine();

private:
    using Clock = std::chrono::steady_clock;

    const Mode mode;
    QString name;
    QString unit;
    Clock::time_point started;
    Clock::time_point drawn;
    int tenthsShown = 0;
    bool lineOpen = false;
};
