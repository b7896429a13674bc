// Faults on the line, end to end: the program without a window against the
// simulated instrument on a real pseudo-terminal, the simulator told to
// misbehave. For each fault: what the operator sees (standard error, exit
// status) and what is on disk afterwards (the results file, byte for byte, or
// none; the settings file), and which frames the instrument received.
//
// The reply time-out is 3000 ms and a request is written at most five times,
// so a case that ends in "!!! No Response." takes about 15 s; counts are kept
// small so that the rest take a few seconds at most.

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "headless_run.h"

namespace velorix::e2etest {
namespace {

const std::string kNoResponse = "!!! No Response.  Wait for reading.";

std::string RepeatLine(int n) { return " Repeat " + std::to_string(n) + ". Waiting response.  Wait for reading."; }

const std::vector<std::string> kGivesUp = {kConnected,    RepeatLine(1), RepeatLine(2), RepeatLine(3),
                                           RepeatLine(4), kNoResponse,   kStoppedAnswering};
// Stands for the line that ends a run that wrote its file ("Wrote ...").
const std::string kWrote = "<wrote>";

struct FaultCase {
  const char* name;
  std::vector<std::string> simArgs;
  int count;
  bool excel;
  // What the operator sees: the exit status and every line of standard error
  // except the routine " Waiting response." / " Response OK." of each
  // exchange. "<pty>" stands for the simulator's device path.
  int exitStatus;
  std::vector<std::string> notable;
  // What is on disk: the results file, byte for byte (true), or none at all.
  // The settings file holds port 2 either way.
  bool written;
  // What the instrument received: the fault-free conversation (0 = the probe,
  // 1 = the pointer, 2 = the table, then the records, then the end) with the
  // frame at each of these positions received once more ...
  std::vector<int> sentAgain = {};
  // ... or, when the link gave up, the conversation up to this position, the
  // frame there received this many times, and nothing after it.
  int gaveUpAt = -1;
  int gaveUpTimes = 0;
  // The archive's slots from here on are unused, all 0xFF (--archive-file).
  int unusedFrom = sim::RING_SLOTS;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> ExpectedFrames(const FaultCase& c) {
  const std::vector<std::string> clean = CleanConversation(kPointer, c.count);
  std::vector<std::string> frames;
  for (int i = 0; i < static_cast<int>(clean.size()); ++i) {
    if (i == c.gaveUpAt) {
      frames.insert(frames.end(), static_cast<std::size_t>(c.gaveUpTimes), clean[i]);
      break;
    }
    frames.push_back(clean[i]);
    frames.insert(frames.end(), static_cast<std::size_t>(std::count(c.sentAgain.begin(), c.sentAgain.end(), i)),
                  clean[i]);
  }
  return frames;
}

class LineFault : public HeadlessRun, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LineFault, OperatorIsToldAndDiskHoldsTheWholeFileOrNone) {
  const FaultCase& c = GetParam();
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  const fs::path log = dir_ / "frames.log";
  std::string error;
  const std::string archive = (dir_ / "archive").string();
  ASSERT_TRUE(sim::SaveArchiveFile(archive, ArchiveWithUnusedSlots(sim::DEFAULT_ARCHIVE_NUMBER, c.unusedFrom), error));
  std::vector<std::string> simArgs = {"--quiet", "--log", log.string(), "--archive-file", archive};
  simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
  simtest::SimProcess sim(simArgs);
  const std::string outName = c.excel ? "out.xls" : "out.doc";

  const RunResult run =
      RunIn(work, sim.SlavePath(),
            {"--count", std::to_string(c.count), "--format", c.excel ? "xls" : "doc", "--output", outName});
  sim.Stop();

  std::vector<std::string> notable = c.notable;
  for (std::string& line : notable) {
    if (const auto at = line.find("<pty>"); at != std::string::npos) line.replace(at, 5, sim.SlavePath());
    if (line == kWrote) line = WroteLine((work / outName).string(), kPointer, c.count, c.unusedFrom);
  }
  EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
  EXPECT_EQ(run.NotableLines(), notable) << run.err;

