#pragma once

// What the benchmarks measure with: the processor time used, and the records
// of a long history. The records are the simulated instrument's, repeated as
// often as needed, with their clock moved on test by test so that the dates
// run over the years as a long history's do.

#include <sys/resource.h>

#include <cstdint>
#include <vector>

#include "archive/archive_record.h"
#include "sim/archive_model.h"

namespace velorix::bench {

// The processor time this process has used, for a figure that a busy machine
// does not inflate as it does the wall time.
inline double ProcessorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

namespace detail {

inline std::uint8_t Bcd(int value) { return static_cast<std::uint8_t>((value / 10) * 16 + value % 10); }

inline bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline int DaysIn(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

// Ten tests a day, every day, from 1 January 1995 on: 100,000 records are
// 27 years of them.
inline void SetClock(ArchiveRecord& record, long test) {
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

}  // namespace detail

// `count` records of consecutive tests, and the simulator's empty-cell table.
inline std::vector<ArchiveRecord> LongHistory(long count, EmptyCellTable& table) {
  const sim::SimArchive archive = sim::GenerateArchive(sim::DEFAULT_ARCHIVE_NUMBER);
  std::vector<ArchiveRecord> records(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i) {
    records[static_cast<std::size_t>(i)].image = sim::RecordAt(archive, static_cast<int>(i % sim::RING_SLOTS));
    detail::SetClock(records[static_cast<std::size_t>(i)], i);
  }
  for (int cell = 0; cell < EMPTY_CELL_COUNT; ++cell) {
    table.co[cell] = archive.co[static_cast<std::size_t>(cell)];
    table.tgDo[cell] = archive.tgDo[static_cast<std::size_t>(cell)];
  }
  return records;
}

}  // namespace velorix::bench
