// Measures how long the results workbook takes to make: from the records of
// a download (100 or 2000) up to a history export of decades of tests
// (bench/long_history.h).
//   velorix-workbook-bench [COUNT...]      (default: 100 2000 100000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "archive/archive_record.h"
#include "archive/xlsx_workbook.h"
#include "bench/long_history.h"

int main(int argc, char** argv) {
  std::vector<long> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atol(argv[i]));
  if (counts.empty()) counts = {100, 2000, 100000};

  std::printf("%-8s %-10s %-10s %-12s %s\n", "records", "best s", "worst s", "processor s", "bytes");
  for (long count : counts) {
    velorix::EmptyCellTable table{};
    const std::vector<velorix::ArchiveRecord> records = velorix::bench::LongHistory(count, table);
    const velorix::ResultsSource source{records, table};
    // Several rounds for the small counts, where one is too short to time well.
    const int rounds = count <= 2000 ? 5 : 3;
    double best = 1e9, worst = 0, processor = 1e9;
    std::size_t bytes = 0;
    for (int round = 0; round < rounds; ++round) {
      const double processorStarted = velorix::bench::ProcessorSeconds();
      const auto started = std::chrono::steady_clock::now();
      const velorix::WorkbookBytes book = velorix::MakeResultsWorkbook(source, 1765000000);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
      processor = std::min(processor, velorix::bench::ProcessorSeconds() - processorStarted);
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
