// The program without a window, run as a user runs it, against the simulated
// instrument on a real pseudo-terminal: the files it writes, what it says on
// standard error, its exit status and the settings file it leaves.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "headless_run.h"
#include "tests/shell/fake_system_tree.h"

namespace velorix::e2etest {
namespace {

struct DownloadCase {
  const char* name;
  int pointer;
  int count;
  bool excel;
  const char* output = nullptr;  // the file's name, when not out.xls or out.doc
};

void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.name; }

class HeadlessDownload : public HeadlessRun, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(HeadlessDownload, WritesTheFileByteForByte) {
  const DownloadCase& c = GetParam();
  const fs::path log = dir_ / "sim.log";
  simtest::SimProcess sim({"--quiet", "--pointer", std::to_string(c.pointer), "--log", log.string()});
  const fs::path output = dir_ / (c.output ? c.output : c.excel ? "out.xls" : "out.doc");

  RunResult run = RunIn(dir_, sim.SlavePath(),
                        {"--count", std::to_string(c.count), "--format", c.excel ? "xls" : "doc", "--output",
                         output.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(ReadFile(output), ExpectedFile(c.pointer, c.count, c.excel));

  // The conversation: pointer, table, count+1 records from pointer-count with
  // the wrap after 1999, then the end of the download.
  sim.Stop();
  EXPECT_EQ(ReadLines(log), CleanConversation(c.pointer, c.count));

  EXPECT_EQ(run.NotableLines(),
            (std::vector<std::string>{kConnected, kWritten, WroteLine(output.string(), c.pointer, c.count)}))
      << run.err;
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, HeadlessDownload,
    ::testing::Values(DownloadCase{"spreadsheet_wrapping_the_ring", 5, 100, true},
                      DownloadCase{"report_wrapping_the_ring", 5, 100, false},
                      DownloadCase{"spreadsheet_whole_archive", 1999, 2000, true},
                      DownloadCase{"report_single_record", 0, 1, false},
                      // The command line names the format: an .xlsx name changes nothing.
                      DownloadCase{"spreadsheet_under_a_workbook_name", 5, 10, true, "out.xlsx"}),
    [](const auto& info) { return std::string(info.param.name); });

// Refused at once, exit 2, nothing asked: a count out of range; a relative
// output in a removed current folder (the line break in its name escaped).
TEST_F(HeadlessRun, AWrongCountOrOutputIsRefusedBeforeAnythingHappens) {
  const std::string count = "velorix-archive: Number is incorrect (1...2000)\nTry 'velorix-archive --help'.\n";
  const struct {
    const char *count, *output;
    std::string err;
  } cases[] = {{"0", "out.xls", count}, {"2001", "out.xls", count}, {"-5", "out.xls", count},
               {"3", "out\n.xls",
                "The results file can't be written: out\\n.xls: the current folder no longer exists\n"}};
  for (const auto& c : cases) {
    ChildSetup setup;
    setup.removeCurrentFolder = c.err != count;
    fs::create_directories(dir_ / "work");
    const RunResult run =
        RunIn(dir_ / "work", "/nonexistent/com2", {"--count", c.count, "--format", "xls", "--output", c.output}, setup);
    EXPECT_EQ(run.exitStatus, 2) << c.count;
    EXPECT_EQ(run.err, c.err) << c.count;
    EXPECT_TRUE(!fs::exists(dir_ / "work") || fs::is_empty(dir_ / "work")) << c.count;
  }
}

TEST_F(HeadlessRun, NoInstrumentOnAnyPortNamesEachTryAndGivesUp) {
  RunResult run = RunIn(dir_, "/nonexistent/com2", {"--count", "10", "--format", "doc", "--output", "out.doc"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_FALSE(fs::exists(dir_ / "out.doc"));
  for (const char* line : {"COM2 (/nonexistent/com2): missing", "COM1 (/nonexistent/com1): missing",
                           "COM4 (/nonexistent/com4): missing", "computer do't have the communication ports !!!",
                           " Device do't connected.  Wait for reading."})
    EXPECT_NE(run.err.find(line), std::string::npos) << line << "\n" << run.err;
  ASSERT_FALSE(run.ErrLines().empty());
  EXPECT_EQ(run.ErrLines().back(), kNotFound);
  // The last port tried is kept for the next start.
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 4 \n");
}

// --port tries one port alone; one held by another program is named in the
// last line, and the instrument is not even asked.
TEST_F(HeadlessRun, APortNamedOnTheCommandLineIsTriedAloneAndTheLastLineSaysWhyNot) {
  const fs::path log = dir_ / "frames.log";
  simtest::SimProcess sim({"--quiet", "--log", log.string()});
  const int held = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  const RunResult busy = RunIn(dir_, "/nonexistent/com2",
                               {"--count", "3", "--format", "xls", "--output", "o.xls", "--port", sim.SlavePath()});
  ::close(held);
  EXPECT_EQ(busy.exitStatus, 1) << busy.err;
  EXPECT_EQ(busy.ErrLines().back(), "The instrument was not found; COM2 (" + sim.SlavePath() +
                                        ") is in use by another program; no file was written.");
  EXPECT_EQ(ReadLines(log), std::vector<std::string>{});
}

TEST_F(HeadlessRun, StartsWithThePortFromTheSettingsFile) {
  simtest::SimProcess sim({"--quiet"});
  std::ofstream(dir_ / "Velquor.ini") << "[Velorix - 5]\nCOM Port 1_4= 3 \n";
  RunResult run = RunIn(dir_, sim.SlavePath(), {"--count", "3", "--format", "xls", "--output", "out.xls"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_LT(run.err.find("COM3 (/nonexistent/com3): missing"), run.err.find("COM1 (/nonexistent/com1)"));
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

// What can be known to fail before the port is opened is refused then: exit
// 2, one line saying why, and the instrument never hears of it (not even the
// probe); nothing is written, not even the settings file. (More paths that
// can't take the file: disk_fault_test.cpp.)
struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> told;  // all of standard error
  ChildSetup::Stdout stdoutTo = ChildSetup::Stdout::File;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refused : public HeadlessRun, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refused, BeforeTheInstrumentIsAsked) {
  const RefusalCase& c = GetParam();
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  const fs::path log = dir_ / "frames.log";
  simtest::SimProcess sim({"--quiet", "--log", log.string()});
  ChildSetup setup;
  setup.stdoutTo = c.stdoutTo;
  // A terminal, where the refusal needs one, as the only standard error.
  if (c.stdoutTo == ChildSetup::Stdout::Terminal) setup.terminalColumns = 200;

  const RunResult run = RunIn(work, sim.SlavePath(), c.args, setup);
  sim.Stop();
  EXPECT_EQ(run.exitStatus, 2) << run.err;
  EXPECT_EQ(ScreenOf(run.err).lines, c.told) << run.err;
  EXPECT_EQ(ReadLines(log), std::vector<std::string>{}) << "the instrument was asked";
  EXPECT_EQ(FolderEntries(work), std::vector<std::string>{});
}

const std::string kTryHelp = "Try 'velorix-archive --help'.";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Refused,
    ::testing::Values(
        RefusalCase{"count_given_twice",
                    {"--count", "10", "--count", "20", "--format", "xls", "--output", "out.xls"},
                    {"velorix-archive: option --count is given more than once", kTryHelp}},
        RefusalCase{"verbose_and_quiet",
                    {"--count", "10", "--format", "xls", "--output", "out.xls", "--verbose", "--quiet"},
                    {"velorix-archive: --verbose and --quiet exclude each other", kTryHelp}},
        // COMn with n out of 1..255 or not written plainly (COM-1, COM300,
        // COM02), or a name that is no device path, is refused as well.
        RefusalCase{"port_com_minus_one", {"--count", "5", "--format", "xls", "--output", "o.xls", "--port", "COM-1"},
                    {"velorix-archive: --port needs a device path or COMn (n from 1 to 255), not 'COM-1'", kTryHelp}},
        RefusalCase{"folder_missing",
                    {"--count", "5", "--format", "xls", "--output", "missing/out.xls"},
                    {"The results file can't be written: missing/out.xls: No such file or directory"}},
        RefusalCase{"workbook_to_a_terminal",
                    {"--count", "5", "--format", "xlsx", "--output", "-"},
                    {"Standard output is a terminal, and a workbook is binary: send it to a file (--output - "
                     ">FILE) or a pipe, or give --output FILE."},
                    ChildSetup::Stdout::Terminal},
        RefusalCase{"standard_output_closed",
                    {"--count", "5", "--format", "xls", "--output", "-"},
                    {"Standard output is closed; there is nowhere to write the results file."},
                    ChildSetup::Stdout::Closed}),
    [](const auto& info) { return std::string(info.param.name); });

// --output - writes the results file to standard output, byte for byte, and
// only there: status and progress stay on standard error, and no file named
// "-" appears. A workbook goes there too when standard output is no terminal.
TEST_F(HeadlessRun, StandardOutputTakesTheFileByteForByte) {
  simtest::SimProcess sim({"--quiet"});
  const RunResult run = RunIn(dir_, sim.SlavePath(), {"--count", "50", "--format", "doc", "--output", "-"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, ExpectedFile(kPointer, 50, false));
  EXPECT_EQ(run.NotableLines(),
            (std::vector<std::string>{kConnected, kWritten, WroteLine("standard output", kPointer, 50)}))
      << run.err;
  const RunResult workbook = RunIn(dir_, sim.SlavePath(), {"--count", "50", "--format", "xlsx", "--output", "-"});
  EXPECT_EQ(workbook.exitStatus, 0) << workbook.err;
  EXPECT_EQ(workbook.out.substr(0, 4), std::string("PK\x03\x04"));
  EXPECT_EQ(FolderEntries(dir_), (std::vector<std::string>{"Velquor.ini", kHistoryFile}));
}

// Standard output is a pipe nobody reads any more (the next program in the
// pipeline has ended): the run ends quietly by SIGPIPE, as other tools do.
// With standard output closed, --help and --list-ports fail out loud.
TEST_F(HeadlessRun, AClosedStandardOutputEndsTheRun) {
  simtest::SimProcess sim({"--quiet"});
  ChildSetup setup;
  setup.stdoutTo = ChildSetup::Stdout::ClosedPipe;
  const RunResult run = RunIn(dir_, sim.SlavePath(), {"--count", "20", "--format", "xls", "--output", "-"}, setup);
  EXPECT_EQ(run.exitStatus, 128 + SIGPIPE) << run.err;
  EXPECT_EQ(run.NotableLines(), std::vector<std::string>{kConnected}) << run.err;
  // The download was complete: its records are kept, though no file was written.
  EXPECT_EQ(FolderEntries(dir_), (std::vector<std::string>{"Velquor.ini", kHistoryFile}));
  setup.stdoutTo = ChildSetup::Stdout::Closed;
  for (const char* option : {"--help", "--list-ports"}) {
    const RunResult told = RunIn(dir_, sim.SlavePath(), {option}, setup);
    EXPECT_EQ(told.exitStatus, 1) << option;
    EXPECT_EQ(told.err, "velorix-archive: standard output: Bad file descriptor\n") << option;
  }
}

// What a 200-record run says on standard error. Off a terminal: the lasting
// statuses and a progress line every 10 %, with --verbose also every status
// of every exchange, with --quiet only the last line. On a terminal the same
// lines stay; the bar with the latest status is redrawn on one line that
// never wraps, also once the terminal is made narrower, and is gone after the
// last line.
const std::string kWrote = "<wrote>";     // the line that ends the run, "Wrote ..."
const std::string kFileLines = "<file>";  // the results file, on the same terminal
const std::vector<std::string> kWrittenLines = {kConnected, kWritten, kWrote};

struct VolumeCase {
  const char* name;
  int columns;  // standard error is a terminal this wide; 0: a file
  std::vector<std::string> options;
  std::vector<std::string> lines;  // that stay, but for progress lines and routine statuses
  std::size_t allLines = 0;        // off a terminal: with those
  // The terminal made this narrow at the 10th frame, Ctrl-C at the 20th (the
  // instrument paced like the real line, so the download is still going).
  int narrowTo = 0;
  bool fileToTheTerminal = false;  // --output - with standard output the same terminal
  std::string term = "xterm";      // TERM
};

void PrintTo(const VolumeCase& c, std::ostream* os) { *os << c.name; }

class Volume : public HeadlessRun, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(Volume, OnStandardError) {
  const VolumeCase& c = GetParam();
  const fs::path log = dir_ / "frames.log";
  std::vector<std::string> simArgs = {"--quiet", "--log", log.string()};
  if (c.narrowTo > 0) simArgs.insert(simArgs.end(), {"--baud", "9600"});
  simtest::SimProcess sim(simArgs);
  std::vector<std::string> args = {"--count", "200", "--format", "xls", "--output",
                                   c.fileToTheTerminal ? "-" : "out.xls"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  ChildSetup setup;
  setup.terminalColumns = c.columns;
  setup.environment = {"TERM=" + c.term};
  if (c.fileToTheTerminal) setup.stdoutTo = ChildSetup::Stdout::Terminal;
  std::size_t drawnAtResize = 0;
  const RunResult run = RunIn(dir_, sim.SlavePath(), args, setup, 60000, [&](ProgramRun& program) {
    if (c.narrowTo == 0) return;
    ASSERT_TRUE(WaitForFrames(log, 10)) << "the download did not get going";
    program.Terminal()->Resize(c.narrowTo);
    drawnAtResize = ScreenOf(program.Terminal()->Received()).redrawn.size();
    ASSERT_TRUE(WaitForFrames(log, 20));
    program.Signal(SIGINT);
  });

  std::vector<std::string> lines;
  for (const std::string& line : c.lines) {
    if (line == kWrote) {
      lines.push_back(WroteLine(c.fileToTheTerminal ? "standard output" : (dir_ / "out.xls").string(), kPointer, 200));
    } else if (line == kFileLines) {
      std::istringstream file(ExpectedFile(kPointer, 200, true));
      for (std::string fileLine; std::getline(file, fileLine);) lines.push_back(fileLine);
    } else {
      lines.push_back(line);
    }
  }
  EXPECT_EQ(run.exitStatus, c.lines.back() == kWrote ? 0 : 128 + SIGINT) << run.err;
  if (c.columns == 0) {
    EXPECT_EQ(run.NotableLines(), lines) << run.err;
    EXPECT_EQ(run.ErrLines().size(), c.allLines) << run.err;
    return;
  }
  if (c.term == "dumb") {  // no escape sequence; blanks and CR before the last line ("\r\n" on the terminal)
    EXPECT_EQ(run.err.find('\033'), std::string::npos);
    EXPECT_TRUE(run.err.ends_with("\r" + lines.back() + "\r\n")) << run.err;
    return;
  }
  const Screen screen = ScreenOf(run.err);
  EXPECT_EQ(screen.lines, lines) << run.err;
  EXPECT_EQ(screen.leftUnderCursor, "") << "left standing after the end";
  const std::size_t width = static_cast<std::size_t>(c.narrowTo > 0 ? c.narrowTo : c.columns);
  const auto fits = [width](const std::string& drawn) { return drawn.size() < width; };
  const auto& drawn = screen.redrawn;
  // Drawings made before the program took the resize may still be wide; none after.
  auto from = drawn.begin() + drawnAtResize;
  if (c.narrowTo > 0) from = std::find_if(from, drawn.end(), fits);
  EXPECT_EQ(from == drawn.end(), c.options == std::vector<std::string>{"--quiet"}) << "progress shown or not";
  for (auto line = from; line != drawn.end(); ++line) EXPECT_TRUE(fits(*line)) << "wraps: \"" << *line << '"';
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Volume,
    ::testing::Values(
        VolumeCase{"off_a_terminal", 0, {}, kWrittenLines, 1 + 10 + 2},
        VolumeCase{"off_a_terminal_quiet", 0, {"--quiet"}, {kWrote}, 1},
        // Per exchange (the pointer, the table and 201 records) " Waiting
        // response." and, but for the last, " Response OK."; "File is
        // written." as the last record's reply is taken, then three lines of
        // the end of the download; off a terminal the ten progress lines too.
        VolumeCase{"off_a_terminal_verbose", 0, {"--verbose"}, kWrittenLines, 1 + 203 + 202 + 4 + 1 + 10},
        VolumeCase{"dumb_terminal", 80, {}, kWrittenLines, 0, 0, false, "dumb"},
        // The bar shrunk and the status cut ...
        VolumeCase{"forty_columns", 40, {}, kWrittenLines},
        // ... no bar, the count and what is left of the status.
        VolumeCase{"twelve_columns", 12, {}, kWrittenLines},
        VolumeCase{"on_a_terminal_quiet", 80, {"--quiet"}, {kWrote}},
        // The file starts on a line of its own, and no drawing of the bar
        // takes its last line away.
        VolumeCase{"file_on_the_same_terminal", 80, {}, {kConnected, kFileLines, kWritten, kWrote}, 0, 0, true},
        VolumeCase{"narrowed_then_interrupted", 100, {}, {kConnected, "Interrupted by SIGINT; no file was written."},
                   0, 30}),
    [](const auto& info) { return std::string(info.param.name); });

#ifdef VELORIX_E2E_WITH_WINDOW
// Started without arguments where there is no display, the program says so
// and shows the command for a run without a window, exit 2, instead of
// letting Qt abort; it touches nothing.
TEST_F(HeadlessRun, WithoutADisplayTheWindowProgramShowsTheHeadlessCommand) {
  ChildSetup setup;
  setup.environment = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};  // taken out
  const RunResult run = RunIn(dir_, "/nonexistent/com2", {}, setup);
  EXPECT_EQ(run.exitStatus, 2) << run.err;
  EXPECT_EQ(run.err,
            "velorix-archive: there is no display for the window (none of DISPLAY, WAYLAND_DISPLAY and\n"
            "QT_QPA_PLATFORM is set). To download without a window:\n"
            "  velorix-archive --count N --format xls|doc|xlsx --output FILE\n"
            "Try 'velorix-archive --help'.\n");
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(fs::exists(dir_ / "Velquor.ini"));
}
#endif

TEST_F(HeadlessRun, ACorruptReplyIsRepeatedAndTheFileIsStillRight) {
  simtest::SimProcess sim({"--quiet", "--corrupt", "3"});
  RunResult run = RunIn(dir_, sim.SlavePath(), {"--count", "4", "--format", "xls", "--output", "out.xls"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find(" Repeat 1. Waiting response.  Wait for reading."), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(dir_ / "out.xls"), ExpectedFile(5, 4, true));
}

// On a machine of made-up /sys and /dev trees, with COM2 pinned to the
// instrument in the [Ports] section of the settings file: --list-ports shows
// every number and why ports were passed over, and writes nothing; a download
// finds the instrument through [Ports].
TEST_F(HeadlessRun, OnAMadeUpMachineThePortsSectionPinsAPort) {
  simtest::SimProcess sim({"--quiet"});
  testing::FakeSystemTree tree(dir_ / "machine");
  tree.Add({.name = "ttyS0", .driver = "serial", .type = 4});
  tree.Add({.name = "ttyS1", .driver = "serial", .type = 4});
  tree.Add({.name = "ttyS2", .driver = "serial8250", .type = 0});
  tree.Add({.name = "ttyUSB0",
            .driver = "ftdi_sio",
            .byId = "usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0",
            .usbId = "0403:6001",
            .manufacturer = "FTDI",
            .product = "FT232R USB UART",
            .serial = "A5XK3RJT"});
  tree.Add({.name = "ttyACM0", .driver = "cdc_acm", .usbId = "2341:0043", .nodeMode = 0200});
  tree.SetConsole("tty0 ttyS0");
  const std::string settings = "[Ports]\nCOM2=" + sim.SlavePath() + "\n";
  WriteFile(dir_ / "Velquor.ini", settings);
  ChildSetup setup;
  setup.environment = {"VELORIX_SYSFS_ROOT=" + tree.Sys().string(), "VELORIX_DEV_ROOT=" + tree.Dev().string()};
  setup.honourFilePermissions = true;

  const RunResult run = RunIn(dir_, "", {"--list-ports"}, setup);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::string dev = fs::canonical(tree.Dev()).string();
  std::string expected =
      "COM1  /nonexistent/com1  (VELORIX_COM1)\nCOM2  " + sim.SlavePath() + "  (Velquor.ini [Ports])\n";
  for (int n = 3; n <= 9; ++n)
    expected += "COM" + std::to_string(n) + "  /nonexistent/com" + std::to_string(n) + "  (VELORIX_COM" +
                std::to_string(n) + ")\n";
  expected += "COM10 " + dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0  (automatic)\n" +
              "      ttyUSB0, driver ftdi_sio, USB 0403:6001, FTDI, FT232R USB UART, serial A5XK3RJT\n" +
              "COM11 " + dev + "/ttyS1  (automatic)\n      ttyS1, driver serial, 16550A\n\nPassed over:\n" +
              "  " + dev + "/ttyACM0 (ttyACM0, driver cdc_acm, USB 2341:0043): permission denied\n" +
              "  " + dev + "/ttyS0 (ttyS0, driver serial, 16550A): the system console\n" +
              "  " + dev + "/ttyS2 (ttyS2, driver serial8250): no UART behind the device (type 0)\n\n";
  EXPECT_EQ(run.out.substr(0, expected.size()), expected) << run.out;
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), settings);

  const RunResult download = RunIn(dir_, "", {"--count", "6", "--format", "doc", "--output", "out.doc"}, setup);
  ASSERT_EQ(download.exitStatus, 0) << download.err;
  EXPECT_NE(download.err.find(" Device connected on COM2 "), std::string::npos) << download.err;
  EXPECT_EQ(ReadFile(dir_ / "out.doc"), ExpectedFile(kPointer, 6, false));
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), settings + "\n[Velorix - 5]\nCOM Port 1_4= 2 \n");

  // With COM2 pinned where nothing is, a quiet download tells the ports tried
  // (they are the error), the box, the adapter the user may not open (the
  // likely reason) and the last line; nothing else.
  WriteFile(dir_ / "Velquor.ini", "[Ports]\nCOM2=/nonexistent/pinned\n");
  const RunResult quiet = RunIn(dir_, "", {"--count", "3", "--format", "xls", "--output", "out.xls", "--quiet"}, setup);
  EXPECT_EQ(quiet.exitStatus, 1);
  std::vector<std::string> told = {"COM2 (/nonexistent/pinned): missing"};
  for (const std::string n : {"1", "2", "3", "4"})
    told.push_back(n == "2" ? told[0] : "COM" + n + " (/nonexistent/com" + n + "): missing");
  for (const std::string& line : {std::string("     Device do't connected to computer,"),
                                  std::string("         or device do't powered, "),
                                  std::string("   or computer do't have the communication ports !!!"),
                                  "Passed over " + dev + "/ttyACM0: permission denied", kNotFound})
    told.push_back(line);
  EXPECT_EQ(quiet.ErrLines(), told) << quiet.err;
}

}  // namespace
}  // namespace velorix::e2etest
