#include "console/terminal_progress.h"

#include <algorithm>

#include "console/console_process.h"

namespace velorix {
namespace {

constexpr const char* kClearLine = "\r\033[K";
constexpr int kDefaultColumns = 80;
constexpr int kFullBar = 30;
constexpr int kShortestBar = 10;

int ColumnsOf(std::FILE* out) {
  const int columns = TerminalColumns(out);
  return columns > 0 ? columns : kDefaultColumns;
}

// The redrawn line in at most columns-1 characters (a line that fills the
// last column makes some terminals wrap). When space is short the bar
// shrinks first, then the status text is cut, then the bar goes; the count
// stays to the last. Status texts are ASCII, one column a byte.
std::string FitProgressLine(bool barShown, int low, int high, int pos, const std::string& status, int columns) {
  const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, 1));
  if (!barShown || high <= low) return status.substr(0, room);

  const std::string counter = std::to_string(pos) + "/" + std::to_string(high);
  const std::size_t frame = 3 + counter.size();  // "[", "] " and the counter
  std::size_t bar = kFullBar;
  if (frame + bar + status.size() > room)
    bar = room >= frame + status.size() + kShortestBar ? room - frame - status.size() : kShortestBar;
  if (frame + bar > room) return (counter + status).substr(0, room);

  const int clamped = std::clamp(pos, low, high);
  const auto filled = static_cast<std::size_t>(static_cast<long long>(clamped - low) *
                                               static_cast<long long>(bar) / (high - low));
  std::string line = "[";
  line.append(filled, '#');
  line.append(bar - filled, ' ');
  line += "] " + counter;
  line += status.substr(0, room - line.size());
  return line;
}

}  // namespace

TerminalProgress::TerminalProgress(std::FILE* out, Verbosity verbosity)
    : out_(out), verbosity_(verbosity), terminal_(IsTerminal(out)), dumb_(terminal_ && !TerminalTakesEscapes(out)) {
  if (terminal_) columns_ = ColumnsOf(out_);
}

// Takes the terminal's width again. A line drawn at the old width that the
// terminal has since rewrapped over several rows is taken away whole: a
// stale piece of it would stay above the new one.
void TerminalProgress::FollowWidth() {
  const int now = ColumnsOf(out_);
  if (now == columns_) return;
  const auto rows = (drawn_.size() + static_cast<std::size_t>(now) - 1) / static_cast<std::size_t>(now);
  if (dirty_ && !dumb_ && now < columns_ && rows > 1 && TerminalRewraps()) {
    std::fprintf(out_, "\r\033[%zuA\033[J", rows - 1);
    dirty_ = false;
  }
  columns_ = now;
}

// Takes the drawn line away; the cursor is then where it began.
void TerminalProgress::Erase() {
  FollowWidth();
  if (!dirty_) return;
  if (dumb_) {
    // Blanks over what was drawn, with carriage returns around them.
    std::fprintf(out_, "\r%s\r", std::string(drawn_.size(), ' ').c_str());
  } else {
    std::fputs(kClearLine, out_);
  }
  dirty_ = false;
}

// In place of what was drawn before.
void TerminalProgress::Draw(const std::string& line) {
  if (dumb_) Erase();
  std::fputs(dumb_ ? "\r" : kClearLine, out_);
  std::fputs(line.c_str(), out_);
}

void TerminalProgress::SetRange(int low, int high) {
  low_ = low;
  high_ = high;
  barShown_ = true;
  Redraw();
}

void TerminalProgress::SetPos(int pos) {
  pos_ = pos;
  barShown_ = true;
  if (pos_ <= low_) reportedPercent_ = 0;
  if (terminal_)
    Redraw();
  else
    ProgressLine();
}

void TerminalProgress::Status(const std::string& text, bool lasting) {
  if (ended_ || verbosity_ == Verbosity::Quiet) return;
  // Verbose: each status on a line of its own, also on a terminal (where the
  // bar then shows the count alone).
  if (!terminal_ || verbosity_ == Verbosity::Verbose) {
    if (lasting || verbosity_ == Verbosity::Verbose) Print(text);
    return;
  }
  if (lasting) {
    // The line above says it; the redrawn line would only repeat an older text.
    status_.clear();
    Print(text);
    return;
  }
  status_ = text;
  Redraw();
}

void TerminalProgress::Line(const std::string& text) {
  if (verbosity_ != Verbosity::Quiet) Print(text);
}

void TerminalProgress::Error(const std::string& text) { Print(text); }

void TerminalProgress::End(const std::string& text) {
  ended_ = true;
  if (text.empty())
    Clear();
  else
    Print(text);
}

void TerminalProgress::Resize() {
  if (!terminal_) return;
  Erase();
  Redraw();
}

void TerminalProgress::Clear() {
  if (!terminal_ || !dirty_) return;
  Erase();
  std::fflush(out_);
  drawn_.clear();
}

void TerminalProgress::Print(const std::string& text) {
  if (terminal_) Erase();
  std::fprintf(out_, "%s\n", text.c_str());
  Redraw();
  std::fflush(out_);
}

void TerminalProgress::Redraw() {
  if (!terminal_ || ended_ || verbosity_ == Verbosity::Quiet) return;
  // SIGWINCH may come after this draw: the width is asked each time.
  FollowWidth();
  std::string line = FitProgressLine(barShown_, low_, high_, pos_, status_, columns_);
  if (line.empty() && !dirty_) return;  // nothing to show yet
  if (dirty_ && line == drawn_) return;  // the range is set again with every record
  Draw(line);
  std::fflush(out_);
  dirty_ = !line.empty();
  drawn_ = std::move(line);
}

// Off a terminal nothing is redrawn: a line at each further tenth instead.
void TerminalProgress::ProgressLine() {
  if (verbosity_ == Verbosity::Quiet || ended_ || high_ <= low_ || pos_ <= low_) return;
  const int percent = static_cast<int>(static_cast<long long>(std::min(pos_, high_) - low_) * 100 / (high_ - low_));
  if (percent / 10 * 10 <= reportedPercent_) return;
  reportedPercent_ = percent / 10 * 10;
  Print("Read " + std::to_string(pos_) + " of " + std::to_string(high_) + " records (" + std::to_string(percent) +
        "%)");
}

}  // namespace velorix
