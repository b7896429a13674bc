#pragma once

#include <cstdio>
#include <string>

#include "console/verbosity.h"

namespace velorix {

// The progress bar and status line of a run without a window, on standard
// error. On a terminal the bar and the latest status share one line that is
// redrawn in place, cut to the terminal's width so that it never wraps.
// Elsewhere (a log, a pipe) nothing is redrawn: lasting statuses get a line
// each and the progress a line every 10 % (with Verbosity::Verbose every
// status gets a line, with the progress lines too, and on a terminal the bar
// shows the count alone). Verbosity::Quiet shows only errors and the last
// line.
class TerminalProgress {
 public:
  TerminalProgress(std::FILE* out, Verbosity verbosity);

  void SetRange(int low, int high);
  void SetPos(int pos);
  // A status text as the window would show it. `lasting` texts stay on the
  // screen (connection, repeats, giving up); the others may be overwritten.
  void Status(const std::string& text, bool lasting);
  // A line that stays, such as a port tried; not shown when quiet.
  void Line(const std::string& text);
  // A line that stays and is shown however quiet.
  void Error(const std::string& text);
  // The line that says how the run ended (none when empty). The redrawn line
  // is cleared first, so no bar is left standing, and nothing is drawn after.
  void End(const std::string& text);
  // Takes the terminal's width again (after SIGWINCH) and redraws.
  void Resize();
  // Erases the redrawn line until the next change, so that other output to
  // the same terminal (the results file on standard output) starts on a
  // line of its own.
  void Clear();

 private:
  void Print(const std::string& text);
  void Erase();
  void FollowWidth();
  void Draw(const std::string& line);
  void Redraw();
  void ProgressLine();

  std::FILE* out_;
  Verbosity verbosity_;
  bool terminal_;
  bool dumb_;  // a terminal without escape sequences (TERM=dumb)
  int columns_ = 80;
  int low_ = 0, high_ = 100, pos_ = 0;
  int reportedPercent_ = 0;  // off a terminal: the last progress line's tenth, as percent
  bool barShown_ = false;
  bool dirty_ = false;  // something is on the redrawn line
  std::string drawn_;   // what, when dirty_
  bool ended_ = false;
  std::string status_;
};

}  // namespace velorix
