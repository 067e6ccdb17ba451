#include "batch/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace kelvor::batch {

int terminal_width(int fd) noexcept {
    struct winsize size {};
    if (isatty(fd) == 0 || ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

std::string progress_line(int64_t done, int64_t failed, int64_t total, double pairs_per_second, int width) {
    const int columns = std::max(width, 2) - 1;
    const bool known = total >= 0;
    char text[160];
    if (known) {
        char left[32] = "--:--:--";
        if (pairs_per_second > 0 && done <= total) {
            double seconds = std::min(static_cast<double>(total - done) / pairs_per_second + 0.5, 3.6e9);
            long s = static_cast<long>(seconds);
            std::snprintf(left, sizeof left, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
        }
        std::snprintf(text, sizeof text, " %lld/%lld  %.1f pairs/s  %s left  %lld failed",
                      static_cast<long long>(done), static_cast<long long>(total), pairs_per_second, left,
                      static_cast<long long>(failed));
    } else {
        std::snprintf(text, sizeof text, "%lld done  %.1f pairs/s  %lld failed", static_cast<long long>(done),
                      pairs_per_second, static_cast<long long>(failed));
    }
    std::string tail = text;
    std::string line;
    // The bar takes what the text leaves, between 10 and 40 columns; on a
    // narrower terminal the text alone is shown, cut to fit.
    const int room = columns - static_cast<int>(tail.size()) - 2;
    if (known && room >= 10) {
        const int bar = std::min(room, 40);
        int filled = bar;
        if (total > 0 && done < total) filled = static_cast<int>(std::max<int64_t>(done, 0) * bar / total);
        line = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(bar - filled), '.') +
               "]";
    } else if (known && !tail.empty()) {
        tail.erase(0, 1);  // the blank after the bar
    }
    line += tail;
    if (static_cast<int>(line.size()) > columns) line.resize(static_cast<size_t>(columns));
    return line;
}

ProgressBar::ProgressBar(bool enabled, int64_t total, std::FILE* stream)
    : enabled_(enabled), stream_(stream), total_(total), start_(Clock::now()) {}

void ProgressBar::update(int64_t done, int64_t failed, bool last) noexcept {
    if (!enabled_) return;
    try {
        auto now = Clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(100)) return;
        shown_ = now;
        double elapsed = std::chrono::duration<double>(now - start_).count();
        double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
        const int fd = fileno(stream_);
        const int columns = terminal_width(fd);
        const bool terminal = columns > 0;
        std::string line = progress_line(done, failed, total_, rate, terminal ? columns : DEFAULT_PROGRESS_WIDTH);
        // On a terminal the rest of the line is cleared, in case the last
        // line was longer.
        std::fprintf(stream_, "\r%s%s", line.c_str(), terminal ? "\033[K" : " ");
        if (last) std::fputc('\n', stream_);
        std::fflush(stream_);
    } catch (...) {
        // The display must never end a run.
    }
}

}  // namespace kelvor::batch
