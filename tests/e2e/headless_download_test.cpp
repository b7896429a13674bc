// The program without a window, run as a user runs it, against the simulated
// instrument on a real pseudo-terminal: the files it writes, what it says on
// standard error, its exit status and the settings file it leaves.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected_results.h"
#include "sim/archive_model.h"
#include "sim_process.h"

namespace velorix::e2etest {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct RunResult {
  int exitStatus = -1;
  std::string err;
};

// A scratch folder that is the program's current folder: its settings file
// lives there. COM2 is the simulator; the other ports lead nowhere, so no real
// serial port of the machine is ever touched.
class HeadlessRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velorix-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  RunResult Run(const std::string& comTwo, const std::string& args) {
    std::string command = "cd '" + dir_.string() + "' && VELORIX_COM1=/nonexistent/com1 VELORIX_COM2='" +
                          comTwo + "' VELORIX_COM3=/nonexistent/com3 VELORIX_COM4=/nonexistent/com4 '" +
                          VELORIX_ARCHIVE_PATH + "' " + args + " 2>stderr.txt";
    RunResult result;
    const int status = std::system(command.c_str());
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadFile(dir_ / "stderr.txt");
    fs::remove(dir_ / "stderr.txt");
    return result;
  }

  fs::path dir_;
};

struct DownloadCase {
  const char* name;
  int pointer;
  int count;
  bool excel;
};

void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.name; }

class HeadlessDownload : public HeadlessRun, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(HeadlessDownload, WritesTheFileByteForByte) {
  const DownloadCase& c = GetParam();
  const fs::path log = dir_ / "sim.log";
  simtest::SimProcess sim({"--quiet", "--pointer", std::to_string(c.pointer), "--log", log.string()});
  const fs::path output = dir_ / (c.excel ? "out.xls" : "out.doc");

  RunResult run = Run(sim.SlavePath(), "--count " + std::to_string(c.count) + " --format " +
                                           (c.excel ? "xls" : "doc") + " --output '" + output.string() + "'");
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  const sim::SimArchive archive = sim::GenerateArchive(sim::DEFAULT_SEED);
  const auto records = WrittenRecords(archive, c.pointer, c.count);
  const std::string expected =
      c.excel ? ExpectedSpreadsheet(archive, records) : ExpectedReport(archive, records);
  EXPECT_EQ(ReadFile(output), expected);

  // The conversation: pointer, table, count+1 records from pointer-count with
  // the wrap after 1999, then the end of the download.
  sim.Stop();
  std::vector<std::string> expectedLog = {"01 05 FF 05 01", "01 05 0B 11 00", "01 05 0C 12 00"};
  int index = ((c.pointer - c.count) % 2000 + 2000) % 2000;
  for (int i = 0; i <= c.count; ++i, index = index == 1999 ? 0 : index + 1) {
    std::uint8_t frame[7] = {0x01, 0x07, 0x0A, static_cast<std::uint8_t>(index & 0xFF),
                             static_cast<std::uint8_t>(index >> 8), 0, 0};
    unsigned sum = 0;
    for (int k = 0; k < 5; ++k) sum += frame[k];
    frame[5] = static_cast<std::uint8_t>(sum);
    frame[6] = static_cast<std::uint8_t>(sum >> 8);
    expectedLog.push_back(Format("%02X %02X %02X %02X %02X %02X %02X", frame[0], frame[1], frame[2],
                                 frame[3], frame[4], frame[5], frame[6]));
  }
  expectedLog.push_back("01 05 FF 05 01");
  EXPECT_EQ(ReadLines(log), expectedLog);

  EXPECT_NE(run.err.find(" Device connected on COM2 "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("File is written."), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, HeadlessDownload,
    ::testing::Values(DownloadCase{"spreadsheet_wrapping_the_ring", 5, 100, true},
                      DownloadCase{"report_wrapping_the_ring", 5, 100, false},
                      DownloadCase{"spreadsheet_whole_archive", 1999, 2000, true},
                      DownloadCase{"report_single_record", 0, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HeadlessRun, ACountOutOfRangeIsRefusedBeforeAnythingHappens) {
  for (const char* count : {"0", "2001", "-5"}) {
    RunResult run = Run("/nonexistent/com2", std::string("--count ") + count +
                                                 " --format xls --output out.xls");
    EXPECT_EQ(run.exitStatus, 2) << count;
    EXPECT_EQ(run.err, "Number is incorrect (1...2000)\n") << count;
    EXPECT_FALSE(fs::exists(dir_ / "out.xls"));
    EXPECT_FALSE(fs::exists(dir_ / "Velquor.ini"));
  }
}

TEST_F(HeadlessRun, NoInstrumentOnAnyPortNamesEachTryAndGivesUp) {
  RunResult run = Run("/nonexistent/com2", "--count 10 --format doc --output out.doc");
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
  RunResult run = Run(sim.SlavePath(), "--count 3 --format xls --output out.xls");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_LT(run.err.find("COM3 (/nonexistent/com3): missing"), run.err.find("COM1 (/nonexistent/com1)"));
  EXPECT_EQ(ReadFile(dir_ / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

TEST_F(HeadlessRun, AFileThatCannotBeWrittenIsReportedAndNothingIsLeft) {
  simtest::SimProcess sim({"--quiet"});
  RunResult run = Run(sim.SlavePath(), "--count 5 --format xls --output missing/out.xls");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("The results file was not written: missing/out.xls"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("File is written."), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(HeadlessRun, ACorruptReplyIsRepeatedAndTheFileIsStillRight) {
  simtest::SimProcess sim({"--quiet", "--corrupt", "3"});
  RunResult run = Run(sim.SlavePath(), "--count 4 --format xls --output out.xls");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find(" Repeat 1. Waiting response.  Wait for reading."), std::string::npos) << run.err;
  const sim::SimArchive archive = sim::GenerateArchive(sim::DEFAULT_SEED);
  EXPECT_EQ(ReadFile(dir_ / "out.xls"), ExpectedSpreadsheet(archive, WrittenRecords(archive, 5, 4)));
}

TEST_F(HeadlessRun, AnInstrumentThatFallsSilentEndsTheRunWithoutAFile) {
  simtest::SimProcess sim({"--quiet", "--silent-after", "20"});
  RunResult run = Run(sim.SlavePath(), "--count 100 --format doc --output out.doc");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find(" Repeat 4. Waiting response.  Wait for reading."), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("!!! No Response.  Wait for reading."), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dir_ / "out.doc"));
}

}  // namespace
}  // namespace velorix::e2etest
