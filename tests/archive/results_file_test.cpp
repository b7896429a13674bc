#include "archive/results_file.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "record_builder.h"

#include "printf_text.h"

namespace velorix {
namespace {

namespace fs = std::filesystem;
using test::RecordFields;

const std::string kStars = "*****************************************************\n";
const std::string kXlsHeader = "Time\tDate\tNc\tSample\tTemp.,\xD1\tU,V\tF,Hz\t\tEx,Co\ttgDx\n";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

using test::Printf;

class ScriptedDialog : public SaveDialog {
 public:
  explicit ScriptedDialog(std::optional<std::string> answer) : answer_(std::move(answer)) {}
  std::optional<std::string> AskSavePath(const SaveRequest& request) override {
    asked.push_back(request);
    return answer_;
  }
  int ChosenFilter() const override { return filter; }
  std::vector<SaveRequest> asked;
  int filter = 0;  // the entry of the filter the operator left selected

 private:
  std::optional<std::string> answer_;
};

// A real file behind a sink that can be told to fail at a given write or at
// close, or to be interrupted there (as a signal would, between two chunks or
// just before the close), and that records every chunk it was handed.
class FaultySink : public ResultsSink {
 public:
  bool Open(const std::string& path) override {
    ++opens;
    return real.Open(path);
  }
  bool Write(std::string_view chunk) override {
    chunks.emplace_back(chunk);
    const bool here = static_cast<int>(chunks.size()) - 1 == failAtWrite;
    if (here && interrupt) interrupted = true;
    if (here && !interrupt) {
      injected = "No space left on device";
      return false;
    }
    return real.Write(chunk);
  }
  bool Close() override {
    if (failClose && interrupt) interrupted = true;
    if (failClose && !interrupt) {
      injected = "Input/output error";
      return false;
    }
    return real.Close();
  }
  void Abandon() override { real.Abandon(); }
  std::string Error() const override { return injected.empty() ? real.Error() : injected; }

  bool interrupted = false;
  FileResultsSink real{[this] { return interrupted; }};
  int failAtWrite = -1;
  bool failClose = false;
  bool interrupt = false;  // at the chosen place, interrupt instead of failing
  int opens = 0;
  std::vector<std::string> chunks;
  std::string injected;
};

std::unique_ptr<DownloadStore> WorkedExampleStore() {
  auto store = std::make_unique<DownloadStore>();
  RecordFields a;
  a.kind = KIND_SAMPLE;
  a.nc = 3;
  a.sample = 17;
  a.temp = 21;
  a.clock = {0x00, 0x05, 0x09, 0x00, 0x06, 0x12, 0x26};
  a.u = 2000.0f;
  a.f = 50.0f;
  a.exCo = 2.1834f;
  a.tgD = 0.0021f;
  RecordFields b;
  b.kind = KIND_EMPTY_CELL;
  b.nc = 2;
  b.sample = 0;
  b.temp = -60;
  b.clock = {0x59, 0x30, 0x14, 0x03, 0x07, 0x12, 0x26};
  b.u = 1000.0f;
  b.f = 50.0f;
  b.exCo = 65.4321f;
  b.tgD = 0.00012f;
  RecordFields c = a;  // slot N: downloaded but never written
  c.sample = 999;
  store->recordSlots[0].image = test::RecordImage(a);
  store->recordSlots[1].image = test::RecordImage(b);
  store->recordSlots[2].image = test::RecordImage(c);
  store->emptyCells.co[0] = 6.54321e-11f;
  store->emptyCells.tgDo[0] = 0.00012f;
  store->emptyCells.co[1] = 1.25e-11f;
  store->emptyCells.tgDo[1] = 0.001f;
  return store;
}

const std::string kWorkedXls =
    kXlsHeader +
    "09:05\t06.12.26\t3\t17\t21\t2000.0\t50.0\tEx\t2.1834\t0.00210\n"
    "14:30\t07.12.26\t2\t0\t\t1000.0\t50.0\tCo,pF\t65.4321\t0.00012\n"
    "\nNc\tCo,pF\ttgDo\n"
    "1\t65.4321\t0.00012\n"
    "2\t12.5000\t0.00100\n"
    "3\t0.0000\t0.00000\n"
    "4\t0.0000\t0.00000\n"
    "5\t0.0000\t0.00000\n"
    "6\t0.0000\t0.00000\n";

const std::string kWorkedDoc =
    kStars +
    "Time of test:  9:05 06/12/26\n"
    "Measuring ceil N3\n"
    "Sample number 17\n"
    "Temperature 21 deg C.\n"
    "U=2000.0 V  F=50.0 Hz\n"
    "Ex=2.18340  tgDx=0.00210 \n" +
    kStars +
    "Time of test: 14:30 07/12/26\n"
    "Measuring ceil N2\n"
    "Sample number 0\n"
    "Temperature sensor is not available\n"
    "U=1000.0 V  F=50.0 Hz\n"
    "Co=65.4321 pF tgDo=0.00012 \n" +
    kStars +
    "Capacitance and dissipation factor of free ceils:\n"
    "Ceil N1 Co=65.4321 tgDo=0.00012\n"
    "Ceil N2 Co=12.5000 tgDo=0.00100\n"
    "Ceil N3 Co=0.0000 tgDo=0.00000\n"
    "Ceil N4 Co=0.0000 tgDo=0.00000\n"
    "Ceil N5 Co=0.0000 tgDo=0.00000\n"
    "Ceil N6 Co=0.0000 tgDo=0.00000\n" +
    kStars;

class ResultsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "results-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir, ignored);
  }
  std::vector<std::string> DirEntries(const fs::path& where) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(where)) names.push_back(e.path().filename().string());
    return names;
  }
  WriteOutcome Write(const DownloadStore& store, int n, int exportExcel, const fs::path& path, int filter = 0,
                     std::time_t now = std::time(nullptr)) {
    ScriptedDialog dialog(path.string());
    dialog.filter = filter;
    return WriteResultsFile(store, n, exportExcel, dialog, now);
  }

  fs::path dir;
};

