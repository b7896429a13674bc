#pragma once

// What a results file must hold, written out independently of the program's
// own writer: straight from the record bytes with printf in the "C" locale, the
// way the file layout reads. The end-to-end tests compare the program's files
// with this byte for byte.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/archive_model.h"

namespace velorix::e2etest {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.resize(static_cast<std::size_t>(size));
  return text;
}

inline double FloatAt(const sim::RecordImage& r, int offset) {
  float value;
  std::memcpy(&value, r.data() + offset, sizeof value);  // little-endian host
  return value;
}

// Archive `number`, its slots from `unusedFrom` on never written (all bytes
// 0xFF), as on an instrument whose ring is not full yet.
inline sim::SimArchive ArchiveWithUnusedSlots(std::uint32_t number, int unusedFrom) {
  sim::SimArchive archive = sim::GenerateArchive(number);
  for (int i = unusedFrom; i < sim::RING_SLOTS; ++i) archive.records[i].fill(0xFF);
  return archive;
}

// The records a download of `count` records with archive pointer `pointer`
// writes: ring indices pointer-count .. pointer-1.
inline std::vector<sim::RecordImage> WrittenRecords(const sim::SimArchive& archive, int pointer,
                                                    int count) {
  std::vector<sim::RecordImage> records;
  for (int i = 0; i < count; ++i) records.push_back(sim::RecordAt(archive, pointer - count + i));
  return records;
}

inline std::string ExpectedSpreadsheet(const sim::SimArchive& archive,
                                       const std::vector<sim::RecordImage>& records) {
  std::string out = "Time\tDate\tNc\tSample\tTemp.,\xD1\tU,V\tF,Hz\t\tEx,Co\ttgDx\n";
  for (const auto& r : records) {
    const int kind = r[4];
    if (kind != 0x01 && kind != 0x81) continue;
    const int temp = static_cast<std::int8_t>(r[6]);
    out += Format("%02x:%02x\t%02x.%02x.%02x\t", r[9], r[8], r[11], r[12], r[13]);
    out += Format("%d\t%d\t", r[5], r[2] | r[3] << 8);
    out += temp > -50 ? Format("%d\t", temp) : "\t";
    out += Format("%.1f\t%.1f\t", FloatAt(r, 16), FloatAt(r, 20));
    out += Format(kind == 0x81 ? "Co,pF\t%#.4f\t" : "Ex\t%#.4f\t", FloatAt(r, 24));
    out += Format("%#.5f\n", FloatAt(r, 28));
  }
  out += "\nNc\tCo,pF\ttgDo\n";
  for (int i = 0; i < 6; ++i)
    out += Format("%d\t%#.4f\t%#.5f\n", i + 1, static_cast<double>(archive.co[i]) * 1e12,
                  static_cast<double>(archive.tgDo[i]));
  return out;
}

inline std::string ExpectedReport(const sim::SimArchive& archive,
                                  const std::vector<sim::RecordImage>& records) {
  const std::string stars(53, '*');
  std::string out;
  for (const auto& r : records) {
    const int kind = r[4];
    if (kind != 0x01 && kind != 0x81) continue;
    const int temp = static_cast<std::int8_t>(r[6]);
    out += stars + "\n";
    out += Format("Time of test: %2x:%02x %02x/%02x/%02x\n", r[9], r[8], r[11], r[12], r[13]);
    out += Format("Measuring ceil N%d\n", r[5]);
    out += Format("Sample number %d\n", r[2] | r[3] << 8);
    out += temp > -50 ? Format("Temperature %d deg C.\n", temp)
                      : std::string("Temperature sensor is not available\n");
    out += Format("U=%.1f V  F=%.1f Hz\n", FloatAt(r, 16), FloatAt(r, 20));
    if (kind == 0x81)
      out += Format("Co=%#.4f pF tgDo=%#.5f \n", FloatAt(r, 24), FloatAt(r, 28));
    else
      out += Format("Ex=%#.5f  tgDx=%#.5f \n", FloatAt(r, 24), FloatAt(r, 28));
  }
  out += stars + "\nCapacitance and dissipation factor of free ceils:\n";
  for (int i = 0; i < 6; ++i)
    out += Format("Ceil N%d Co=%#.4f tgDo=%#.5f\n", i + 1,
                  static_cast<double>(archive.co[i]) * 1e12, static_cast<double>(archive.tgDo[i]));
  out += stars + "\n";
  return out;
}

}  // namespace velorix::e2etest
