#include "shell/terminal_progress.h"

#include <unistd.h>

namespace velorix {

TerminalProgress::TerminalProgress(std::FILE* out) : out_(out), terminal_(isatty(fileno(out)) == 1) {}

void TerminalProgress::SetRange(int low, int high) {
  low_ = low;
  high_ = high;
  barShown_ = true;
  if (terminal_) Redraw();
}

void TerminalProgress::SetPos(int pos) {
  pos_ = pos;
  barShown_ = true;
  if (terminal_) Redraw();
}

void TerminalProgress::Status(const std::string& text, bool lasting) {
  if (!terminal_) {
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    return;
  }
  if (lasting) {
    Line(text);
    return;
  }
  status_ = text;
  Redraw();
}

void TerminalProgress::Line(const std::string& text) {
  if (terminal_ && dirty_) std::fputs("\r\033[K", out_);
  std::fprintf(out_, "%s\n", text.c_str());
  dirty_ = false;
  if (terminal_) Redraw();
  std::fflush(out_);
}

void TerminalProgress::Finish() {
  if (terminal_ && dirty_) std::fputc('\n', out_);
  dirty_ = false;
  barShown_ = false;
  status_.clear();
  std::fflush(out_);
}

void TerminalProgress::Redraw() {
  std::string line = "\r\033[K";
  if (barShown_ && high_ > low_) {
    constexpr int width = 30;
    int clamped = pos_ < low_ ? low_ : (pos_ > high_ ? high_ : pos_);
    int filled = static_cast<int>(static_cast<long long>(clamped - low_) * width / (high_ - low_));
    line += '[';
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(width - filled), ' ');
    line += "] " + std::to_string(pos_) + "/" + std::to_string(high_);
  }
  line += status_;
  if (line.size() == 5) return;  // nothing to show yet
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
  dirty_ = true;
}

}  // namespace velorix