TEST_F(ResultsFile, WorkedExampleByteForByte) {
  const auto store = WorkedExampleStore();
  const struct {
    int exportExcel;
    const char* name;
    const std::string& expected;
  } cases[] = {{1, "a.xls", kWorkedXls}, {0, "a.doc", kWorkedDoc}, {2, "typed.doc", kWorkedXls}};
  for (const auto& c : cases) {
    const WriteOutcome outcome = Write(*store, 2, c.exportExcel, dir / c.name);
    ASSERT_EQ(outcome.kind, WriteOutcome::Written) << outcome.error;
    EXPECT_EQ(outcome.path, (dir / c.name).string());
    EXPECT_EQ(ReadAll(dir / c.name), c.expected) << c.name;
  }
  EXPECT_EQ(kXlsHeader.size(), 49u);
}

TEST_F(ResultsFile, OneWriteCallPerChunk) {
  // Spreadsheet: header, 7 chunks per record, the table header, 3 per cell.
  // Report: 8 per record, the separator and the title, 3 per cell, the separator.
  const auto store = WorkedExampleStore();
  const struct {
    int exportExcel;
    std::size_t chunks;
    const std::string& expected;
  } cases[] = {{1, 1 + 2 * 7 + 1 + 18, kWorkedXls}, {0, 2 * 8 + 2 + 18 + 1, kWorkedDoc}};
  for (const auto& c : cases) {
    FaultySink sink;
    ScriptedDialog dialog((dir / "chunks").string());
    ASSERT_EQ(WriteResultsFile(*store, 2, c.exportExcel, dialog, 0, sink).kind, WriteOutcome::Written);
    EXPECT_EQ(sink.chunks.size(), c.chunks);
    std::string joined;
    for (const auto& chunk : sink.chunks) joined += chunk;
    EXPECT_EQ(joined, c.expected);
    EXPECT_EQ(sink.chunks[1], c.exportExcel ? "09:05\t06.12.26\t" : "Time of test:  9:05 06/12/26\n");
  }
}

// The chunks reach the disk in one pass at Close: on a network share each
// write is a round trip.
TEST_F(ResultsFile, ChunksReachTheDiskInOnePassAtClose) {
  FileResultsSink sink;
  ASSERT_TRUE(sink.Open((dir / "one.xls").string()));
  ASSERT_TRUE(sink.Write("a\t") && sink.Write("b\n"));
  for (const std::string& name : DirEntries(dir)) EXPECT_EQ(fs::file_size(dir / name), 0u) << name;
}

