#include "archive/archive_record.h"

#include <bit>
#include <cstring>

namespace velorix {
namespace {

// Copies `count` bytes starting at frame[from] into out, reading only bytes
// below `length`; whatever the frame does not hold becomes zero.
void CopyAvailable(std::uint8_t* out, const std::uint8_t* frame, int length, int from, int count) {
  std::memset(out, 0, static_cast<std::size_t>(count));
  if (frame == nullptr || length <= from) return;
  const int have = length - from < count ? length - from : count;
  std::memcpy(out, frame + from, static_cast<std::size_t>(have));
}

}  // namespace

float FloatFromLittleEndian(const std::uint8_t* bytes) {
  const std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) |
                             (static_cast<std::uint32_t>(bytes[1]) << 8) |
                             (static_cast<std::uint32_t>(bytes[2]) << 16) |
                             (static_cast<std::uint32_t>(bytes[3]) << 24);
  return std::bit_cast<float>(bits);
}

float ArchiveRecord::floatAt(int offset) const { return FloatFromLittleEndian(image.data() + offset); }

void storeRecord(DownloadStore& store, int slot, const std::uint8_t* frame, int length) {
  if (slot < 0 || slot >= RECORD_SLOT_COUNT) return;
  CopyAvailable(store.recordSlots[static_cast<std::size_t>(slot)].image.data(), frame, length,
                RECORD_FRAME_OFFSET, RECORD_BYTES);
}

void storeEmptyCells(DownloadStore& store, const std::uint8_t* frame, int length) {
  std::uint8_t* bytes = store.emptyCellBytes.data();
  CopyAvailable(bytes, frame, length, EMPTY_CELLS_CO_OFFSET, EMPTY_CELL_TABLE_BYTES);
  for (int i = 0; i < EMPTY_CELL_COUNT; ++i) {
    store.emptyCells.co[i] = FloatFromLittleEndian(bytes + 4 * i);
    store.emptyCells.tgDo[i] =
        FloatFromLittleEndian(bytes + (EMPTY_CELLS_TGDO_OFFSET - EMPTY_CELLS_CO_OFFSET) + 4 * i);
  }
}

bool isResult(const ArchiveRecord& record) {
  return record.kind() == KIND_SAMPLE || record.kind() == KIND_EMPTY_CELL;
}

bool hasTemperature(const ArchiveRecord& record) { return record.temp() > -50; }

ResultsSource DownloadedRecords(const DownloadStore& store, int sampleCount) {
  const int count = sampleCount < 0 ? 0 : (sampleCount > RECORD_SLOT_COUNT ? RECORD_SLOT_COUNT : sampleCount);
  return {std::span<const ArchiveRecord>(store.recordSlots.data(), static_cast<std::size_t>(count)),
          store.emptyCells};
}

int WrittenRecordCount(const ResultsSource& source) {
  int count = 0;
  ForEachWrittenRecord(source, [&count](const ArchiveRecord&) { ++count; });
  return count;
}

}  // namespace velorix
