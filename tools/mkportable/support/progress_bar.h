// A one-line progress bar for a terminal.
#ifndef MKPORTABLE_PROGRESS_BAR_H
#define MKPORTABLE_PROGRESS_BAR_H

#include <cstdint>
#include <ostream>
#include <string>

namespace mkportable {

// Draws "\r<label> [#####     ]  52%  12.3 of 23.5 MiB" on `out` (a
// terminal), redrawing only when the whole percentage changes, so that a
// huge tree costs at most about a hundred redraws. With a null `out` it
// draws nothing. The destructor erases the line, so that later messages
// start on a clean one, whether the work completed or failed.
class ProgressBar {
public:
    ProgressBar(std::ostream *out, std::string label);
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    ~ProgressBar();

    // `done` of `total` bytes are finished.
    void update(std::uint64_t done, std::uint64_t total);

private:
    std::ostream *out_;
    std::string label_;
    int shown_ = -1; // percentage on screen, -1 before the first drawing
};

} // namespace mkportable

#endif