TEST_F(ResultsFile, OnlyResultKindsAreWritten) {
  auto store = std::make_unique<DownloadStore>();
  const std::uint8_t kinds[] = {0x80, 0x02, 0x00, 0xFF};
  for (int i = 0; i < 4; ++i) {
    RecordFields f;
    f.kind = kinds[i];
    store->recordSlots[static_cast<std::size_t>(i)].image = test::RecordImage(f);
  }
  const std::string cellsXls = "1\t0.0000\t0.00000\n2\t0.0000\t0.00000\n3\t0.0000\t0.00000\n"
                               "4\t0.0000\t0.00000\n5\t0.0000\t0.00000\n6\t0.0000\t0.00000\n";
  std::string cellsDoc;
  for (int i = 1; i <= 6; ++i) cellsDoc += "Ceil N" + std::to_string(i) + " Co=0.0000 tgDo=0.00000\n";
  EXPECT_EQ(Write(*store, 4, 1, dir / "s.xls").kind, WriteOutcome::Written);
  EXPECT_EQ(ReadAll(dir / "s.xls"), kXlsHeader + "\nNc\tCo,pF\ttgDo\n" + cellsXls);
  EXPECT_EQ(Write(*store, 4, 0, dir / "s.doc").kind, WriteOutcome::Written);
  EXPECT_EQ(ReadAll(dir / "s.doc"),
            kStars + "Capacitance and dissipation factor of free ceils:\n" + cellsDoc + kStars);
}

