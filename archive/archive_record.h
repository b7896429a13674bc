#pragma once

// One downloaded archive record, the empty-cell table, and the store that a
// download fills and the results writer reads.
//
// A record is kept as the 32 bytes exactly as the instrument sent them; every
// field is read out of that image at its fixed offset when asked for. Multi-byte
// fields are little-endian, reals are IEEE 754 binary32. Nothing is validated.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velorix {

inline constexpr std::uint8_t KIND_SAMPLE = 0x01;
inline constexpr std::uint8_t KIND_EMPTY_CELL = 0x81;

inline constexpr int RECORD_BYTES = 32;
inline constexpr int RECORD_SLOT_COUNT = 2400;
inline constexpr int EMPTY_CELL_COUNT = 6;

// Where the record and the table start inside their reply frames.
inline constexpr int RECORD_FRAME_OFFSET = 4;
inline constexpr int EMPTY_CELLS_CO_OFFSET = 4;
inline constexpr int EMPTY_CELLS_TGDO_OFFSET = 28;

struct ArchiveRecord {
  std::array<std::uint8_t, RECORD_BYTES> image{};

  std::uint16_t sample() const { return static_cast<std::uint16_t>(image[2] | (image[3] << 8)); }
  std::uint8_t kind() const { return image[4]; }
  std::uint8_t nc() const { return image[5]; }
  std::int8_t temp() const { return static_cast<std::int8_t>(image[6]); }
  // Packed BCD clock bytes, handed out raw.
  std::uint8_t bcdSec() const { return image[7]; }
  std::uint8_t bcdMin() const { return image[8]; }
  std::uint8_t bcdHour() const { return image[9]; }
  std::uint8_t bcdWeekday() const { return image[10]; }
  std::uint8_t bcdDay() const { return image[11]; }
  std::uint8_t bcdMonth() const { return image[12]; }
  std::uint8_t bcdYear() const { return image[13]; }
  float u() const { return floatAt(16); }
  float f() const { return floatAt(20); }
  float exCo() const { return floatAt(24); }  // Co in pF for an empty cell, Ex for a sample
  float tgD() const { return floatAt(28); }   // tgDo for an empty cell, tgDx for a sample

 private:
  float floatAt(int offset) const;
};

// Index i belongs to measuring cell i + 1.
struct EmptyCellTable {
  float co[EMPTY_CELL_COUNT];    // farads
  float tgDo[EMPTY_CELL_COUNT];  // no unit
};

// A cell's Co as the results files print it: in picofarads, widened exactly
// and then scaled (a record's own Co is in picofarads already).
inline double EmptyCellPicofarads(const EmptyCellTable& table, int index) {
  return static_cast<double>(table.co[index]) * 1e12;
}

// Lives as long as the program; nothing clears it. A download overwrites from
// slot 0 upward, slots it does not reach keep older records.
inline constexpr int EMPTY_CELL_TABLE_BYTES = 8 * EMPTY_CELL_COUNT;

struct DownloadStore {
  std::array<ArchiveRecord, RECORD_SLOT_COUNT> recordSlots{};
  EmptyCellTable emptyCells{};
  // The table as it came (reply bytes 4..51), kept beside its values.
  std::array<std::uint8_t, EMPTY_CELL_TABLE_BYTES> emptyCellBytes{};
};

// Decodes a little-endian binary32 from four bytes.
float FloatFromLittleEndian(const std::uint8_t* bytes);

// Copies frame bytes 4..35 into recordSlots[slot]. Bytes beyond `length` (a
// reply shorter than a record) are stored as zero; nothing past frame[length-1]
// is read. A slot outside the store is left alone.
void storeRecord(DownloadStore& store, int slot, const std::uint8_t* frame, int length);

// Replaces emptyCells from frame bytes 4..27 (co) and 28..51 (tgDo); bytes
// beyond `length` read as zero.
void storeEmptyCells(DownloadStore& store, const std::uint8_t* frame, int length);

bool isResult(const ArchiveRecord& record);        // kind is KIND_SAMPLE or KIND_EMPTY_CELL
bool hasTemperature(const ArchiveRecord& record);  // temp > -50; -50 and below: no sensor

// What a results file is made from: records in the file's order and the
// empty-cell table printed below them. A downloaded archive gives slots
// 0..N-1 of its store; the history gives the records it selected.
struct ResultsSource {
  std::span<const ArchiveRecord> records;
  EmptyCellTable emptyCells{};
};

// Slots 0..sampleCount-1 of the store (never beyond it) and its table.
ResultsSource DownloadedRecords(const DownloadStore& store, int sampleCount);

// The records a results file holds, in order: those of the source that hold
// a result. Every results writer visits them through this, and the program
// counts them with WrittenRecordCount, so the count it reports is the file's.
template <typename Visit>
void ForEachWrittenRecord(const ResultsSource& source, Visit visit) {
  for (const ArchiveRecord& record : source.records)
    if (isResult(record)) visit(record);
}

int WrittenRecordCount(const ResultsSource& source);

}  // namespace velorix
