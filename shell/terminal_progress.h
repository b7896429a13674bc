#pragma once

#include <cstdio>
#include <string>

namespace velorix {

// The progress bar and status line of a run without a window, on standard
// error. On a terminal the bar and the latest status share one line that is
// redrawn in place; elsewhere (a log, a pipe) every status text gets a line of
// its own and no bar is drawn.
class TerminalProgress {
 public:
  explicit TerminalProgress(std::FILE* out);

  void SetRange(int low, int high);
  void SetPos(int pos);
  // A status text as the window would show it. `lasting` texts stay on the
  // screen (connection, repeats, giving up); the others may be overwritten.
  void Status(const std::string& text, bool lasting);
  // A line that always stays: errors, port tries.
  void Line(const std::string& text);
  // Ends the redrawn line so that what follows starts on a fresh one.
  void Finish();

 private:
  void Redraw();

  std::FILE* out_;
  bool terminal_;
  int low_ = 0, high_ = 100, pos_ = 0;
  bool barShown_ = false;
  bool dirty_ = false;  // something is on the redrawn line
  std::string status_;
};

}  // namespace velorix