TEST_F(ResultsFile, RecordFieldVariants) {
  RecordFields base;
  base.kind = KIND_SAMPLE;
  base.nc = 1;
  base.sample = 5;
  base.temp = 20;
  base.clock = {0x00, 0x15, 0x10, 0x01, 0x01, 0x02, 0x03};
  base.u = 100.0f;
  base.f = 60.0f;
  base.exCo = 1.5f;
  base.tgD = 0.25f;
  const struct {
    const char* what;
    void (*change)(RecordFields&);
    std::string xlsLine;
    std::string docBlock;  // the block's lines after the separator line
  } cases[] = {
      {"temp -50 is no sensor", [](RecordFields& r) { r.temp = -50; },
       "10:15\t01.02.03\t1\t5\t\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test: 10:15 01/02/03\nMeasuring ceil N1\nSample number 5\n"
       "Temperature sensor is not available\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
      {"temp -128 is no sensor", [](RecordFields& r) { r.temp = -128; },
       "10:15\t01.02.03\t1\t5\t\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test: 10:15 01/02/03\nMeasuring ceil N1\nSample number 5\n"
       "Temperature sensor is not available\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
      {"temp -49 is printed", [](RecordFields& r) { r.temp = -49; },
       "10:15\t01.02.03\t1\t5\t-49\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test: 10:15 01/02/03\nMeasuring ceil N1\nSample number 5\n"
       "Temperature -49 deg C.\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
      {"temp 127", [](RecordFields& r) { r.temp = 127; },
       "10:15\t01.02.03\t1\t5\t127\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test: 10:15 01/02/03\nMeasuring ceil N1\nSample number 5\n"
       "Temperature 127 deg C.\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
      {"hour 0x09 and an invalid BCD byte 0x1A",
       [](RecordFields& r) {
         r.clock[2] = 0x09;
         r.clock[1] = 0x1A;
         r.clock[6] = 0xFF;
       },
       "09:1a\t01.02.ff\t1\t5\t20\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test:  9:1a 01/02/ff\nMeasuring ceil N1\nSample number 5\n"
       "Temperature 20 deg C.\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
      {"hour 0x1A is padded by neither", [](RecordFields& r) { r.clock[2] = 0x1A; },
       "1a:15\t01.02.03\t1\t5\t20\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test: 1a:15 01/02/03\nMeasuring ceil N1\nSample number 5\n"
       "Temperature 20 deg C.\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
      {"sample 65535 and nc 200 unsigned",
       [](RecordFields& r) {
         r.sample = 65535;
         r.nc = 200;
       },
       "10:15\t01.02.03\t200\t65535\t20\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test: 10:15 01/02/03\nMeasuring ceil N200\nSample number 65535\n"
       "Temperature 20 deg C.\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
      {"empty-cell Co is printed unscaled",
       [](RecordFields& r) {
         r.kind = KIND_EMPTY_CELL;
         r.exCo = 65.4321f;
       },
       "10:15\t01.02.03\t1\t5\t20\t100.0\t60.0\tCo,pF\t65.4321\t0.25000\n",
       "Time of test: 10:15 01/02/03\nMeasuring ceil N1\nSample number 5\n"
       "Temperature 20 deg C.\nU=100.0 V  F=60.0 Hz\nCo=65.4321 pF tgDo=0.25000 \n"},
      {"a carriage-return byte in the data stays hex or decimal",
       [](RecordFields& r) {
         r.nc = 0x0D;
         r.clock[4] = 0x0D;
       },
       "10:15\t0d.02.03\t13\t5\t20\t100.0\t60.0\tEx\t1.5000\t0.25000\n",
       "Time of test: 10:15 0d/02/03\nMeasuring ceil N13\nSample number 5\n"
       "Temperature 20 deg C.\nU=100.0 V  F=60.0 Hz\nEx=1.50000  tgDx=0.25000 \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RecordFields r = base;
    c.change(r);
    DownloadStore store;
    store.recordSlots[0].image = test::RecordImage(r);
    ASSERT_EQ(Write(store, 1, 1, dir / "v.xls").kind, WriteOutcome::Written);
    ASSERT_EQ(Write(store, 1, 0, dir / "v.doc").kind, WriteOutcome::Written);
    const std::string xls = ReadAll(dir / "v.xls");
    const std::string doc = ReadAll(dir / "v.doc");
    EXPECT_EQ(xls.substr(kXlsHeader.size(), c.xlsLine.size()), c.xlsLine);
    EXPECT_EQ(doc.substr(kStars.size(), c.docBlock.size()), c.docBlock);
    EXPECT_EQ(xls.find('\r'), std::string::npos);
    EXPECT_EQ(doc.find('\r'), std::string::npos);
  }
}

TEST_F(ResultsFile, HugeAndOddFloatsAreWrittenInFull) {
  DownloadStore store;
  RecordFields r;
  r.kind = KIND_SAMPLE;
  r.clock = {0, 0x00, 0x12, 0, 0x01, 0x01, 0x01};
  r.temp = 0;
  r.u = FLT_MAX;
  r.f = -std::numeric_limits<float>::infinity();
  r.exCo = -FLT_MAX;
  r.tgD = std::numeric_limits<float>::quiet_NaN();
  store.recordSlots[0].image = test::RecordImage(r);
  r.kind = KIND_EMPTY_CELL;
  r.u = std::numeric_limits<float>::denorm_min();
  r.f = -0.0f;
  r.exCo = FLT_MAX;
  r.tgD = -std::numeric_limits<float>::quiet_NaN();
  store.recordSlots[1].image = test::RecordImage(r);
  store.emptyCells.co[0] = FLT_MAX;
  store.emptyCells.tgDo[0] = -FLT_MAX;
  store.emptyCells.co[1] = std::numeric_limits<float>::infinity();

  const double fmax = FLT_MAX;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double dmin = std::numeric_limits<float>::denorm_min();
  const std::string xls = kXlsHeader + "12:00\t01.01.01\t1\t0\t0\t" + Printf("%.1f\t%.1f\t", fmax, -INFINITY) +
                          "Ex\t" + Printf("%#.4f\t", -fmax) + Printf("%#.5f\n", nan) + "12:00\t01.01.01\t1\t0\t0\t" +
                          Printf("%.1f\t%.1f\t", dmin, -0.0) + "Co,pF\t" + Printf("%#.4f\t", fmax) +
                          Printf("%#.5f\n", -nan) + "\nNc\tCo,pF\ttgDo\n" + "1\t" + Printf("%#.4f\t", fmax * 1e12) +
                          Printf("%#.5f\n", -fmax) + "2\tinf\t0.00000\n" + "3\t0.0000\t0.00000\n" +
                          "4\t0.0000\t0.00000\n5\t0.0000\t0.00000\n6\t0.0000\t0.00000\n";
  ASSERT_EQ(Write(store, 2, 1, dir / "h.xls").kind, WriteOutcome::Written);
  EXPECT_EQ(ReadAll(dir / "h.xls"), xls);
  EXPECT_GT(xls.size(), 400u);  // FLT_MAX alone has 39 digits, times 1e12 has 51
  EXPECT_NE(xls.find("-nan\n"), std::string::npos);

  ASSERT_EQ(Write(store, 2, 0, dir / "h.doc").kind, WriteOutcome::Written);
  const std::string doc = ReadAll(dir / "h.doc");
  EXPECT_NE(doc.find("U=" + Printf("%.1f", fmax) + " V  F=-inf Hz\n"), std::string::npos);
  EXPECT_NE(doc.find("Ex=" + Printf("%#.5f", -fmax) + "  tgDx=nan \n"), std::string::npos);
  EXPECT_NE(doc.find("Co=" + Printf("%#.4f", fmax) + " pF tgDo=-nan \n"), std::string::npos);
  EXPECT_NE(doc.find("Ceil N1 Co=" + Printf("%#.4f", fmax * 1e12) + " tgDo=" + Printf("%#.5f", -fmax) + "\n"),
            std::string::npos);
  EXPECT_NE(doc.find("Ceil N2 Co=inf tgDo=0.00000\n"), std::string::npos);
}

TEST_F(ResultsFile, FullArchiveHasOnlyLineFeeds) {
  auto store = std::make_unique<DownloadStore>();
  for (int i = 0; i < RECORD_SLOT_COUNT; ++i) {
    auto& image = store->recordSlots[static_cast<std::size_t>(i)].image;
    for (int k = 0; k < 32; ++k) image[k] = static_cast<std::uint8_t>(i * 31 + k * 7 + 0x0D);
    image[4] = i % 3 == 0 ? KIND_SAMPLE : (i % 3 == 1 ? KIND_EMPTY_CELL : 0x0D);
  }
  for (int exportExcel : {1, 0}) {
    const fs::path path = dir / (exportExcel ? "full.xls" : "full.doc");
    ASSERT_EQ(Write(*store, 2000, exportExcel, path).kind, WriteOutcome::Written);
    const std::string text = ReadAll(path);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
    const auto lines = std::count(text.begin(), text.end(), '\n');
    // 1334 of the 2000 slots hold results.
    EXPECT_EQ(lines, exportExcel ? 1 + 1334 + 2 + 6 : 1334 * 7 + 2 + 6 + 1);
  }
}

// A store that ends right where an inaccessible page begins: reading one
// record past it faults.
class GuardedStore {
 public:
  GuardedStore() {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t pages = (sizeof(DownloadStore) + page - 1) / page;
    size_ = (pages + 1) * page;
    base_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
    ::mprotect(static_cast<char*>(base_) + pages * page, page, PROT_NONE);
    store_ = new (static_cast<char*>(base_) + pages * page - sizeof(DownloadStore)) DownloadStore();
  }
  ~GuardedStore() { ::munmap(base_, size_); }
  DownloadStore& operator*() { return *store_; }

 private:
  void* base_;
  std::size_t size_;
  DownloadStore* store_;
};

TEST_F(ResultsFile, CountBeyondTheStoreReadsNothingPastIt) {
  GuardedStore store;
  for (auto& slot : (*store).recordSlots) slot.image[4] = KIND_SAMPLE;
  for (int count : {RECORD_SLOT_COUNT, RECORD_SLOT_COUNT + 2, 100000}) {
    ASSERT_EQ(Write(*store, count, 1, dir / "all.xls").kind, WriteOutcome::Written);
    const std::string all = ReadAll(dir / "all.xls");
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1 + RECORD_SLOT_COUNT + 2 + 6) << count;
  }
  ASSERT_EQ(Write(*store, -5, 0, dir / "none.doc").kind, WriteOutcome::Written);
  const std::string none = ReadAll(dir / "none.doc");
  EXPECT_EQ(std::count(none.begin(), none.end(), '\n'), 1 + 1 + 6 + 1);
}

TEST_F(ResultsFile, ExistingLongerFileIsReplacedEntirely) {
  const fs::path path = dir / "old.xls";
  std::ofstream(path, std::ios::binary) << std::string(100000, 'X');
  const auto store = WorkedExampleStore();
  ASSERT_EQ(Write(*store, 2, 1, path).kind, WriteOutcome::Written);
  EXPECT_EQ(ReadAll(path), kWorkedXls);
}

// A dangling link names the file to make: it is made, and the link stays.
TEST_F(ResultsFile, DanglingLinkNamesTheNewFile) {
  const fs::path link = dir / "link.xls";
  fs::create_symlink("made.xls", link);
  EXPECT_EQ(CheckOutputTarget(link.string()), "");
  ASSERT_EQ(Write(*WorkedExampleStore(), 2, 1, link).kind, WriteOutcome::Written);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadAll(dir / "made.xls"), kWorkedXls);
}

TEST_F(ResultsFile, NewFileTakesModeFromUmask) {
  const mode_t saved = ::umask(027);
  const auto store = WorkedExampleStore();
  const WriteOutcome outcome = Write(*store, 2, 0, dir / "mode.doc");
  ::umask(saved);
  ASSERT_EQ(outcome.kind, WriteOutcome::Written);
  struct stat info {};
  ASSERT_EQ(::stat((dir / "mode.doc").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// The check made before anything is opened gives the same reason.
TEST_F(ResultsFile, UnwritablePlacesFailAndLeaveNothing) {
  std::ofstream(dir / "plain.txt") << "keep";
  fs::create_directory(dir / "sub");
  fs::create_symlink("loop.xls", dir / "loop.xls");
  std::ofstream(dir / "locked.xls") << "keep";
  const int lock = ::open((dir / "locked.xls").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);  // as another program holds it
  const auto store = WorkedExampleStore();
  const struct {
    fs::path path;
    const char* error;
  } cases[] = {
      {dir / "missing" / "r.xls", "No such file or directory"},
      {dir / "plain.txt" / "r.xls", "Not a directory"},
      {dir / "sub", "Is a directory"},
      {dir / "loop.xls", "Too many levels of symbolic links"},
      {dir / "locked.xls", FILE_IN_USE_TEXT},
      {"", "No such file or directory"},
  };
  for (const auto& c : cases) {
    const WriteOutcome outcome = Write(*store, 2, 1, c.path);
    EXPECT_EQ(outcome.kind, WriteOutcome::Failed) << c.path;
    EXPECT_EQ(outcome.error, c.error) << c.path;
    EXPECT_EQ(outcome.path, c.path.string());
    EXPECT_EQ(CheckOutputTarget(c.path.string()), c.error) << c.path;
  }
  ::close(lock);
  EXPECT_EQ(DirEntries(dir).size(), 4u);
  EXPECT_EQ(ReadAll(dir / "plain.txt"), "keep");
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
}

TEST_F(ResultsFile, ReadOnlyFolderFailsAndLeavesNothing) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  const fs::path folder = dir / "ro";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  const auto store = WorkedExampleStore();
  const WriteOutcome outcome = Write(*store, 2, 0, folder / "r.doc");
  fs::permissions(folder, fs::perms::owner_all);
  EXPECT_EQ(outcome.kind, WriteOutcome::Failed);
  EXPECT_EQ(outcome.error, "Permission denied");
  EXPECT_TRUE(fs::is_empty(folder));
}

// A write that fails or is interrupted after some chunks leaves no file at
// all, or the older file byte for byte, and never a temporary file.
TEST_F(ResultsFile, FailureAfterSomeChunksLeavesTheOlderFileOrNone) {
  const auto store = WorkedExampleStore();
  const struct {
    int exportExcel;
    int failAtWrite;  // -1: the writes succeed and close fails
    bool existing;
    bool interrupt;   // interrupted there instead of failing
  } cases[] = {{1, 0, false, false},  {1, 1, false, false}, {1, 9, false, false}, {1, 33, false, false},
               {1, -1, false, false}, {0, 0, false, false}, {0, 20, false, false}, {0, 36, false, false},
               {0, -1, false, false}, {1, 5, true, false},  {0, 0, true, false},  {0, -1, true, false},
               {0, 20, true, true},   {1, -1, true, true}};
  const std::string older = "an older results file";
  for (const auto& c : cases) {
    SCOPED_TRACE("format " + std::to_string(c.exportExcel) + (c.interrupt ? " interrupted at " : " fail at ") +
                 std::to_string(c.failAtWrite) + (c.existing ? " over an existing file" : ""));
    const fs::path path = dir / "partial";
    if (c.existing) std::ofstream(path) << older;
    FaultySink sink;
    sink.failAtWrite = c.failAtWrite;
    sink.failClose = c.failAtWrite < 0;
    sink.interrupt = c.interrupt;
    ScriptedDialog dialog(path.string());
    const WriteOutcome outcome = WriteResultsFile(*store, 2, c.exportExcel, dialog, 0, sink);
    EXPECT_EQ(outcome.kind, WriteOutcome::Failed);
    EXPECT_EQ(outcome.error, c.interrupt              ? INTERRUPTED_TEXT
                             : c.failAtWrite < 0 ? "Input/output error"
                                                 : "No space left on device");
    if (c.failAtWrite >= 0) {
      EXPECT_EQ(sink.chunks.size(), static_cast<std::size_t>(c.failAtWrite) + 1);
    }
    if (c.existing) {
      EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"partial"});
      EXPECT_EQ(ReadAll(path), older);
      fs::remove(path);
    }
    EXPECT_TRUE(fs::is_empty(dir));
  }
}

// Only a regular file takes results. A named pipe nobody reads would block
// the writer for ever in open() (the alarm ends the test if it does); a
// device is not a file to replace.
TEST_F(ResultsFile, TargetsThatAreNoFilesAreRefusedUntouchedWithoutBlocking) {
  const fs::path pipe = dir / "pipe.xls";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0666), 0);
  // A private node of the full device, so that a writer that wrongly removes
  // or replaces what it was given can only hit this copy, never the system's.
  const fs::path device = dir / "full";
  const bool haveDevice = ::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 7)) == 0;
  const auto store = WorkedExampleStore();
  ::alarm(10);
  const WriteOutcome toPipe = Write(*store, 2, 1, pipe);
  ::alarm(0);
  EXPECT_EQ(toPipe.kind, WriteOutcome::Failed);
  EXPECT_EQ(toPipe.error, "Not a regular file (a named pipe)");
  EXPECT_EQ(CheckOutputTarget(pipe.string()), toPipe.error);
  EXPECT_TRUE(fs::is_fifo(pipe));
  if (haveDevice) {
    const WriteOutcome toDevice = Write(*store, 2, 1, device);
    EXPECT_EQ(toDevice.kind, WriteOutcome::Failed);
    EXPECT_EQ(toDevice.error, "Not a regular file (a character device)");
    EXPECT_EQ(CheckOutputTarget(device.string()), toDevice.error);
    EXPECT_TRUE(fs::is_character_file(device));
  }
  EXPECT_EQ(DirEntries(dir).size(), haveDevice ? 2u : 1u);
}

TEST_F(ResultsFile, FileHeldByAnotherWriterIsRefusedUntouched) {
  const fs::path path = dir / "held.xls";
  std::ofstream(path) << "someone else's data";
  const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  const auto store = WorkedExampleStore();
  const WriteOutcome outcome = Write(*store, 2, 1, path);
  ::close(other);
  EXPECT_EQ(outcome.kind, WriteOutcome::Failed);
  EXPECT_EQ(outcome.error, FILE_IN_USE_TEXT);
  EXPECT_EQ(ReadAll(path), "someone else's data");
  // Released, the same file can be written.
  EXPECT_EQ(Write(*store, 2, 1, path).kind, WriteOutcome::Written);
}

TEST_F(ResultsFile, CancelCreatesNothing) {
  const auto store = WorkedExampleStore();
  for (int exportExcel : {1, 0}) {
    FaultySink sink;
    ScriptedDialog dialog(std::nullopt);
    const WriteOutcome outcome = WriteResultsFile(*store, 2, exportExcel, dialog, 0, sink);
    EXPECT_EQ(outcome.kind, WriteOutcome::Cancelled);
    EXPECT_EQ(sink.opens, 0);
    EXPECT_TRUE(sink.chunks.empty());
    ASSERT_EQ(dialog.asked.size(), 1u);
    EXPECT_EQ(dialog.asked[0].defaultExtension, exportExcel ? "xls" : "doc");
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

// The workbook filter, or an .xlsx name in any case under another, makes the
// spreadsheet a workbook; the report stays a report.
TEST_F(ResultsFile, TheWorkbookFilterOrAnXlsxNameWritesTheWorkbook) {
  const auto store = WorkedExampleStore();
  const std::string xls = "Time", doc = "****", xlsx = "PK\x03\x04";  // how each file starts
  const struct {
    const char* what;
    int exportExcel, filter;
    const char* name;
    const std::string& start;
  } cases[] = {
      {"the workbook filter, whatever the name", 1, 1, "typed.xls", xlsx},
      {"an .xlsx name under the .xls filter", 1, 0, "typed.xlsx", xlsx},
      {"an .XLSX name under all files", 1, 2, "TYPED.XLSX", xlsx},
      {"another name under all files", 1, 2, "typed.txt", xls},
      {"a name that only ends in xlsx", 1, 0, "typedxlsx", xls},
      {"the report, whatever the name", 0, 1, "typed.doc.xlsx", doc},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Write(*store, 2, c.exportExcel, dir / c.name, c.filter).kind, WriteOutcome::Written) << c.what;
    EXPECT_EQ(ReadAll(dir / c.name).substr(0, 4), c.start) << c.what;
  }
}

// Restores the C and C++ global locales on leaving.
class LocaleGuard {
 public:
  LocaleGuard() : c_(std::setlocale(LC_ALL, nullptr)), cpp_() {}
  ~LocaleGuard() {
    std::locale::global(cpp_);
    std::setlocale(LC_ALL, c_.c_str());
  }

 private:
  std::string c_;
  std::locale cpp_;
};

TEST_F(ResultsFile, DecimalCommaProcessLocaleChangesNothing) {
  LocaleGuard guard;
  const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8",
                              "ru_RU.UTF-8", "ru_RU.utf8", "nl_NL.UTF-8",  "it_IT.UTF-8", "es_ES.UTF-8"};
  // The workbook in the "C" locale, for comparison: the same inputs and
  // creation time give the same bytes.
  const auto store = WorkedExampleStore();
  const std::time_t created = 1765000000;
  ASSERT_EQ(Write(*store, 2, 1, dir / "c.xlsx", 1, created).kind, WriteOutcome::Written);
  const char* found = nullptr;
  for (const char* name : candidates) {
    if (std::setlocale(LC_ALL, name) != nullptr && std::localeconv()->decimal_point[0] == ',') {
      found = name;
      break;
    }
  }
  if (found == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  ASSERT_EQ(Printf("%.1f", 1.5), "1,5");  // the locale is really in force
  ASSERT_EQ(Write(*store, 2, 1, dir / "l.xls").kind, WriteOutcome::Written);
  ASSERT_EQ(Write(*store, 2, 0, dir / "l.doc").kind, WriteOutcome::Written);
  ASSERT_EQ(Write(*store, 2, 1, dir / "l.xlsx", 1, created).kind, WriteOutcome::Written);
  EXPECT_EQ(ReadAll(dir / "l.xls"), kWorkedXls) << found;
  EXPECT_EQ(ReadAll(dir / "l.doc"), kWorkedDoc) << found;
  // Numbers in the workbook's XML keep their full stop (a comma there would
  // be no number at all for a reader).
  EXPECT_TRUE(ReadAll(dir / "l.xlsx") == ReadAll(dir / "c.xlsx")) << "the workbook differs under " << found;
  EXPECT_EQ(FormatReportValue(2.5), "2.50000 ");
}

struct CommaPunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '\''; }
  std::string do_grouping() const override { return "\3"; }
};

TEST_F(ResultsFile, DecimalCommaGlobalCppLocaleChangesNothing) {
  LocaleGuard guard;
  std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
  std::ostringstream probe;
  probe << 1234.5;
  ASSERT_EQ(probe.str(), "1'234,5");  // the facet is really in force
  const auto store = WorkedExampleStore();
  ASSERT_EQ(Write(*store, 2, 1, dir / "p.xls").kind, WriteOutcome::Written);
  ASSERT_EQ(Write(*store, 2, 0, dir / "p.doc").kind, WriteOutcome::Written);
  EXPECT_EQ(ReadAll(dir / "p.xls"), kWorkedXls);
  EXPECT_EQ(ReadAll(dir / "p.doc"), kWorkedDoc);
}

std::time_t LocalNoon(int year, int month, int day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TEST(ResultsName, ProposalFromTheLocalDate) {
  const struct {
    std::time_t when;
    int exportExcel;
    const char* name;
  } cases[] = {
      {LocalNoon(2026, 12, 6), 1, "results06_12_26.xls"}, {LocalNoon(2026, 12, 6), 0, "results06_12_26.doc"},
      {LocalNoon(2009, 1, 31), 1, "results31_01_09.xls"}, {LocalNoon(2000, 2, 29), 7, "results29_02_00.xls"},
      {LocalNoon(1999, 10, 1), 0, "results01_10_99.doc"},
      // Too far out for a broken-down local time: no proposal.
      {std::numeric_limits<std::time_t>::max(), 1, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ProposeResultsName(c.exportExcel, c.when), c.name);
}

TEST(ResultsName, DialogTexts) {
  const std::time_t when = LocalNoon(2026, 12, 6);
  const SaveRequest xls = MakeSaveRequest(1, when);
  EXPECT_EQ(xls.proposedName, "results06_12_26.xls");
  // The .xls stays the default; the workbook is the second type offered.
  EXPECT_EQ(xls.filter, "Results Files (*.xls)|*.xls|Excel Workbook (*.xlsx)|*.xlsx| All Files (*.*)|*.*||");
  EXPECT_EQ(xls.defaultExtension, "xls");
  const SaveRequest doc = MakeSaveRequest(0, when);
  EXPECT_EQ(doc.proposedName, "results06_12_26.doc");
  EXPECT_EQ(doc.filter, "Results Files (*.doc)|*.doc| All Files (*.*)|*.*||");
  EXPECT_EQ(doc.defaultExtension, "doc");
}

TEST(ResultsName, ReportValueText) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {double{2.1834f}, "2.18340 "},
      {double{0.00012f}, "0.00012 "},
      {-0.0, "-0.00000 "},
      {1e20, "100000000000000000000.00000 "},
      {std::numeric_limits<double>::infinity(), "inf "},
      {-std::numeric_limits<double>::quiet_NaN(), "-nan "},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatReportValue(c.value), c.text);
}

}  // namespace
}  // namespace velorix
