// Measures how long the results workbook takes to make: from the records of
// a download (100 or 2000) up to a history export of decades of tests. The
// records are the simulated instrument's, repeated as often as needed, with
// their clock moved on test by test so the dates run over the years as a
// long history's do.
//   velorix-workbook-bench [COUNT...]      (default: 100 2000 100000)

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "archive/archive_record.h"
#include "archive/xlsx_workbook.h"
#include "sim/archive_model.h"

namespace {

// The processor time this process has used, for a figure that a busy machine
// does not inflate as it does the wall time.
double ProcessorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::uint8_t Bcd(int value) { return static_cast<std::uint8_t>((value / 10) * 16 + value % 10); }

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysIn(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

// Ten tests a day, every day, from 1 January 1995 on: 100,000 records are
// 27 years of them.
void SetClock(velorix::ArchiveRecord& record, long test) {
  int year = 1995, month = 1, day = 1 + static_cast<int>(test / 10);
  while (day > DaysIn(year, month)) {
    day -= DaysIn(year, month);
    if (++month > 12) month = 1, ++year;
  }
  record.image[8] = Bcd(static_cast<int>(test * 7 % 60));
  record.image[9] = Bcd(8 + static_cast<int>(test % 10));
  record.image[11] = Bcd(day);
  record.image[12] = Bcd(month);
  record.image[13] = Bcd(year % 100);
}

std::vector<velorix::ArchiveRecord> Records(long count, velorix::EmptyCellTable& table) {
  const velorix::sim::SimArchive archive = velorix::sim::GenerateArchive(velorix::sim::DEFAULT_ARCHIVE_NUMBER);
  std::vector<velorix::ArchiveRecord> records(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i) {
    records[static_cast<std::size_t>(i)].image = velorix::sim::RecordAt(archive, static_cast<int>(i % velorix::sim::RING_SLOTS));
    SetClock(records[static_cast<std::size_t>(i)], i);
  }
  for (int cell = 0; cell < velorix::EMPTY_CELL_COUNT; ++cell) {
    table.co[cell] = archive.co[static_cast<std::size_t>(cell)];
    table.tgDo[cell] = archive.tgDo[static_cast<std::size_t>(cell)];
  }
  return records;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atol(argv[i]));
  if (counts.empty()) counts = {100, 2000, 100000};

  std::printf("%-8s %-10s %-10s %-12s %s\n", "records", "best s", "worst s", "processor s", "bytes");
  for (long count : counts) {
    velorix::EmptyCellTable table{};
    const std::vector<velorix::ArchiveRecord> records = Records(count, table);
    const velorix::ResultsSource source{records, table};
    // Several rounds for the small counts, where one is too short to time well.
    const int rounds = count <= 2000 ? 5 : 3;
    double best = 1e9, worst = 0, processor = 1e9;
    std::size_t bytes = 0;
    for (int round = 0; round < rounds; ++round) {
      const double processorStarted = ProcessorSeconds();
      const auto started = std::chrono::steady_clock::now();
      const velorix::WorkbookBytes book = velorix::MakeResultsWorkbook(source, 1765000000);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
      processor = std::min(processor, ProcessorSeconds() - processorStarted);
      if (!book.ok()) {
        std::fprintf(stderr, "%s\n", book.error.c_str());
        return 1;
      }
      best = std::min(best, took.count());
      worst = std::max(worst, took.count());
      bytes = book.bytes.size();
    }
    std::printf("%-8ld %-10.3f %-10.3f %-12.3f %zu\n", count, best, worst, processor, bytes);
  }
  return 0;
}
