// The program without a window on a terminal, as in a terminal window: a
// pseudo-terminal of a given width as its standard error and controlling
// terminal. The progress bar and the latest status share one redrawn line
// that fits the width (it never wraps, also far below 80 columns, and it
// follows a change of size); the lines that stay are the lasting statuses
// and, last, the one that says how the run ended, with no bar left standing
// after it, whether the run succeeded, gave up or was interrupted.

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "headless_run.h"

namespace velorix::e2etest {
namespace {

// Stands for the line that ends a run that wrote its file ("Wrote ...").
const std::string kWrote = "<wrote>";
// Stands for the lines of the results file, where standard output is the
// same terminal.
const std::string kFileLines = "<file>";

struct TerminalCase {
  const char* name;
  int columns;
  std::vector<std::string> simArgs;
  int count;
  std::vector<std::string> options;  // beyond --count, --format and --output
  // SIGINT (Ctrl-C) once the instrument has received this many frames; 0: none.
  std::size_t interruptAfterFrames;
  int exitStatus;
  std::vector<std::string> lines;  // the lines that stay, in order
  bool fileToTheTerminal = false;  // --output - with standard output the same terminal
};

void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }

class OnATerminal : public HeadlessRun, public ::testing::WithParamInterface<TerminalCase> {};

TEST_P(OnATerminal, TheProgressLineFitsAndNothingIsLeftStanding) {
  const TerminalCase& c = GetParam();
  const fs::path log = dir_ / "frames.log";
  std::vector<std::string> simArgs = {"--quiet", "--log", log.string()};
  simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
  simtest::SimProcess sim(simArgs);
  std::vector<std::string> args = {"--count", std::to_string(c.count), "--format", "xls", "--output",
                                   c.fileToTheTerminal ? "-" : "out.xls"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  ChildSetup setup;
  setup.terminalColumns = c.columns;
  if (c.fileToTheTerminal) setup.stdoutTo = ChildSetup::Stdout::Terminal;

  int exitStatus = -1;
  std::string received;
  {
    ProgramRun run(dir_, sim.SlavePath(), args, dir_ / "unused-stderr.txt", setup);
    if (c.interruptAfterFrames > 0) {
      ASSERT_TRUE(WaitForFrames(log, c.interruptAfterFrames)) << "the download did not get going";
      run.Signal(SIGINT);
    }
    ASSERT_TRUE(run.WaitFor(60000)) << "the program did not end";
    exitStatus = run.ExitStatus();
    run.Terminal()->Close();
    received = run.Terminal()->Received();
  }
  const Screen screen = ScreenOf(received);

  std::vector<std::string> lines;
  for (const std::string& line : c.lines) {
    if (line == kWrote) {
      lines.push_back(WroteLine(c.fileToTheTerminal ? "standard output" : (dir_ / "out.xls").string(), kPointer,
                                c.count));
    } else if (line == kFileLines) {
      std::istringstream file(ExpectedFile(kPointer, c.count, true));
      for (std::string fileLine; std::getline(file, fileLine);) lines.push_back(fileLine);
    } else {
      lines.push_back(line);
    }
  }
  EXPECT_EQ(exitStatus, c.exitStatus) << received;
  EXPECT_EQ(screen.lines, lines) << received;
  EXPECT_EQ(screen.leftUnderCursor, "") << "left standing after the end";
  const bool quiet = std::find(c.options.begin(), c.options.end(), "--quiet") != c.options.end();
  if (quiet) {
    EXPECT_EQ(screen.redrawn, std::vector<std::string>{}) << received;
  } else {
    EXPECT_FALSE(screen.redrawn.empty()) << "no progress shown";
  }
  for (const std::string& drawn : screen.redrawn)
    EXPECT_LT(drawn.size(), static_cast<std::size_t>(c.columns)) << "wraps: \"" << drawn << '"';
}

const std::vector<std::string> kWrittenLines = {kConnected, kWritten, kWrote};

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, OnATerminal,
    ::testing::Values(
        // The bar at its full 30 columns beside the count and the status ...
        TerminalCase{"wide", 100, {}, 200, {}, 0, 0, kWrittenLines},
        // ... the status cut where 80 columns end ...
        TerminalCase{"eighty_columns", 80, {}, 200, {}, 0, 0, kWrittenLines},
        // ... the bar shrunk and the status cut ...
        TerminalCase{"forty_columns", 40, {}, 200, {}, 0, 0, kWrittenLines},
        // ... no bar, the count and what is left of the status.
        TerminalCase{"twelve_columns", 12, {}, 200, {}, 0, 0, kWrittenLines},
        // Quiet: no bar and no status, only the last line.
        TerminalCase{"quiet", 80, {}, 200, {"--quiet"}, 0, 0, {kWrote}},
        // The file itself on the same terminal: it starts on a line of its
        // own, and no drawing of the bar takes its last line away.
        TerminalCase{"file_on_the_same_terminal", 80, {}, 20, {}, 0, 0,
                     {kConnected, kFileLines, kWritten, kWrote}, true},
        // Ctrl-C mid-download (paced like the real line so it is still going).
        TerminalCase{"interrupted",
                     60,
                     {"--baud", "9600"},
                     300,
                     {},
                     10,
                     1,
                     {kConnected, "Interrupted by SIGINT; no file was written."}},
        // The instrument falls silent: the bar, last showing " Waiting
        // response.", goes with the line that says it stopped answering.
        TerminalCase{"gives_up",
                     60,
                     {"--silent-after", "4"},
                     10,
                     {},
                     0,
                     1,
                     {kConnected, " Repeat 1. Waiting response.  Wait for reading.",
                      " Repeat 2. Waiting response.  Wait for reading.",
                      " Repeat 3. Waiting response.  Wait for reading.",
                      " Repeat 4. Waiting response.  Wait for reading.", "!!! No Response.  Wait for reading.",
                      kStoppedAnswering}}),
    [](const auto& info) { return std::string(info.param.name); });

// The terminal window is made narrower mid-download: the program gets
// SIGWINCH, and from its next drawing on the line fits the new width.
TEST_F(HeadlessRun, TheProgressLineFollowsANarrowerTerminal) {
  constexpr int kWide = 100, kNarrow = 30;
  const fs::path log = dir_ / "frames.log";
  // Paced like the real line, so that the download is still going.
  simtest::SimProcess sim({"--quiet", "--baud", "9600", "--log", log.string()});
  ChildSetup setup;
  setup.terminalColumns = kWide;
  std::string atResize, received;
  {
    ProgramRun run(dir_, sim.SlavePath(), {"--count", "60", "--format", "doc", "--output", "out.doc"},
                   dir_ / "unused-stderr.txt", setup);
    ASSERT_TRUE(WaitForFrames(log, 10)) << "the download did not get going";
    run.Terminal()->Resize(kNarrow);
    atResize = run.Terminal()->Received();
    ASSERT_TRUE(run.WaitFor(60000)) << "the program did not end";
    EXPECT_EQ(run.ExitStatus(), 0);
    run.Terminal()->Close();
    received = run.Terminal()->Received();
  }
  const std::vector<std::string> before = ScreenOf(atResize).redrawn;
  const std::vector<std::string> all = ScreenOf(received).redrawn;
  EXPECT_TRUE(std::any_of(before.begin(), before.end(),
                          [](const std::string& drawn) { return drawn.size() >= kNarrow; }))
      << "the line was narrow from the start";
  // Drawings made before the signal was taken may still be wide; none after.
  auto first = std::find_if(all.begin() + static_cast<std::ptrdiff_t>(before.size()), all.end(),
                            [](const std::string& drawn) { return drawn.size() < kNarrow; });
  ASSERT_NE(first, all.end()) << "the line never became narrower";
  for (auto drawn = first; drawn != all.end(); ++drawn)
    EXPECT_LT(drawn->size(), static_cast<std::size_t>(kNarrow)) << "wraps: \"" << *drawn << '"';
  EXPECT_EQ(ScreenOf(received).lines,
            (std::vector<std::string>{kConnected, kWritten, WroteLine((dir_ / "out.doc").string(), kPointer, 60)}));
}

}  // namespace
}  // namespace velorix::e2etest
