// The simulator's generated archive: same number, same bytes; every record
// plausible for the instrument; the awkward cases present where a default
// download reaches them; the file form round-trips.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <array>
#include <set>

#include "link/frame_codec.h"
#include "sim/archive_model.h"

namespace velorix::sim {
namespace {

float FloatAt(const RecordImage& r, int at) {
  std::uint32_t bits = r[at] | r[at + 1] << 8 | r[at + 2] << 16 | static_cast<std::uint32_t>(r[at + 3]) << 24;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
int Temp(const RecordImage& r) { return static_cast<std::int8_t>(r[6]); }
unsigned Sample(const RecordImage& r) { return r[2] | r[3] << 8; }
bool IsBcd(std::uint8_t b, int low, int high) {
  if ((b >> 4) > 9 || (b & 15) > 9) return false;
  const int v = (b >> 4) * 10 + (b & 15);
  return v >= low && v <= high;
}

TEST(SimArchiveModel, SameNumberSameBytesOtherNumberOtherBytes) {
  EXPECT_EQ(SerializeArchive(GenerateArchive(4)), SerializeArchive(GenerateArchive(4)));
  EXPECT_NE(SerializeArchive(GenerateArchive(4)), SerializeArchive(GenerateArchive(5)));
}

TEST(SimArchiveModel, EveryResultRecordIsPlausible) {
  for (std::uint32_t number : {1u, 2u, 99u}) {
    const SimArchive a = GenerateArchive(number);
    for (int i = 0; i < RING_SLOTS; ++i) {
      const RecordImage& r = a.records[i];
      SCOPED_TRACE("archive " + std::to_string(number) + " index " + std::to_string(i));
      EXPECT_TRUE(IsBcd(r[7], 0, 59) && IsBcd(r[8], 0, 59) && IsBcd(r[9], 0, 23) &&
                  IsBcd(r[10], 1, 7) && IsBcd(r[11], 1, 31) && IsBcd(r[12], 1, 12) &&
                  IsBcd(r[13], 0, 99));
      if (r[4] != 0x01 && r[4] != 0x81) continue;
      EXPECT_GE(r[5], 1);
      EXPECT_LE(r[5], 6);
      EXPECT_TRUE((Temp(r) >= 15 && Temp(r) <= 35) || Temp(r) <= -49) << Temp(r);
      EXPECT_GE(FloatAt(r, 16), 500.0f);
      EXPECT_LE(FloatAt(r, 16), 10000.0f);
      EXPECT_GE(FloatAt(r, 20), 50.0f);
      EXPECT_LE(FloatAt(r, 20), 1000.0f);
      const float exCo = FloatAt(r, 24);
      if (r[4] == 0x81) EXPECT_TRUE(exCo >= 10.0f && exCo <= 100.0f) << exCo;
      else EXPECT_TRUE(exCo >= 1.0f && exCo <= 10.0f) << exCo;
      EXPECT_GE(FloatAt(r, 28), 1e-5f * 0.999f);
      EXPECT_LE(FloatAt(r, 28), 1e-2f * 1.001f);
    }
    for (int c = 0; c < 6; ++c) {
      EXPECT_TRUE(a.co[c] >= 5e-11f && a.co[c] <= 9e-11f) << a.co[c];
      EXPECT_TRUE(a.tgDo[c] > 0.0f && a.tgDo[c] < 1e-2f) << a.tgDo[c];
    }
  }
}

TEST(SimArchiveModel, RingHoldsEveryKindAndNoSensorValues) {
  const SimArchive a = GenerateArchive(DEFAULT_ARCHIVE_NUMBER);
  std::set<int> kinds, noSensor;
  int largeSamples = 0;
  for (const RecordImage& r : a.records) {
    kinds.insert(r[4]);
    if (Temp(r) <= -50) noSensor.insert(Temp(r));
    if (Sample(r) == 65535) ++largeSamples;
  }
  EXPECT_EQ(kinds, (std::set<int>{0x00, 0x01, 0x02, 0x80, 0x81, 0xFF}));
  EXPECT_EQ(noSensor, (std::set<int>{-128, -60, -50}));
  EXPECT_GT(largeSamples, 1);
}

// A download of 100 records at pointer 5 covers 1905..1999 and 0..4; whatever
// the number, its end holds the cases a reader must get right.
TEST(SimArchiveModel, DefaultDownloadEndHoldsTheEdgeCases) {
  for (std::uint32_t number : {1u, 12345u}) {
    const SimArchive a = GenerateArchive(number);
    EXPECT_EQ(RecordAt(a, -1)[4], 0x00);  // ring index 1999
    EXPECT_EQ(RecordAt(a, 1997)[4], 0x02);
    EXPECT_EQ(Temp(RecordAt(a, 1998)), -60);
    EXPECT_EQ(Temp(RecordAt(a, 1996)), -49);
    EXPECT_EQ(RecordAt(a, 0)[4], 0x81);
    EXPECT_EQ(FloatAt(RecordAt(a, 0), 24), 12.5f);
    EXPECT_EQ(Temp(RecordAt(a, 1)), -50);
    EXPECT_EQ(RecordAt(a, 2)[4], 0x80);
    EXPECT_EQ(Sample(RecordAt(a, 3)), 65535u);
    EXPECT_EQ(Temp(RecordAt(a, 3)), -128);
    EXPECT_EQ(RecordAt(a, 4)[4], 0xFF);
    EXPECT_EQ(&RecordAt(a, 2005), &a.records[5]);
    // The clock runs forward across the end of the ring, from the oldest
    // record at the default pointer to the newest just before it.
    auto when = [&](int index) {
      const RecordImage& r = RecordAt(a, index);
      return std::array<int, 5>{r[13], r[12], r[11], r[9], r[8]};  // BCD digits compare as numbers
    };
    for (int index = DEFAULT_POINTER + 1; index < DEFAULT_POINTER + RING_SLOTS; ++index)
      EXPECT_LE(when(index - 1), when(index)) << index;
  }
}

TEST(SimArchiveModel, FileRoundTripsAndRejectsWrongSize) {
  SimArchive a = GenerateArchive(8);
  a.records[1234].fill(0x77);
  a.co[5] = 1.25e-11f;
  const auto path = std::filesystem::temp_directory_path() /
                    ("velorix-sim-model-" + std::to_string(getpid()) + ".bin");
  std::string error;
  ASSERT_TRUE(SaveArchiveFile(path.string(), a, error)) << error;
  EXPECT_EQ(std::filesystem::file_size(path), ARCHIVE_FILE_BYTES);
  SimArchive b;
  ASSERT_TRUE(LoadArchiveFile(path.string(), b, error)) << error;
  EXPECT_EQ(SerializeArchive(a), SerializeArchive(b));
  std::filesystem::resize_file(path, ARCHIVE_FILE_BYTES - 1);
  EXPECT_FALSE(LoadArchiveFile(path.string(), b, error));
  EXPECT_NE(error.find("64048"), std::string::npos) << error;
  std::filesystem::remove(path);
}

TEST(SimArchiveModel, RepliesCarryCodeLengthAndChecksum) {
  const SimArchive a = GenerateArchive(DEFAULT_ARCHIVE_NUMBER);
  struct Case {
    std::vector<std::uint8_t> request;
    std::size_t length;
  } cases[] = {
      {{0x01, 0x05, 0x0B, 0x11, 0x00}, 7},
      {{0x01, 0x05, 0x0C, 0x12, 0x00}, 54},
      {{0x01, 0x07, 0x0A, 0xCB, 0x07, 0xE4, 0x00}, 38},
      {{0x01, 0x05, 0xFF, 0x05, 0x01}, 5},
  };
  for (const Case& c : cases) {
    const auto reply = ReplyTo(a, 0x1234, c.request.data(), static_cast<int>(c.request.size()));
    ASSERT_EQ(reply.size(), c.length);
    EXPECT_EQ(reply[1], c.length);
    EXPECT_EQ(reply[2], c.request[2]);
    unsigned sum = 0;
    for (std::size_t i = 0; i + 2 < reply.size(); ++i) sum += reply[i];
    EXPECT_EQ(reply[reply.size() - 2] | reply[reply.size() - 1] << 8, sum);
  }
  const std::uint8_t pointer[] = {0x01, 0x05, 0x0B, 0x11, 0x00};
  const auto p = ReplyTo(a, 0x1234, pointer, 5);
  EXPECT_EQ(p[3], 0x34);
  EXPECT_EQ(p[4], 0x12);
  const std::uint8_t unknown[] = {0x01, 0x05, 0x0D, 0x13, 0x00};
  EXPECT_TRUE(ReplyTo(a, 0, unknown, 5).empty());
}

}  // namespace
}  // namespace velorix::sim
