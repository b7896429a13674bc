// Measures the history: how long a download of 2000 records takes to store
// (all of them new, and all of them known already), and then fills FILE with
// COUNT records of a long history (bench/long_history.h), in downloads of
// 2000, for scripts/bench to time the program's export from it (a little more
// than COUNT: whole downloads).
//   velorix-history-bench FILE [COUNT]      (default COUNT: 100000)

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/long_history.h"
#include "history/history.h"

namespace {

using velorix::ArchiveRecord;
using velorix::History;

constexpr int kDownload = 2000;

// Stores records [first, first+2000) as one download; its wall time in
// seconds. `kept` grows by the records it added.
double Store(History& history, const std::vector<ArchiveRecord>& records, std::size_t first,
             const velorix::EmptyCellTable& table, long* kept = nullptr) {
  std::array<std::uint8_t, velorix::EMPTY_CELL_TABLE_BYTES> tableBytes{};
  std::memcpy(tableBytes.data(), &table, tableBytes.size());
  velorix::DownloadFacts facts;
  facts.finished = 1765000000;
  facts.port = "COM2";
  facts.kind = "bench";
  facts.pointer = 0;
  facts.firstIndex = 0;
  facts.slotsRead = {records.data() + first, static_cast<std::size_t>(kDownload)};
  facts.emptyCellBytes = tableBytes;
  std::string problem;
  const auto started = std::chrono::steady_clock::now();
  const std::optional<velorix::StoredDownload> stored = history.Add(facts, problem);
  if (!stored) {
    std::fprintf(stderr, "velorix-history-bench: %s\n", problem.c_str());
    std::exit(1);
  }
  if (kept) *kept += stored->fresh;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::unique_ptr<History> OpenHistory(const std::string& path) {
  std::string problem;
  std::unique_ptr<History> history = History::Open(path, History::Access::ReadWrite, problem);
  if (!history) {
    std::fprintf(stderr, "velorix-history-bench: %s: %s\n", path.c_str(), problem.c_str());
    std::exit(1);
  }
  return history;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velorix-history-bench FILE [COUNT]\n");
    return 2;
  }
  const std::string path = argv[1];
  const long count = argc > 2 ? std::atol(argv[2]) : 100000;
  velorix::EmptyCellTable table{};
  // A tenth of the slots hold no result and are not kept: enough slots for
  // COUNT records.
  const std::vector<ArchiveRecord> records =
      velorix::bench::LongHistory(std::max<long>(count + count / 4, 5 * kDownload), table);

  // Five rounds, each into a history of its own beside FILE.
  double fresh = 1e9, known = 1e9;
  for (int round = 0; round < 5; ++round) {
    const std::string scratch = path + ".round";
    ::unlink(scratch.c_str());
    std::unique_ptr<History> history = OpenHistory(scratch);
    fresh = std::min(fresh, Store(*history, records, static_cast<std::size_t>(round) * kDownload, table));
    known = std::min(known, Store(*history, records, static_cast<std::size_t>(round) * kDownload, table));
    history.reset();
    ::unlink(scratch.c_str());
  }
  std::printf("storing a download of %d records: %.4f s all new, %.4f s all known (best of 5)\n", kDownload, fresh,
              known);

  ::unlink(path.c_str());
  std::unique_ptr<History> history = OpenHistory(path);
  long kept = 0;
  for (std::size_t first = 0; kept < count && first + kDownload <= records.size(); first += kDownload)
    Store(*history, records, first, table, &kept);
  std::printf("a history of %ld records for the export\n", kept);
  return 0;
}
