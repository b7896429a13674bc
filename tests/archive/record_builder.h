#pragma once

// Builds record images and reply frames byte by byte, independently of the
// decoder, so the tests state the wire layout themselves.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/archive_record.h"
#include "link/frame_codec.h"

namespace velorix::test {

struct RecordFields {
  std::uint8_t kind = KIND_SAMPLE;
  std::uint8_t nc = 1;
  std::uint16_t sample = 0;
  std::int8_t temp = 20;
  std::array<std::uint8_t, 7> clock{};  // sec, min, hour, weekday, day, month, year
  float u = 0, f = 0, exCo = 0, tgD = 0;
};

inline void PutFloat(std::uint8_t* at, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

inline std::array<std::uint8_t, 32> RecordImage(const RecordFields& r) {
  std::array<std::uint8_t, 32> image{};
  image[0] = 0xA5;  // uninterpreted bytes, set so that nothing depends on them being zero
  image[1] = 0x5A;
  image[2] = static_cast<std::uint8_t>(r.sample & 0xFF);
  image[3] = static_cast<std::uint8_t>(r.sample >> 8);
  image[4] = r.kind;
  image[5] = r.nc;
  image[6] = static_cast<std::uint8_t>(r.temp);
  for (int i = 0; i < 7; ++i) image[7 + i] = r.clock[i];
  image[14] = 0xEE;
  image[15] = 0xEF;
  PutFloat(&image[16], r.u);
  PutFloat(&image[20], r.f);
  PutFloat(&image[24], r.exCo);
  PutFloat(&image[28], r.tgD);
  return image;
}

// A checked reply frame: 01 L code <byte 3> payload sum.
inline std::vector<std::uint8_t> ReplyFrame(std::uint8_t code, const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> frame(3 + payload.size() + 2, 0);
  frame[0] = FRAME_START;
  frame[2] = code;
  for (std::size_t i = 0; i < payload.size(); ++i) frame[3 + i] = payload[i];
  frame[1] = static_cast<std::uint8_t>(frame.size());
  AppendChecksum(frame.data(), static_cast<int>(frame.size()) - 2);
  return frame;
}

inline std::vector<std::uint8_t> RecordReply(const std::array<std::uint8_t, 32>& image) {
  std::vector<std::uint8_t> payload{0x00};  // byte 3, not interpreted
  payload.insert(payload.end(), image.begin(), image.end());
  return ReplyFrame(CMD_READ_RECORD, payload);
}

inline std::vector<std::uint8_t> EmptyCellsReply(const std::array<float, 6>& co,
                                                 const std::array<float, 6>& tgDo) {
  std::vector<std::uint8_t> payload(1 + 48, 0);
  payload[0] = 0x77;  // byte 3, not interpreted
  for (int i = 0; i < 6; ++i) {
    PutFloat(&payload[1 + 4 * i], co[i]);
    PutFloat(&payload[25 + 4 * i], tgDo[i]);
  }
  return ReplyFrame(CMD_EMPTY_CELLS, payload);
}

inline std::vector<std::uint8_t> PointerReply(std::uint16_t pointer) {
  return ReplyFrame(CMD_ARCHIVE_POINTER,
                    {static_cast<std::uint8_t>(pointer & 0xFF), static_cast<std::uint8_t>(pointer >> 8)});
}

}  // namespace velorix::test
