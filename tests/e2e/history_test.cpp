// The history and "new records only" end to end: the program against the
// simulated instrument on a pty, the history file beside the settings file.

#include <sys/stat.h>
#include <unistd.h>

#include "headless_run.h"

namespace velorix::e2etest {
namespace {

// The records a download of the slots first..first+count-1 writes.
std::string ExpectedSlots(const sim::SimArchive& archive, int first, int count) {
  return ExpectedSpreadsheet(archive, WrittenRecords(archive, first + count, count));
}

// One run after another in the same folder, each against an instrument that
// has made `tests` tests (--tests) since its archive was cleared.
TEST_F(HeadlessRun, NewRecordsOnlyFollowTheInstrumentsArchive) {
  const struct {
    const char* name;
    long tests;
    int archiveNumber;
    int exit;
    int first, count;         // the slots the file holds (count 0: no file)
    std::size_t requests;     // frames after the probe, the end included
    const char* line;         // a line standard error must hold
  } steps[] = {
      {"first: the whole archive", 2100, 1, 0, 100, 2000, 2003, "Nothing downloaded before"},
      {"nothing new", 2100, 1, 3, 0, 0, 3,
       "No new records since the last download (archive pointer 100); no file was written."},
      {"twenty new", 2120, 1, 0, 100, 20, 24, "Kept in the history: "},
      {"new across the end of the ring", 4010, 1, 0, 120, 1890, 1894, "Kept in the history: "},
      {"cleared since", 5, 1, 0, 5, 2000, 2004, "archive was cleared since the last download"},
      {"another instrument", 30, 2, 0, 30, 2000, 2004, "or this is another instrument"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    const fs::path log = dir_ / "frames.log";
    fs::remove(log);
    simtest::SimProcess sim({"--quiet", "--log", log.string(), "--tests", std::to_string(s.tests),
                             "--archive-number", std::to_string(s.archiveNumber)});
    fs::remove(dir_ / "new.xls");
    const RunResult run = RunIn(dir_, sim.SlavePath(), {"--new", "--format", "xls", "--output", "new.xls"});
    EXPECT_EQ(run.exitStatus, s.exit) << run.err;
    EXPECT_NE(run.err.find(s.line), std::string::npos) << run.err;
    const sim::SimArchive archive =
        sim::GenerateArchiveAfterTests(static_cast<std::uint32_t>(s.archiveNumber), s.tests);
    if (s.count > 0) EXPECT_EQ(ReadFile(dir_ / "new.xls"), ExpectedSlots(archive, s.first, s.count));
    else EXPECT_FALSE(fs::exists(dir_ / "new.xls"));
    ASSERT_TRUE(WaitForFrames(log, s.requests + 1));
    EXPECT_EQ(ReadLines(log).size(), s.requests + 1);
  }
}

// The history never costs the file; what is wrong with it is said once.
TEST_F(HeadlessRun, AnUnusableHistoryIsReportedAndTheFileStillWritten) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> plant;
    const char* why;
  } cases[] = {
      {"damaged", [](const fs::path& p) { WriteFile(p, std::string(8192, '\x5A')); }, "not a history file"},
      {"another user's link", [](const fs::path& p) {
         WriteFile(p.string() + ".real", "");
         fs::create_symlink(p.string() + ".real", p);
         [[maybe_unused]] int r = ::lchown(p.c_str(), kNobody, kNobody);
       }, ::geteuid() == 0 ? "a symbolic link of another user" : nullptr},
      {"a folder", [](const fs::path& p) { fs::create_directory(p); }, "Is a directory"},
  };
  simtest::SimProcess sim({"--quiet", "--tests", "120"});
  for (const auto& c : cases) {
    if (c.why == nullptr) continue;
    SCOPED_TRACE(c.name);
    const fs::path work = dir_ / c.name, history = work / "velorix-history.sqlite";
    fs::create_directories(work);
    c.plant(history);
    const std::string before = fs::is_regular_file(history) ? ReadFile(history) : "";
    const RunResult run = RunIn(work, sim.SlavePath(), {"--new", "--format", "xls", "--output", "r.xls"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(fs::exists(work / "r.xls"));
    const std::vector<std::string> lines = run.ErrLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("is not used: ") != std::string::npos; }),
              1)
        << run.err;
    EXPECT_NE(run.err.find(c.why), std::string::npos) << run.err;
    EXPECT_EQ(fs::is_regular_file(history) ? ReadFile(history) : "", before);
  }
}

// A download that does not complete leaves the mark where it was; two runs
// at once keep every record once; the history alone writes the files again.
TEST_F(HeadlessRun, OnlyCompleteDownloadsMoveTheMarkAndTwoRunsAtOnceKeepEachRecordOnce) {
  {
    simtest::SimProcess sim({"--quiet", "--tests", "100"});
    ASSERT_EQ(RunIn(dir_, sim.SlavePath(), {"--new", "--format", "xls", "--output", "a.xls"}).exitStatus, 0);
  }
  {
    simtest::SimProcess sim({"--quiet", "--tests", "150", "--silent-after", "10"});
    EXPECT_EQ(RunIn(dir_, sim.SlavePath(), {"--new", "--format", "xls", "--output", "b.xls"}).exitStatus, 1);
  }
  simtest::SimProcess one({"--quiet", "--tests", "150"}), two({"--quiet", "--tests", "150"});
  ProgramRun first(dir_, one.SlavePath(), {"--new", "--format", "xls", "--output", "c.xls"}, dir_ / "one.err");
  ProgramRun second(dir_, two.SlavePath(), {"--count", "2000", "--format", "xls", "--output", "d.xls"},
                    dir_ / "two.err");
  ASSERT_TRUE(first.WaitFor(60000) && second.WaitFor(60000));
  EXPECT_EQ(first.ExitStatus(), 0) << ReadFile(dir_ / "one.err");
  EXPECT_EQ(second.ExitStatus(), 0) << ReadFile(dir_ / "two.err");
  // Still 100 .. 149 after the failed run: all 50 new records.
  const sim::SimArchive archive = sim::GenerateArchiveAfterTests(1, 150);
  EXPECT_EQ(ReadFile(dir_ / "c.xls"), ExpectedSlots(archive, 100, 50));

  const RunResult all = RunIn(dir_, "/nonexistent/com2", {"--from-history", "--format", "xls", "--output", "e.xls"});
  EXPECT_EQ(all.exitStatus, 0) << all.err;
  EXPECT_EQ(ReadFile(dir_ / "e.xls"), ExpectedSlots(archive, 0, 150));
  const RunResult info = RunIn(dir_, "/nonexistent/com2", {"--history-info"});
  EXPECT_NE(info.out.find("Downloads: 3\n"), std::string::npos) << info.out;
}

}  // namespace
}  // namespace velorix::e2etest
