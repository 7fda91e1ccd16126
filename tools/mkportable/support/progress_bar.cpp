#include "progress_bar.h"

#include <cstdio>

namespace mkportable {

namespace {

constexpr int BAR_WIDTH = 30;

std::string mebibytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", double(bytes) / (1024.0 * 1024.0));
    return text;
}

} // namespace

ProgressBar::ProgressBar(std::ostream *out, std::string label) : out_(out), label_(std::move(label)) {}

ProgressBar::~ProgressBar()
{
    if (out_ != nullptr && shown_ >= 0)
        *out_ << "\r\033[K" << std::flush;
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total)
{
    if (out_ == nullptr)
        return;
    const int percent = total == 0 ? 100 : int(done >= total ? 100 : done * 100 / total);
    if (percent == shown_)
        return;
    shown_ = percent;
    const int filled = percent * BAR_WIDTH / 100;
    char line[64];
    std::snprintf(line, sizeof line, "] %3d%%  ", percent);
    *out_ << "\r" << label_ << " [" << std::string(std::size_t(filled), '#')
          << std::string(std::size_t(BAR_WIDTH - filled), ' ') << line << mebibytes(done) << " of " << mebibytes(total)
          << " MiB" << std::flush;
}

} // namespace mkportable
