#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

constexpr int kBarWidth = 24;
// Plain lines (a log file, a pipe) come at most this often, plus the last one.
constexpr std::chrono::seconds kLineInterval{1};

std::string clock_text(double seconds) {
  const auto s = static_cast<int64_t>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  return text;
}

}  // namespace

Progress::Style Progress::style_for(bool quiet) {
  if (quiet) return Style::none;
  return isatty(STDERR_FILENO) ? Style::bar : Style::lines;
}

Progress::Progress(std::string label, int64_t total, Style style)
    : label_(std::move(label)), total_(total), style_(style), start_(std::chrono::steady_clock::now()),
      last_line_(start_) {}

Progress::~Progress() {
  if (style_ == Style::bar && drawn_) std::cerr << '\n' << std::flush;
}

void Progress::advance() {
  ++done_;
  const auto now = std::chrono::steady_clock::now();
  const bool last = done_ >= total_;
  if (style_ == Style::lines && !last && done_ != 1 && now - last_line_ < kLineInterval) return;
  last_line_ = now;
  draw(last);
}

void Progress::clear() {
  if (style_ != Style::bar || !drawn_) return;
  std::cerr << "\r\033[K" << std::flush;
  drawn_ = false;
}

void Progress::tick() {
  if (style_ == Style::bar) draw(done_ >= total_);
}

void Progress::draw(bool last) {
  if (style_ == Style::none) return;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  const double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : 0;
  // Before the first one is done there is no estimate: the time so far instead.
  const std::string clock = last ? clock_text(elapsed) + " total"
                                 : done_ == 0 ? clock_text(elapsed) + " elapsed" : clock_text(left) + " left";
  std::ostringstream line;
  char rate_text[32];
  std::snprintf(rate_text, sizeof rate_text, "%.1f", rate);
  if (style_ == Style::bar) {
    const int64_t filled = total_ > 0 ? done_ * kBarWidth / total_ : kBarWidth;
    line << "\r\033[K" << label_ << " [" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kBarWidth - filled), '.') << "] " << done_ << "/" << total_ << "  "
         << rate_text << " tiles/s  " << clock;
    drawn_ = true;
  } else {
    line << label_ << " " << done_ << "/" << total_ << " tiles, " << rate_text << " tiles/s, " << clock << '\n';
  }
  std::cerr << line.str() << std::flush;
}

}  // namespace quorv::cli
