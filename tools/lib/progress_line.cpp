#include "progress_line.hpp"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace trelk {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto redraw_interval = std::chrono::milliseconds(100);
constexpr double mib = 1048576.0;

std::string duration_text(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

class ProgressLine {
 public:
  explicit ProgressLine(int fd) : fd_(fd) {}
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  // The last counts stay on the line, which the next output must not overwrite.
  ~ProgressLine() {
    if (!drawn_) return;
    if (pending_) draw(Clock::now());
    emit("\n");
  }

  void begin(std::string_view phase) {
    phase_ = phase;
    started_ = Clock::now();
    base_known_ = false;
  }

  bool counts(std::uint64_t done, std::uint64_t total) {
    if (!base_known_) {
      // A resumed download starts with its prefix done; the rate counts only what this run moved.
      base_ = done;
      base_known_ = true;
    }
    done_ = done;
    total_ = total;
    pending_ = true;
    const auto now = Clock::now();
    if (drawn_ && now - last_draw_ < redraw_interval) return true;
    draw(now);
    return true;
  }

 private:
  void draw(Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    const double rate = elapsed > 0 && done_ > base_ ? static_cast<double>(done_ - base_) / elapsed : 0;
    std::string line = "\rtrelk: " + (phase_.empty() ? std::string("working") : phase_);
    char figures[96];
    std::snprintf(figures, sizeof figures, "  %.1f of %.1f MiB", static_cast<double>(done_) / mib,
                  static_cast<double>(total_) / mib);
    line += figures;
    if (rate > 0) {
      std::snprintf(figures, sizeof figures, "  %.1f MiB/s", rate / mib);
      line += figures;
      if (total_ >= done_) line += "  " + duration_text(static_cast<double>(total_ - done_) / rate) + " left";
    }
    emit(line + "\x1b[K");
    drawn_ = true;
    pending_ = false;
    last_draw_ = now;
  }

  // Progress is a courtesy: a terminal that stopped taking output does not stop the work.
  void emit(const std::string& text) const { [[maybe_unused]] auto ignored = ::write(fd_, text.data(), text.size()); }

  int fd_;
  std::string phase_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point last_draw_{};
  std::uint64_t base_ = 0, done_ = 0, total_ = 0;
  bool base_known_ = false, drawn_ = false, pending_ = false;
};

}  // namespace

Progress terminal_progress(int fd) {
  if (::isatty(fd) != 1) return {};
  auto line = std::make_shared<ProgressLine>(fd);
  return PhasedProgress{[line](std::uint64_t done, std::uint64_t total) { return line->counts(done, total); },
                        [line](std::string_view phase) { line->begin(phase); }};
}

}  // namespace trelk
