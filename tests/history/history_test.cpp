#include "history/history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <vector>

#include "record_builder.h"
#include "tests/shell/test_support.h"

namespace velorix {
namespace {

using testing::ScratchFolder;

ArchiveRecord Record(std::uint16_t sample, std::uint8_t day, std::uint8_t kind = KIND_SAMPLE) {
  test::RecordFields f;
  f.kind = kind;
  f.sample = sample;
  f.clock = {0x00, 0x30, 0x09, 0x02, day, 0x12, 0x26};  // 09:30 on <day>.12.2026 (BCD)
  ArchiveRecord r;
  r.image = test::RecordImage(f);
  return r;
}

const std::array<std::uint8_t, EMPTY_CELL_TABLE_BYTES> kTable{0x11};

std::optional<StoredDownload> Add(History& h, int first, const std::vector<ArchiveRecord>& slots,
                                  std::time_t when = 1700000000) {
  DownloadFacts facts;
  facts.finished = when;
  facts.port = "COM2 (/dev/pts/9)";
  facts.kind = "test";
  facts.firstIndex = first;
  facts.pointer = (first + static_cast<int>(slots.size())) % 2000;
  facts.slotsRead = slots;
  facts.emptyCellBytes = kTable;
  std::string problem;
  std::optional<StoredDownload> stored = h.Add(facts, problem);
  EXPECT_EQ(problem, "");
  return stored;
}

std::unique_ptr<History> OpenOk(const std::string& path, History::Access access = History::Access::ReadWrite) {
  std::string problem;
  std::unique_ptr<History> h = History::Open(path, access, problem);
  EXPECT_TRUE(h) << problem;
  return h;
}

TEST(History, KeepsEachRecordOnceAndTheMarkFollowsTheLastDownload) {
  ScratchFolder dir;
  auto h = OpenOk(dir.file("h.sqlite"));
  ArchiveRecord unused;
  unused.image.fill(0xFF);
  const ArchiveRecord a = Record(1, 0x01), b = Record(2, 0x02), same = Record(1, 0x01);
  const struct {
    const char* name;
    int first;
    std::vector<ArchiveRecord> slots;
    int records, fresh;
  } downloads[] = {
      {"wraps past 1999; an unused slot is not kept", 1998, {a, unused, b}, 2, 2},
      {"the same slots again", 1998, {a, unused, b}, 2, 0},
      {"the same bytes at another index: another test", 5, {same, b}, 2, 2},
      {"a repeat of the slot before", 7, {b, b}, 2, 2},
  };
  for (const auto& d : downloads) {
    SCOPED_TRACE(d.name);
    const std::optional<StoredDownload> stored = Add(*h, d.first, d.slots);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->records, d.records);
    EXPECT_EQ(stored->fresh, d.fresh);
    std::string problem;
    const std::optional<DownloadMark> mark = h->LastMark(problem);
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->pointer, (d.first + static_cast<int>(d.slots.size())) % 2000);
    EXPECT_EQ(mark->lastImage, d.slots.back().image);
  }
  std::string problem;
  EXPECT_EQ(h->Summarize(problem)->records, 6);

