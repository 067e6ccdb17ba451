// kelvor-batch's progress bar on standard error: pairs done of the total,
// pairs per second, time left and failures, fitted to the terminal's width.
#ifndef KELVOR_BATCH_PROGRESS_H
#define KELVOR_BATCH_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kelvor::batch {

// Columns of the terminal on fd (TIOCGWINSZ); 0 when fd is not a terminal
// or does not say.
int terminal_width(int fd) noexcept;

// Width assumed for a progress bar that does not go to a terminal.
constexpr int DEFAULT_PROGRESS_WIDTH = 80;

// One state of the bar as text, at most width - 1 columns (so that a
// terminal never wraps it): "[####......] done/total  R pairs/s  H:MM:SS
// left  F failed". total < 0 means unknown (a manifest read from a
// stream): the bar and the time left are left out. A done beyond total (a
// manifest that grew while it was read) shows a full bar and no time left.
std::string progress_line(int64_t done, int64_t failed, int64_t total, double pairs_per_second, int width);

class ProgressBar {
public:
    // total < 0: unknown. Writes to stream (standard error) only when
    // enabled.
    ProgressBar(bool enabled, int64_t total, std::FILE* stream = stderr);

    // Shows the state at most ten times a second, and always with last
    // (which ends the line). Never throws and never ends the run: a bar
    // that cannot be drawn is simply not drawn.
    void update(int64_t done, int64_t failed, bool last = false) noexcept;

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    std::FILE* stream_;
    int64_t total_;
    Clock::time_point start_;
    Clock::time_point shown_{};
};

}  // namespace kelvor::batch

#endif
