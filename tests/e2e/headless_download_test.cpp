// The program without a window, run as a user runs it, against the simulated
// instrument on a real pseudo-terminal: the files it writes, what it says on
// standard error, its exit status and the settings file it leaves.

#include <sys/stat.h>

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

TEST_F(HeadlessRun, ACountOutOfRangeIsRefusedBeforeAnythingHappens) {
  for (const char* count : {"0", "2001", "-5"}) {
    RunResult run = RunIn(dir_, "/nonexistent/com2", {"--count", count, "--format", "xls", "--output", "out.xls"});
    EXPECT_EQ(run.exitStatus, 2) << count;
    EXPECT_EQ(run.err, "Number is incorrect (1...2000)\n") << count;
    EXPECT_FALSE(fs::exists(dir_ / "out.xls"));
    EXPECT_FALSE(fs::exists(dir_ / "Velquor.ini"));
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

// Quiet, the ports tried are told only because none answered: they are the
// error, with the box and the last line.
TEST_F(HeadlessRun, QuietNoInstrumentNamesThePortsTriedAndNothingElse) {
  const RunResult run =
      RunIn(dir_, "/nonexistent/com2", {"--count", "10", "--format", "doc", "--output", "out.doc", "--quiet"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.ErrLines(),
            (std::vector<std::string>{"COM2 (/nonexistent/com2): missing", "COM1 (/nonexistent/com1): missing",
                                      "COM2 (/nonexistent/com2): missing", "COM3 (/nonexistent/com3): missing",
                                      "COM4 (/nonexistent/com4): missing", "     Device do't connected to computer,",
                                      "         or device do't powered, ",
                                      "   or computer do't have the communication ports !!!", kNotFound}))
      << run.err;
}

// Quiet, the ports passed over on the way to the instrument are no error.
TEST_F(HeadlessRun, QuietPortsTriedBeforeTheInstrumentAreNotTold) {
  simtest::SimProcess sim({"--quiet"});
  std::ofstream(dir_ / "Velquor.ini") << "[Velorix - 5]\nCOM Port 1_4= 3 \n";
  const RunResult run =
      RunIn(dir_, sim.SlavePath(), {"--count", "3", "--format", "xls", "--output", "out.xls", "--quiet"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.ErrLines(), std::vector<std::string>{WroteLine((dir_ / "out.xls").string(), kPointer, 3)});
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
// probe); nothing is written, not even the settings file.
struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  const char* told;  // all of standard error
  ChildSetup::Stdout stdoutTo = ChildSetup::Stdout::File;
  enum class Make { Nothing, Folder, NamedPipe } make = Make::Nothing;  // at "there"
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refused : public HeadlessRun, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refused, BeforeTheInstrumentIsAsked) {
  const RefusalCase& c = GetParam();
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  if (c.make == RefusalCase::Make::Folder) fs::create_directory(work / "there");
  if (c.make == RefusalCase::Make::NamedPipe) {
    ASSERT_EQ(::mkfifo((work / "there").c_str(), 0644), 0);
  }
  const std::vector<std::string> before = FolderEntries(work);
  const fs::path log = dir_ / "frames.log";
  simtest::SimProcess sim({"--quiet", "--log", log.string()});
  ChildSetup setup;
  setup.stdoutTo = c.stdoutTo;
  // A terminal, where the refusal needs one, as the only standard error.
  if (c.stdoutTo == ChildSetup::Stdout::Terminal) setup.terminalColumns = 200;

  const RunResult run = RunIn(work, sim.SlavePath(), c.args, setup);
  sim.Stop();
  EXPECT_EQ(run.exitStatus, 2) << run.err;
  const std::vector<std::string> told =
      c.stdoutTo == ChildSetup::Stdout::Terminal ? ScreenOf(run.err).lines : run.ErrLines();
  std::vector<std::string> expected;
  std::istringstream text(c.told);
  for (std::string line; std::getline(text, line);) expected.push_back(line);
  EXPECT_EQ(told, expected) << run.err;
  EXPECT_EQ(ReadLines(log), std::vector<std::string>{}) << "the instrument was asked";
  EXPECT_EQ(FolderEntries(work), before);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Refused,
    ::testing::Values(
        RefusalCase{"count_given_twice",
                    {"--count", "10", "--count", "20", "--format", "xls", "--output", "out.xls"},
                    "velorix-archive: option --count is given more than once\nTry 'velorix-archive --help'.\n"},
        RefusalCase{"verbose_and_quiet",
                    {"--count", "10", "--format", "xls", "--output", "out.xls", "--verbose", "--quiet"},
                    "velorix-archive: --verbose and --quiet exclude each other\nTry 'velorix-archive --help'.\n"},
        RefusalCase{"folder_missing",
                    {"--count", "5", "--format", "xls", "--output", "missing/out.xls"},
                    "The results file can't be written: missing/out.xls: No such file or directory\n"},
        RefusalCase{"output_is_a_folder",
                    {"--count", "5", "--format", "doc", "--output", "there"},
                    "The results file can't be written: there: Is a directory\n",
                    ChildSetup::Stdout::File,
                    RefusalCase::Make::Folder},
        // Opening it would wait for a reader for ever.
        RefusalCase{"output_is_a_named_pipe",
                    {"--count", "5", "--format", "xlsx", "--output", "there"},
                    "The results file can't be written: there: Not a regular file (a named pipe)\n",
                    ChildSetup::Stdout::File,
                    RefusalCase::Make::NamedPipe},
        RefusalCase{"workbook_to_a_terminal",
                    {"--count", "5", "--format", "xlsx", "--output", "-"},
                    "Standard output is a terminal, and a workbook is binary: send it to a file (--output - "
                    ">FILE) or a pipe, or give --output FILE.\n",
                    ChildSetup::Stdout::Terminal},
        RefusalCase{"standard_output_closed",
                    {"--count", "5", "--format", "xls", "--output", "-"},
                    "Standard output is closed; there is nowhere to write the results file.\n",
                    ChildSetup::Stdout::Closed}),
    [](const auto& info) { return std::string(info.param.name); });

// --output - writes the results file to standard output, byte for byte what
// --output FILE writes, and only standard output: status and progress stay
// on standard error, and no file named "-" appears.
struct StandardOutputCase {
  const char* name;
  const char* format;
  int count;
};

void PrintTo(const StandardOutputCase& c, std::ostream* os) { *os << c.name; }

class StandardOutput : public HeadlessRun, public ::testing::WithParamInterface<StandardOutputCase> {};

TEST_P(StandardOutput, TakesTheFileByteForByte) {
  const StandardOutputCase& c = GetParam();
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  simtest::SimProcess sim({"--quiet"});
  const std::string file = (work / "file").string();
  const std::vector<std::string> args = {"--count", std::to_string(c.count), "--format", c.format, "--output"};
  std::vector<std::string> toFileArgs = args, pipedArgs = args;
  toFileArgs.push_back(file);
  pipedArgs.push_back("-");
  const RunResult toFile = RunIn(work, sim.SlavePath(), toFileArgs);
  ASSERT_EQ(toFile.exitStatus, 0) << toFile.err;
  const RunResult piped = RunIn(work, sim.SlavePath(), pipedArgs);
  ASSERT_EQ(piped.exitStatus, 0) << piped.err;

  const std::string written = ReadFile(file);
  if (std::string(c.format) == "xlsx") {
    // A workbook holds the moment it was made, so two runs differ there.
    EXPECT_EQ(piped.out.substr(0, 4), std::string("PK\x03\x04"));
    EXPECT_NEAR(static_cast<double>(piped.out.size()), static_cast<double>(written.size()), 8.0);
  } else {
    EXPECT_EQ(piped.out, written);
    EXPECT_EQ(piped.out, ExpectedFile(kPointer, c.count, std::string(c.format) == "xls"));
  }
  EXPECT_EQ(piped.NotableLines(),
            (std::vector<std::string>{kConnected, kWritten, WroteLine("standard output", kPointer, c.count)}))
      << piped.err;
  EXPECT_EQ(FolderEntries(work), (std::vector<std::string>{"Velquor.ini", "file"}));
}

INSTANTIATE_TEST_SUITE_P(CommandLine, StandardOutput,
                         ::testing::Values(StandardOutputCase{"spreadsheet", "xls", 50},
                                           StandardOutputCase{"report", "doc", 50},
                                           StandardOutputCase{"workbook", "xlsx", 50}),
                         [](const auto& info) { return std::string(info.param.name); });

// Standard output is a pipe nobody reads any more (the next program in the
// pipeline has ended): the write fails and the run says so, exit 1.
TEST_F(HeadlessRun, AClosedPipeOnStandardOutputIsAFailedWrite) {
  simtest::SimProcess sim({"--quiet"});
  ChildSetup setup;
  setup.stdoutTo = ChildSetup::Stdout::ClosedPipe;
  const RunResult run = RunIn(dir_, sim.SlavePath(), {"--count", "20", "--format", "xls", "--output", "-"}, setup);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_EQ(run.NotableLines(),
            (std::vector<std::string>{kConnected, "The results file was not written: standard output: Broken pipe"}))
      << run.err;
  EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"Velquor.ini"});
}

// How much a 200-record run says on standard error when that is a file: the
// lasting statuses and ten progress lines; with --quiet only the last line;
// with --verbose every status of every exchange.
struct VolumeCase {
  const char* name;
  const char* option;  // nullptr: none
};

void PrintTo(const VolumeCase& c, std::ostream* os) { *os << c.name; }

class LogVolume : public HeadlessRun, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(LogVolume, OffATerminal) {
  const VolumeCase& c = GetParam();
  constexpr int kCount = 200;
  simtest::SimProcess sim({"--quiet"});
  std::vector<std::string> args = {"--count", std::to_string(kCount), "--format", "doc", "--output", "out.doc"};
  if (c.option) args.push_back(c.option);
  const RunResult run = RunIn(dir_, sim.SlavePath(), args);
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  const std::string wrote = WroteLine((dir_ / "out.doc").string(), kPointer, kCount);
  std::vector<std::string> expected;
  const std::string option = c.option ? c.option : "";
  if (option.empty()) {
    expected.push_back(kConnected);
    for (int tenth = 1; tenth <= 10; ++tenth)
      expected.push_back("Read " + std::to_string(kCount * tenth / 10) + " of 200 records (" +
                         std::to_string(tenth * 10) + "%)");
    expected.push_back(kWritten);
  } else if (option == "--verbose") {
    const std::string reading = "  Wait for reading.";
    expected.push_back(kConnected);
    // The pointer, the table and count+1 records.
    for (int exchange = 0; exchange < kCount + 3; ++exchange) {
      expected.push_back(" Waiting response." + reading);
      if (exchange < kCount + 2) expected.push_back(" Response OK." + reading);
    }
    // The file is written as the last record's reply is taken, before its
    // " Response OK." is shown; then the end of the download.
    for (const char* line : {"File is written.", " Response OK.File is written.", " Waiting response.File is written.",
                             " Response OK.File is written."})
      expected.push_back(line);
  }
  expected.push_back(wrote);
  EXPECT_EQ(run.ErrLines(), expected) << run.err;
}

INSTANTIATE_TEST_SUITE_P(CommandLine, LogVolume,
                         ::testing::Values(VolumeCase{"normal", nullptr}, VolumeCase{"quiet", "--quiet"},
                                           VolumeCase{"verbose", "--verbose"}),
                         [](const auto& info) { return std::string(info.param.name); });

#ifdef VELORIX_E2E_WITH_WINDOW
// Started without arguments where there is no display, the program says so
// and shows the command for a run without a window, exit 2, instead of
// letting Qt abort; it touches nothing.
TEST_F(HeadlessRun, WithoutADisplayTheWindowProgramShowsTheHeadlessCommand) {
  ChildSetup setup;
  setup.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
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

// The machine's own ports replaced by made-up /sys and /dev trees.
ChildSetup OnMadeUpMachine(const testing::FakeSystemTree& tree) {
  ChildSetup setup;
  setup.environment = {"VELORIX_SYSFS_ROOT=" + tree.Sys().string(), "VELORIX_DEV_ROOT=" + tree.Dev().string()};
  return setup;
}

TEST_F(HeadlessRun, FindsTheInstrumentThroughThePortsSectionOfTheSettingsFile) {
  simtest::SimProcess sim({"--quiet"});
  const testing::FakeSystemTree noPorts(dir_ / "machine");
  const std::string settings = "[Ports]\nCOM2=" + sim.SlavePath() + "\n";
  WriteFile(dir_ / "Velquor.ini", settings);

  RunResult run = RunIn(dir_, "", {"--count", "6", "--format", "doc", "--output", "out.doc"}, OnMadeUpMachine(noPorts));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find(" Device connected on COM2 "), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(dir_ / "out.doc"), ExpectedFile(kPointer, 6, false));
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), settings + "\n[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

// An adapter the user may not open gets no COM number; when nothing answers,
// it is the likely reason, so the run says so.
TEST_F(HeadlessRun, AnAdapterTheUserMayNotOpenIsNamedWhenNothingAnswers) {
  testing::FakeSystemTree tree(dir_ / "machine");
  tree.Add({.name = "ttyUSB0", .driver = "ftdi_sio", .usbId = "0403:6001", .nodeMode = 0060});
  ChildSetup setup = OnMadeUpMachine(tree);
  setup.honourFilePermissions = true;

  const RunResult run =
      RunIn(dir_, "/nonexistent/com2", {"--count", "3", "--format", "xls", "--output", "out.xls"}, setup);
  EXPECT_EQ(run.exitStatus, 1);
  const std::string line = "Passed over " + fs::canonical(tree.Dev()).string() +
                           "/ttyUSB0: permission denied (add the user to the group '";
  EXPECT_NE(run.err.find(line), std::string::npos) << run.err;
}

TEST_F(HeadlessRun, ListPortsShowsEveryNumberAndWhyPortsWerePassedOver) {
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
  WriteFile(dir_ / "Velquor.ini", "[Ports]\nCOM2=/nonexistent/pinned\n");
  ChildSetup setup = OnMadeUpMachine(tree);
  setup.honourFilePermissions = true;

  const RunResult run = RunIn(dir_, "", {"--list-ports"}, setup);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::string dev = fs::canonical(tree.Dev()).string();
  std::vector<std::string> expected = {"COM1  /nonexistent/com1  (VELORIX_COM1)",
                                       "COM2  /nonexistent/pinned  (Velquor.ini [Ports])"};
  for (int n = 3; n <= 9; ++n)
    expected.push_back("COM" + std::to_string(n) + "  /nonexistent/com" + std::to_string(n) + "  (VELORIX_COM" +
                       std::to_string(n) + ")");
  for (const std::string& line :
       {"COM10 " + dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0  (automatic)",
        std::string("      ttyUSB0, driver ftdi_sio, USB 0403:6001, FTDI, FT232R USB UART, serial A5XK3RJT"),
        "COM11 " + dev + "/ttyS1  (automatic)", std::string("      ttyS1, driver serial, 16550A"), std::string(),
        std::string("Passed over:"), "  " + dev + "/ttyACM0 (ttyACM0, driver cdc_acm, USB 2341:0043): permission denied",
        "  " + dev + "/ttyS0 (ttyS0, driver serial, 16550A): the system console",
        "  " + dev + "/ttyS2 (ttyS2, driver serial8250): no UART behind the device (type 0)", std::string()})
    expected.push_back(line);
  std::vector<std::string> lines;
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line) && lines.size() < expected.size();) lines.push_back(line);
  EXPECT_EQ(lines, expected) << run.out;
  // Nothing was written: listing is no run.
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Ports]\nCOM2=/nonexistent/pinned\n");
}

}  // namespace
}  // namespace velorix::e2etest