  if (c.written) {
    EXPECT_EQ(FolderEntries(work), (std::vector<std::string>{"Velquor.ini", outName, kHistoryFile}));
    EXPECT_EQ(ReadFile(work / outName), ExpectedFile(kPointer, c.count, c.excel, c.unusedFrom));
  } else {
    EXPECT_EQ(FolderEntries(work), std::vector<std::string>{"Velquor.ini"});
  }
  EXPECT_EQ(ReadFile(work / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
  EXPECT_EQ(ReadLines(log), ExpectedFrames(c));
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, LineFault,
    ::testing::Values(
        // 20 bytes of noise just before the probe's echo: the five bytes read
        // are not the echo, so once the line is quiet COM2 is probed again
        // and answers. The download sees nothing wrong: exit 0 and the exact
        // file.
        FaultCase{"noise_before_the_echo",
                  {"--garbage", "20@0"},
                  3,
                  true,
                  0,
                  {kConnected, kWritten, kWrote},
                  true,
                  {0}},
        // 30 bytes of noise in front of the first record's reply, in the
        // same read: no start byte among them, so they are thrown away and
        // the reply behind them is taken. Exit 0 and the exact file.
        FaultCase{"noise_before_a_reply",
                  {"--garbage", "30@3"},
                  3,
                  false,
                  0,
                  {kConnected, kWritten, kWrote},
                  true},
        // Every reply comes with a wrong checksum the first time and clean when
        // its request is repeated: pointer, table and both records each show
        // " Repeat 1." once. Exit 0 and the exact file; nothing corrupt in it.
        FaultCase{"every_reply_corrupted_once",
                  {"--corrupt-first-try"},
                  1,
                  true,
                  0,
                  {kConnected, RepeatLine(1), RepeatLine(1), RepeatLine(1), RepeatLine(1), kWritten, kWrote},
                  true,
                  {1, 2, 3, 4}},
        // The pointer's reply in pieces of 3, 3 and 1 bytes, 2800 ms apart:
        // the whole reply takes 5.6 s, but each piece comes before the
        // 3000 ms time-out (counted from the last bytes received) runs out,
        // so nothing is repeated. Exit 0 and the exact file.
        FaultCase{"pieces_just_under_the_time_out",
                  {"--pieces", "3,2800@1"},
                  2,
                  true,
                  0,
                  {kConnected, kWritten, kWrote},
                  true},
        // The pointer's reply byte by byte, 3300 ms apart: each gap runs the
        // time-out out, the bytes gathered so far are dropped and the request
        // is written again; after the fourth repeat the link gives up.
        // " Repeat 1." to " Repeat 4.", then "!!! No Response.", exit 1, no
        // results file. (The simulator reads nothing while it sends, so it
        // logs the pointer request once.)
        FaultCase{"pieces_just_over_the_time_out",
                  {"--pieces", "1,3300@1"},
                  2,
                  true,
                  1,
                  kGivesUp,
                  false,
                  {},
                  1,
                  1},
        // The instrument answers the pointer, the table and two records, then
        // falls silent: the third record's request is written five times,
        // " Repeat 1." to " Repeat 4.", "!!! No Response.", exit 1, no results
        // file, and no end of download is sent.
        FaultCase{"silent_mid_download",
                  {"--silent-after", "4"},
                  10,
                  false,
                  1,
                  kGivesUp,
                  false,
                  {},
                  5,
                  5},
        // Every reply from the second record's on carries the pointer's code: dropped,
        // repeated until the link gives up. Exit 1, no file; the download never restarts.
        FaultCase{"pointer_code_to_a_record_request", {"--reply-code", "11@4"}, 10, true, 1, kGivesUp, false, {}, 4, 5},
        // An 8 s pause at the third record's request, then it and its two
        // repeats answered back to back: the late answers are not taken for
        // the next records' replies. Exit 0 and the exact file.
        FaultCase{"pause_then_every_queued_answer", {"--pause", "5,8000", "--baud", "9600"}, 6, true, 0,
                  {kConnected, RepeatLine(1), RepeatLine(2), kWritten, kWrote}, true, {5, 5}},
        // A 13 s pause at the third record's request, then it and its four
        // repeats answered at once, in one read: the first answer is taken,
        // the other four are known for late answers. Exit 0, exact file.
        FaultCase{"pause_then_five_answers_at_once", {"--pause", "5,13000"}, 6, true, 0,
                  {kConnected, RepeatLine(1), RepeatLine(2), RepeatLine(3), RepeatLine(4), kWritten, kWrote}, true,
                  {5, 5, 5, 5}},
        // The first record's request goes unanswered once, among ten unused
        // slots (all 0xFF) whose replies are all the same: the next slot's
        // reply may be the late answer to that write and costs one repeat;
        // the other eight cost nothing. Exit 0, exact file.
        FaultCase{"one_glitch_among_unused_slots", {"--drop", "3"}, 15, true, 0,
                  {kConnected, RepeatLine(1), RepeatLine(1), kWritten, kWrote}, true, {3, 4}, -1, 0, 1990},
        // A junk byte every 2.5 s from the first record's request on, which
        // goes unanswered once: the noise does not hold off its repeat.
        // Exit 0, exact file.
        FaultCase{"noise_while_a_request_goes_unanswered", {"--noise", "2500@3", "--drop", "3"}, 3, false, 0,
                  {kConnected, RepeatLine(1), kWritten, kWrote}, true, {3}},
        // 300 noise bytes right after the probe's echo, more than a frame can
        // hold: the link reads them all and drops them before it writes the
        // first request, and the download runs as usual. Exit 0, exact file.
        FaultCase{"flood_after_the_echo",
                  {"--flood", "300@0"},
                  3,
                  true,
                  0,
                  {kConnected, kWritten, kWrote},
                  true},
        // 300 noise bytes right behind the second record's reply, in the same
        // burst, more than a frame can hold: the reply is taken, the noise
        // thrown away. Exit 0, exact file.
        FaultCase{"flood_with_a_reply",
                  {"--flood", "300@4"},
                  3,
                  true,
                  0,
                  {kConnected, kWritten, kWrote},
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

// The instrument's end of the line disappears mid-download (the simulator is
// killed with SIGKILL, its pty closes as a USB adapter pulled out): the port
// hangs up. The program says so at once and exits 1, without repeating into
// nothing; no results file is left, and the settings file holds port 2.
TEST_F(HeadlessRun, AVanishedInstrumentEndsTheRunWithoutAFileAndWithoutHanging) {
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  const fs::path log = dir_ / "frames.log";
  // Paced like a 9600 baud line, so the download is still going when the
  // simulator dies.
  simtest::SimProcess sim({"--quiet", "--baud", "9600", "--log", log.string()});
  ProgramRun run(work, sim.SlavePath(), {"--count", "500", "--format", "xls", "--output", "out.xls"},
                 dir_ / "stderr.txt");
  ASSERT_TRUE(WaitForFrames(log, 10)) << "the download did not get going";
  sim.Stop(SIGKILL);

  // The old way, five writes of 3000 ms each, would fit too; a hang does not.
  ASSERT_TRUE(run.WaitFor(30000)) << "the program hangs after the instrument vanished";
  RunResult result;
  result.exitStatus = run.ExitStatus();
  result.err = ReadFile(dir_ / "stderr.txt");
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.NotableLines(),
            (std::vector<std::string>{kConnected, "The port COM2 (" + sim.SlavePath() + ") is gone; no file was written."}))
      << result.err;
  EXPECT_EQ(FolderEntries(work), std::vector<std::string>{"Velquor.ini"});
  EXPECT_EQ(ReadFile(work / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

// The terminal goes away mid-download (SIGHUP) under a program run by an
// ordinary user: "Interrupted by SIGHUP; no file was written.", status 129
// (ended by the signal), no results file, the settings file written. The port
// is released: its exclusive-use flag is cleared, so the same user's next run
// finds the instrument there (a flag left set would refuse every open but
// root's), even while the interrupted run's last reply is still arriving in
// pieces with gaps longer than a reply takes: the next run waits them out.
TEST_F(HeadlessRun, AHangUpMidDownloadReleasesThePortForTheNextRun) {
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  fs::permissions(dir_, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  fs::permissions(work, fs::perms::all);
  const fs::path log = dir_ / "frames.log";
  // Paced like a 9600 baud line, so the download is still going at the signal;
  // the reply to request 9, the last before it, comes in pieces of 5 bytes
  // 100 to 300 ms apart, for about 1.4 s.
  simtest::SimProcess sim({"--quiet", "--baud", "9600", "--pieces", "5,100-300@9", "--log", log.string()});
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(sim.SlavePath().c_str(), kNobody, kNobody), 0);
  }
  ChildSetup setup;
  setup.unprivileged = true;
  const std::vector<std::string> args = {"--count", "500", "--format", "xls", "--output", "out.xls"};
  const RunResult hungUp = RunIn(work, sim.SlavePath(), args, setup, 10000, [&log](ProgramRun& run) {
    ASSERT_TRUE(WaitForFrames(log, 10)) << "the download did not get going";
    run.Signal(SIGHUP);
  });
  EXPECT_EQ(hungUp.exitStatus, 128 + SIGHUP) << hungUp.err;
  EXPECT_EQ(hungUp.NotableLines(),
            (std::vector<std::string>{kConnected, "Interrupted by SIGHUP; no file was written."}))
      << hungUp.err;
  EXPECT_EQ(FolderEntries(work), std::vector<std::string>{"Velquor.ini"});
  EXPECT_EQ(ReadFile(work / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");

  const RunResult again =
      RunIn(work, sim.SlavePath(), {"--count", "3", "--format", "xls", "--output", "out.xls"}, setup);
  EXPECT_EQ(again.exitStatus, 0) << again.err;
  EXPECT_EQ(again.NotableLines(),
            (std::vector<std::string>{kConnected, kWritten, WroteLine((work / "out.xls").string(), kPointer, 3)}))
      << again.err;
  EXPECT_EQ(ReadFile(work / "out.xls"), ExpectedFile(kPointer, 3, true));
}

#ifdef VELORIX_E2E_WITH_WINDOW
// The window gets SIGHUP while it holds the port: it closes as its close
// button closes it. Exit 0, the settings file written.
TEST_F(HeadlessRun, AHangUpClosesTheWindowAsItsCloseButtonDoes) {
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  const fs::path log = dir_ / "frames.log";
  simtest::SimProcess sim({"--quiet", "--log", log.string()});
  ChildSetup setup;
  setup.environment = {"QT_QPA_PLATFORM=offscreen"};
  const RunResult run = RunIn(work, sim.SlavePath(), {}, setup, 10000, [&](ProgramRun& window) {
    // The window starts the link on its first clock tick; the probe's echo
    // means it holds the port.
    ASSERT_TRUE(WaitForFrames(log, 1)) << ReadFile(dir_ / "stderr.txt");
    window.Signal(SIGHUP);
  });
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(ReadFile(work / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}
#endif

}  // namespace
}  // namespace velorix::e2etest
