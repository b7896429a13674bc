#include "sim/archive_model.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "link/frame_codec.h"

namespace velorix::sim {
namespace {

// splitmix64: tiny, fast and the same everywhere (unlike the standard
// distributions, whose output is not pinned down across library versions).
class Rng {
 public:
  explicit Rng(std::uint64_t start) : state_(start) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform integer in [low, high].
  int Between(int low, int high) {
    return low + static_cast<int>(Next() % static_cast<std::uint64_t>(high - low + 1));
  }
  // Uniform real in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  double Uniform(double low, double high) { return low + (high - low) * Unit(); }
  // Spread evenly over the decades between low and high.
  double LogUniform(double low, double high) {
    return std::exp(Uniform(std::log(low), std::log(high)));
  }

 private:
  std::uint64_t state_;
};

std::uint8_t Bcd(int value) { return static_cast<std::uint8_t>((value / 10) * 16 + value % 10); }

// The instrument's clock, advanced record by record.
struct TestClock {
  int year = 2009, month = 1, day = 5, weekday = 1;  // 5 Jan 2009 was a Monday
  int hour = 8, minute = 0, second = 0;

  static int DaysIn(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
  }
  void AdvanceSeconds(int seconds) {
    second += seconds;
    minute += second / 60;
    second %= 60;
    hour += minute / 60;
    minute %= 60;
    while (hour >= 24) {
      hour -= 24;
      weekday = weekday % 7 + 1;
      if (++day > DaysIn(year, month)) {
        day = 1;
        if (++month > 12) {
          month = 1;
          ++year;
        }
      }
    }
  }
};

void PutU16(RecordImage& r, int at, unsigned value) {
  r[at] = static_cast<std::uint8_t>(value & 0xFF);
  r[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

void PutFloat(std::uint8_t* at, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

float GetFloat(const std::uint8_t* at) {
  std::uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(at[i]) << (8 * i);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Record field offsets.
constexpr int kSample = 2, kKind = 4, kNc = 5, kTemp = 6, kClock = 7, kU = 16, kF = 20,
              kExCo = 24, kTgD = 28;

void SetClock(RecordImage& r, const TestClock& clock) {
  r[kClock + 0] = Bcd(clock.second);
  r[kClock + 1] = Bcd(clock.minute);
  r[kClock + 2] = Bcd(clock.hour);
  r[kClock + 3] = Bcd(clock.weekday);
  r[kClock + 4] = Bcd(clock.day);
  r[kClock + 5] = Bcd(clock.month);
  r[kClock + 6] = Bcd(clock.year % 100);
}

void SetTemp(RecordImage& r, int celsius) { r[kTemp] = static_cast<std::uint8_t>(celsius & 0xFF); }

// Turns a slot into a sample record, keeping Ex within a sample's range.
void MakeSample(RecordImage& r) {
  if (r[kKind] == 0x81) PutFloat(&r[kExCo], GetFloat(&r[kExCo]) / 10.0f);
  r[kKind] = 0x01;
}

// What a record still needs once the ring's order of time is known.
struct Pending {
  int pause = 0;       // seconds since the test before
  double noise = 0.0;  // in [0, 1): the scatter of its tgD
};

RecordImage MakeRecord(Rng& rng, int index, unsigned& sampleNumber, Pending& later) {
  RecordImage r{};
  PutU16(r, 0, static_cast<unsigned>(index));  // not read by the PC; handy in dumps
  r[14] = 0xA5;                                // not read by the PC either
  r[15] = 0x5A;

  const int roll = rng.Between(0, 99);
  std::uint8_t kind = 0x01;
  if (roll >= 90) {
    static constexpr std::uint8_t kOther[4] = {0x00, 0x80, 0x02, 0xFF};
    kind = kOther[rng.Between(0, 3)];
  } else if (roll >= 75) {
    kind = 0x81;
  }
  r[kKind] = kind;

  if (rng.Between(0, 49) == 0) sampleNumber = 1;  // operator restarts numbering
  unsigned sample = sampleNumber++;
  if (rng.Between(0, 79) == 0) sample = 65535;
  else if (rng.Between(0, 79) == 0) sample = static_cast<unsigned>(rng.Between(30000, 65534));
  PutU16(r, kSample, sample);

  r[kNc] = static_cast<std::uint8_t>(rng.Between(1, 6));
  static constexpr int kNoSensor[3] = {-50, -60, -128};
  SetTemp(r, rng.Between(0, 19) == 0 ? kNoSensor[rng.Between(0, 2)] : rng.Between(15, 35));

  later.pause = rng.Between(120, 3 * 3600);

  static constexpr float kFrequencies[6] = {50.0f, 60.0f, 100.0f, 120.0f, 400.0f, 1000.0f};
  PutFloat(&r[kU], static_cast<float>(rng.Between(50, 1000) * 10));  // 500..10000 V
  PutFloat(&r[kF], kFrequencies[rng.Between(0, 5)]);
  const double exCo = kind == 0x81 ? rng.Uniform(10.0, 100.0) : rng.Uniform(1.0, 10.0);
  PutFloat(&r[kExCo], static_cast<float>(exCo));
  later.noise = rng.Unit();
  return r;
}

// tgD as a lab sees it, `days` after the first test in the ring. Each cell
// holds one kind of sample, whose tgDx wanders slowly about its own level;
// an empty cell's tgDo creeps up as the cell gets dirty, and drops back when
// it is cleaned, once a month. Slots that hold no result get any value.
double TgD(std::uint8_t kind, int cell, double days, double noise) {
  constexpr double kPi = 3.14159265358979323846;
  if (kind == 0x01 && cell >= 1 && cell <= 6) {
    static constexpr double kMaterial[6] = {1.5e-4, 4e-4, 1e-3, 2.5e-3, 5e-3, 6e-5};
    return kMaterial[cell - 1] * (1.0 + 0.25 * std::sin(2 * kPi * days / 45.0 + cell)) * (0.8 + 0.4 * noise);
  }
  if (kind == 0x81 && cell >= 1 && cell <= 6) {
    const double clean = 3e-5 * std::pow(1.4, cell - 1);
    const double daysSinceCleaning = std::fmod(days + 5.0 * cell, 30.0);
    return clean * (1.0 + 0.12 * daysSinceCleaning) * (0.9 + 0.2 * noise);
  }
  return 1e-5 * std::pow(1000.0, noise);
}

// The awkward cases a default download (pointer 5, 100 records) must meet.
void PinEdgeCases(SimArchive& a) {
  auto& r = a.records;
  r[1997][kKind] = 0x02;
  SetTemp(r[1998], -60);
  r[1999][kKind] = 0x00;
  r[0][kKind] = 0x81;
  PutFloat(&r[0][kExCo], 12.5f);
  MakeSample(r[1]);
  SetTemp(r[1], -50);
  r[2][kKind] = 0x80;
  MakeSample(r[3]);
  PutU16(r[3], kSample, 65535);
  SetTemp(r[3], -128);
  r[4][kKind] = 0xFF;
  SetTemp(r[1996], -49);
  MakeSample(r[1996]);
}

void Frame(std::vector<std::uint8_t>& out) {
  const int count = static_cast<int>(out.size());
  out.resize(out.size() + 2);
  AppendChecksum(out.data(), count);
}

}  // namespace

SimArchive GenerateArchive(std::uint32_t number) {
  Rng rng(0x5EED0000ULL ^ (static_cast<std::uint64_t>(number) << 20) ^ number);
  SimArchive a;
  unsigned sampleNumber = 1;
  std::array<Pending, RING_SLOTS> later{};
  for (int i = 0; i < RING_SLOTS; ++i) a.records[i] = MakeRecord(rng, i, sampleNumber, later[i]);
  PinEdgeCases(a);
  // The instrument writes its ring in the order of its tests: the oldest
  // record sits at the default pointer, the newest just before it, so a
  // default download runs forward in time across the end of the ring.
  TestClock clock;
  long seconds = 0;
  for (int k = 0; k < RING_SLOTS; ++k) {
    const int i = (DEFAULT_POINTER + k) % RING_SLOTS;
    RecordImage& r = a.records[i];
    clock.AdvanceSeconds(later[i].pause);
    seconds += later[i].pause;
    SetClock(r, clock);
    PutFloat(&r[kTgD], static_cast<float>(TgD(r[kKind], r[kNc], seconds / 86400.0, later[i].noise)));
  }
  for (int i = 0; i < 6; ++i) {
    a.co[i] = static_cast<float>(rng.Uniform(5e-11, 9e-11));
    a.tgDo[i] = static_cast<float>(rng.LogUniform(1e-5, 1e-3));
  }
  return a;
}

SimArchive GenerateArchiveAfterTests(std::uint32_t number, long tests) {
  Rng rng(0x7E575000ULL ^ (static_cast<std::uint64_t>(number) << 20) ^ number);
  SimArchive a;
  for (RecordImage& r : a.records) r.fill(0xFF);
  TestClock clock;
  long seconds = 0;
  unsigned sampleNumber = 1;
  for (long t = 0; t < tests; ++t) {
    const int slot = static_cast<int>(t % RING_SLOTS);
    Pending later;
    RecordImage& r = a.records[slot] = MakeRecord(rng, slot, sampleNumber, later);
    clock.AdvanceSeconds(later.pause);
    seconds += later.pause;
    SetClock(r, clock);
    PutFloat(&r[kTgD], static_cast<float>(TgD(r[kKind], r[kNc], seconds / 86400.0, later.noise)));
  }
  for (int i = 0; i < 6; ++i) {
    a.co[i] = static_cast<float>(5e-11 + 1e-11 * i);
    a.tgDo[i] = static_cast<float>(1e-4 * (i + 1));
  }
  return a;
}

const RecordImage& RecordAt(const SimArchive& archive, int index) {
  int slot = index % RING_SLOTS;
  if (slot < 0) slot += RING_SLOTS;
  return archive.records[slot];
}

std::array<std::uint8_t, TABLE_BYTES> TableBytes(const SimArchive& archive) {
  std::array<std::uint8_t, TABLE_BYTES> t{};
  for (int i = 0; i < 6; ++i) {
    PutFloat(&t[4 * i], archive.co[i]);
    PutFloat(&t[24 + 4 * i], archive.tgDo[i]);
  }
  return t;
}

std::vector<std::uint8_t> SerializeArchive(const SimArchive& archive) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(ARCHIVE_FILE_BYTES);
  for (const RecordImage& r : archive.records) bytes.insert(bytes.end(), r.begin(), r.end());
  const auto table = TableBytes(archive);
  bytes.insert(bytes.end(), table.begin(), table.end());
  return bytes;
}

bool ParseArchive(const std::vector<std::uint8_t>& bytes, SimArchive& archive,
                  std::string& error) {
  if (bytes.size() != ARCHIVE_FILE_BYTES) {
    error = "an archive file has " + std::to_string(ARCHIVE_FILE_BYTES) + " bytes, this one " +
            std::to_string(bytes.size());
    return false;
  }
  for (int i = 0; i < RING_SLOTS; ++i)
    std::memcpy(archive.records[i].data(), &bytes[static_cast<std::size_t>(i) * RECORD_BYTES],
                RECORD_BYTES);
  const std::uint8_t* table = &bytes[static_cast<std::size_t>(RING_SLOTS) * RECORD_BYTES];
  for (int i = 0; i < 6; ++i) {
    archive.co[i] = GetFloat(table + 4 * i);
    archive.tgDo[i] = GetFloat(table + 24 + 4 * i);
  }
  return true;
}

bool LoadArchiveFile(const std::string& path, SimArchive& archive, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  if (!ParseArchive(bytes, archive, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool SaveArchiveFile(const std::string& path, const SimArchive& archive, std::string& error) {
  const auto bytes = SerializeArchive(archive);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

std::vector<std::uint8_t> ReplyTo(const SimArchive& archive, int pointer,
                                  const std::uint8_t* frame, int length) {
  if (frame == nullptr || length < 3) return {};
  const auto byteAt = [&](int i) -> std::uint8_t { return i < length ? frame[i] : 0; };
  std::vector<std::uint8_t> out;
  switch (frame[2]) {
    case CMD_ARCHIVE_POINTER:
      out = {FRAME_START, POINTER_REPLY_BYTES, CMD_ARCHIVE_POINTER,
             static_cast<std::uint8_t>(pointer & 0xFF),
             static_cast<std::uint8_t>((pointer >> 8) & 0xFF)};
      break;
    case CMD_EMPTY_CELLS: {
      out = {FRAME_START, TABLE_REPLY_BYTES, CMD_EMPTY_CELLS, TABLE_REPLY_BYTE3};
      const auto table = TableBytes(archive);
      out.insert(out.end(), table.begin(), table.end());
      break;
    }
    case CMD_READ_RECORD: {
      out = {FRAME_START, RECORD_REPLY_BYTES, CMD_READ_RECORD, RECORD_REPLY_BYTE3};
      const RecordImage& r = RecordAt(archive, byteAt(3) | (byteAt(4) << 8));
      out.insert(out.end(), r.begin(), r.end());
      break;
    }
    case CMD_END:
      return {PROBE_FRAME.begin(), PROBE_FRAME.end()};
    default:
      return {};
  }
  Frame(out);
  return out;
}

}  // namespace velorix::sim
