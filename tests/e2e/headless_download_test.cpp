// The program without a window, run as a user runs it, against the simulated
// instrument on a real pseudo-terminal: the files it writes, what it says on
// standard error, its exit status and the settings file it leaves.

#include <cstdint>
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

  EXPECT_NE(run.err.find(" Device connected on COM2 "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("File is written."), std::string::npos) << run.err;
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
  // The last port tried is kept for the next start.
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 4 \n");
}

TEST_F(HeadlessRun, StartsWithThePortFromTheSettingsFile) {
  simtest::SimProcess sim({"--quiet"});
  std::ofstream(dir_ / "Velquor.ini") << "[Velorix - 5]\nCOM Port 1_4= 3 \n";
  RunResult run = RunIn(dir_, sim.SlavePath(), {"--count", "3", "--format", "xls", "--output", "out.xls"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_LT(run.err.find("COM3 (/nonexistent/com3): missing"), run.err.find("COM1 (/nonexistent/com1)"));
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

TEST_F(HeadlessRun, AFileThatCannotBeWrittenIsReportedAndNothingIsLeft) {
  simtest::SimProcess sim({"--quiet"});
  RunResult run =
      RunIn(dir_, sim.SlavePath(), {"--count", "5", "--format", "xls", "--output", "missing/out.xls"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("The results file was not written: missing/out.xls"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("File is written."), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

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