  // The last download deleted by hand, as with the sqlite3 shell (no foreign keys): the mark moves
  // back, its rows stay behind, and later downloads are still kept.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("h.sqlite").c_str(), &raw), SQLITE_OK);
  sqlite3_exec(raw, "DELETE FROM downloads WHERE id = (SELECT max(id) FROM downloads)", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  EXPECT_EQ(h->LastMark(problem)->pointer, 7);
  ASSERT_TRUE(Add(*h, 9, {Record(3, 0x03)}));
  EXPECT_EQ(h->LastMark(problem)->pointer, 10);
}

TEST(History, SelectsByTestTimeWithTheTableOfTheRangesEnd) {
  ScratchFolder dir;
  auto h = OpenOk(dir.file("h.sqlite"));
  ArchiveRecord undated = Record(9, 0x31);
  undated.image[12] = 0x02;  // 31 February
  Add(*h, 0, {Record(1, 0x01), Record(2, 0x02), undated, Record(3, 0x03, KIND_EMPTY_CELL)}, 1700000000);
  const struct {
    const char* from;
    const char* to;
    std::vector<int> samples;
  } cases[] = {
      {"", "", {1, 2, 9, 3}},
      {"2026-12-02 00:00:00", "", {2, 3}},
      {"", "2026-12-02 09:30:00", {1, 2}},
      {"2026-12-02 09:30:01", "2026-12-02 23:59:59", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + ".." + c.to);
    std::string problem;
    const std::optional<SelectedRecords> got = h->Select({c.from, c.to}, problem);
    ASSERT_TRUE(got) << problem;
    std::vector<int> samples;
    for (const ArchiveRecord& r : got->records) samples.push_back(r.sample());
    EXPECT_EQ(samples, c.samples);
    EXPECT_TRUE(got->hasTable);
  }
}

// Nothing is opened that the settings file's rules would not open, and a
// file that is not a history is left exactly as it was.
TEST(History, UnusableFilesAreRefusedAndLeftAsTheyWere) {
  const auto database = [](const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
  };
  const struct {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* problem;
  } cases[] = {
      {"folder", [](const std::string& p) { ::mkdir(p.c_str(), 0755); }, "Is a directory"},
      {"named pipe", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, "Not a regular file"},
      {"text", [](const std::string& p) { testing::WriteFile(p, std::string(4096, 'x')); }, "not a history file"},
      {"another database", [&](const std::string& p) { database(p, "CREATE TABLE t (x)"); }, "other tables"},
      {"newer layout", [&](const std::string& p) { database(p, "PRAGMA user_version = 7"); }, "newer version"},
      {"read-only history", [&](const std::string& p) { database(p, "CREATE TABLE t (x)"); ::chmod(p.c_str(), 0444); },
       "Permission denied"},
      {"link to nothing", [](const std::string& p) { [[maybe_unused]] int r = ::symlink("gone", p.c_str()); },
       "symbolic link to nothing"},
      {"another user's link", [](const std::string& p) {
         testing::WriteFile(p + ".real", "");
         [[maybe_unused]] int r = ::symlink((p + ".real").c_str(), p.c_str());
         r = ::lchown(p.c_str(), 65534, 65534);
       }, geteuid() == 0 ? "another user" : ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (*c.problem == '\0') continue;  // needs root to plant
    ScratchFolder dir;
    const std::string path = dir.file("h.sqlite");
    c.make(path);
    // A named pipe is never read here: that would wait for a writer.
    const auto contents = [&path] { return std::filesystem::is_regular_file(path) ? testing::ReadFile(path) : ""; };
    const std::string before = contents();
    std::string problem;
    EXPECT_FALSE(History::Open(path, History::Access::ReadWrite, problem));
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    EXPECT_EQ(contents(), before);
    EXPECT_FALSE(testing::Exists(path + "-journal"));
  }
}

// SIGKILL at any moment of a download's transaction: the history holds
// whole downloads only, each with all of its records.
TEST(History, KilledWhileStoringHoldsWholeDownloadsOnly) {
  ScratchFolder dir;
  const std::string path = dir.file("h.sqlite");
  for (int round = 0; round < 12; ++round) {
    const pid_t child = ::fork();
    if (child == 0) {
      std::string problem;
      auto h = History::Open(path, History::Access::ReadWrite, problem);
      for (std::uint16_t n = 0; h; ++n) {
        std::vector<ArchiveRecord> slots;
        for (int i = 0; i < 2000; ++i) slots.push_back(Record(static_cast<std::uint16_t>(n * 2000 + i), 0x01));
        Add(*h, 0, slots);
      }
      ::_exit(1);
    }
    ::usleep(static_cast<useconds_t>(20000 + round * 17000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  const auto scalar = [db](const char* sql) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    sqlite3_step(st);
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    const std::string text = value ? value : sqlite3_errmsg(db);
    sqlite3_finalize(st);
    return text;
  };
  EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(scalar("SELECT count(*) FROM downloads WHERE new_records !="
                   " (SELECT count(*) FROM records WHERE download = downloads.id) OR records != 2000"),
            "0");
  sqlite3_close(db);
}

}  // namespace
}  // namespace velorix
