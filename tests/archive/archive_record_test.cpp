#include "archive/archive_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "record_builder.h"

namespace velorix {
namespace {

using test::RecordImage;
using test::RecordReply;

ArchiveRecord Stored(const std::vector<std::uint8_t>& frame) {
  DownloadStore store;
  storeRecord(store, 7, frame.data(), static_cast<int>(frame.size()));
  return store.recordSlots[7];
}

TEST(ArchiveRecordDecoding, RecordIsTheFrameBytesFourToThirtyFiveUnchanged) {
  std::vector<std::uint8_t> frame(40);
  for (int i = 0; i < 40; ++i) frame[i] = static_cast<std::uint8_t>(0x30 + i);
  const ArchiveRecord r = Stored(frame);
  for (int k = 0; k < 32; ++k) EXPECT_EQ(r.image[k], frame[k + 4]) << "record byte " << k;
}

struct IntegerVector {
  const char* what;
  int offset;
  std::uint8_t lo, hi;
  int expected;
  int (*read)(const ArchiveRecord&);
};

TEST(ArchiveRecordDecoding, IntegerFieldsByOffsetAndSignedness) {
  const IntegerVector vectors[] = {
      {"sample FF FF", 2, 0xFF, 0xFF, 65535, [](const ArchiveRecord& r) { return int{r.sample()}; }},
      {"sample little-endian", 2, 0x34, 0x12, 0x1234, [](const ArchiveRecord& r) { return int{r.sample()}; }},
      {"nc 0xC8", 5, 0xC8, 0, 200, [](const ArchiveRecord& r) { return int{r.nc()}; }},
      {"temp 0xCE", 6, 0xCE, 0, -50, [](const ArchiveRecord& r) { return int{r.temp()}; }},
      {"temp 0x80", 6, 0x80, 0, -128, [](const ArchiveRecord& r) { return int{r.temp()}; }},
      {"temp 0xCF", 6, 0xCF, 0, -49, [](const ArchiveRecord& r) { return int{r.temp()}; }},
      {"temp 0x7F", 6, 0x7F, 0, 127, [](const ArchiveRecord& r) { return int{r.temp()}; }},
      {"kind 0x81", 4, 0x81, 0, 0x81, [](const ArchiveRecord& r) { return int{r.kind()}; }},
  };
  for (const auto& v : vectors) {
    ArchiveRecord r;
    r.image[v.offset] = v.lo;
    if (v.offset == 2) r.image[3] = v.hi;
    EXPECT_EQ(v.read(r), v.expected) << v.what;
  }
}

TEST(ArchiveRecordDecoding, TemperatureThreshold) {
  const struct {
    std::uint8_t byte;
    bool has;
  } vectors[] = {{0xCE, false}, {0x80, false}, {0xCF, true}, {0x7F, true}, {0x00, true}, {0xCD, false}};
  for (const auto& v : vectors) {
    ArchiveRecord r;
    r.image[6] = v.byte;
    EXPECT_EQ(hasTemperature(r), v.has) << "temp byte " << int{v.byte};
  }
}

TEST(ArchiveRecordDecoding, OnlyTheTwoKindsAreResults) {
  const struct {
    std::uint8_t kind;
    bool result;
  } vectors[] = {{0x01, true}, {0x81, true}, {0x80, false}, {0x02, false}, {0x00, false}, {0xFF, false}};
  for (const auto& v : vectors) {
    ArchiveRecord r;
    r.image[4] = v.kind;
    EXPECT_EQ(isResult(r), v.result) << "kind " << int{v.kind};
  }
}

TEST(ArchiveRecordDecoding, ClockBytesComeOutRawInTheirOrder) {
  test::RecordFields f;
  f.clock = {0x45, 0x09, 0x14, 0x05, 0x31, 0x12, 0x09};
  const ArchiveRecord r = Stored(RecordReply(RecordImage(f)));
  EXPECT_EQ(r.bcdSec(), 0x45);
  EXPECT_EQ(r.bcdMin(), 0x09);
  EXPECT_EQ(r.bcdHour(), 0x14);
  EXPECT_EQ(r.bcdWeekday(), 0x05);
  EXPECT_EQ(r.bcdDay(), 0x31);
  EXPECT_EQ(r.bcdMonth(), 0x12);
  EXPECT_EQ(r.bcdYear(), 0x09);
}

TEST(ArchiveRecordDecoding, FloatsAreLittleEndianBinary32) {
  // 12.5f is 0x41480000; 2000.0f is 0x44FA0000.
  ArchiveRecord r;
  const std::uint8_t u[4] = {0x00, 0x00, 0xFA, 0x44};
  const std::uint8_t exCo[4] = {0x00, 0x00, 0x48, 0x41};
  std::copy(u, u + 4, &r.image[16]);
  std::copy(exCo, exCo + 4, &r.image[24]);
  r.image[20] = 0x01;  // the smallest denormal
  r.image[28] = 0x00;
  r.image[29] = 0x00;
  r.image[30] = 0xC0;
  r.image[31] = 0xFF;  // a negative quiet NaN
  EXPECT_EQ(r.u(), 2000.0f);
  EXPECT_EQ(r.exCo(), 12.5f);
  EXPECT_EQ(r.f(), std::numeric_limits<float>::denorm_min());
  EXPECT_TRUE(std::isnan(r.tgD()));
  EXPECT_TRUE(std::signbit(r.tgD()));
}

TEST(ArchiveRecordDecoding, EmptyCellTableFromItsFrameOffsets) {
  const std::array<float, 6> co{1.25e-11f, 2e-11f, 3e-11f, 4e-11f, 5e-11f, 6.54321e-11f};
  const std::array<float, 6> tgDo{0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.00012f};
  const auto frame = test::EmptyCellsReply(co, tgDo);
  DownloadStore store;
  storeEmptyCells(store, frame.data(), static_cast<int>(frame.size()));
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(store.emptyCells.co[i], co[i]) << i;
    EXPECT_EQ(store.emptyCells.tgDo[i], tgDo[i]) << i;
  }
  EXPECT_NEAR(static_cast<double>(store.emptyCells.co[0]) * 1e12, 12.5, 1e-6);
}

TEST(ArchiveRecordDecoding, ShortFramesReadAsZeroBeyondTheirLength) {
  // The bytes past `length` are poisoned: they must never reach the store.
  std::vector<std::uint8_t> frame(64, 0xAB);
  const struct {
    int length;
    int kept;  // record bytes taken from the frame
  } vectors[] = {{0, 0}, {3, 0}, {4, 0}, {5, 1}, {20, 16}, {35, 31}, {36, 32}};
  for (const auto& v : vectors) {
    DownloadStore store;
    store.recordSlots[0].image.fill(0x11);
    storeRecord(store, 0, frame.data(), v.length);
    for (int k = 0; k < 32; ++k)
      EXPECT_EQ(store.recordSlots[0].image[k], k < v.kept ? 0xAB : 0x00) << "length " << v.length << " byte " << k;
  }
  DownloadStore store;
  store.emptyCells.co[0] = 1.0f;
  storeEmptyCells(store, frame.data(), 30);  // co complete, tgDo[0] half there
  EXPECT_NE(store.emptyCells.co[5], 0.0f);
  EXPECT_EQ(store.emptyCells.tgDo[1], 0.0f);
  std::uint8_t tg0[4];
  std::memcpy(tg0, &store.emptyCells.tgDo[0], 4);
  EXPECT_EQ(tg0[0], 0xAB);
  EXPECT_EQ(tg0[1], 0xAB);
  EXPECT_EQ(tg0[2], 0x00);
  EXPECT_EQ(tg0[3], 0x00);
}

TEST(ArchiveRecordDecoding, SlotsOutsideTheStoreAreNotWritten) {
  auto store = std::make_unique<DownloadStore>();
  std::vector<std::uint8_t> frame(36, 0xCC);
  storeRecord(*store, -1, frame.data(), 36);
  storeRecord(*store, RECORD_SLOT_COUNT, frame.data(), 36);
  storeRecord(*store, RECORD_SLOT_COUNT - 1, frame.data(), 36);
  EXPECT_EQ(store->recordSlots[0].image[0], 0);
  EXPECT_EQ(store->recordSlots[RECORD_SLOT_COUNT - 1].image[0], 0xCC);
}

}  // namespace
}  // namespace velorix
