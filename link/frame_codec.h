#pragma once

// The frame format shared by the PC and the instrument, in both directions:
//   01 L code payload... sumLo sumHi
// where L counts the whole frame and the sum covers every byte before the
// checksum. Pure byte work: no state, no I/O, no allocation.

#include <array>
#include <cstdint>

namespace velorix {

inline constexpr std::uint8_t FRAME_START = 0x01;

inline constexpr std::uint8_t CMD_READ_RECORD = 10;
inline constexpr std::uint8_t CMD_ARCHIVE_POINTER = 11;
inline constexpr std::uint8_t CMD_EMPTY_CELLS = 12;
inline constexpr std::uint8_t CMD_END = 255;

// A CMD_END frame without payload; the instrument echoes it to say it is there.
inline constexpr std::array<std::uint8_t, 5> PROBE_FRAME{0x01, 0x05, 0xFF, 0x05, 0x01};

enum FrameVerdict { FRAME_INCOMPLETE, FRAME_BAD, FRAME_OK };

// Writes the 16-bit sum of bytes[0..count-1] at bytes[count] (low byte) and
// bytes[count+1] (high byte) and returns count + 2. The buffer needs room for
// count + 2 bytes. A negative count writes nothing and returns 0.
constexpr int AppendChecksum(std::uint8_t* bytes, int count) {
  if (count < 0) return 0;
  unsigned sum = 0;
  for (int i = 0; i < count; ++i) sum += bytes[i];
  bytes[count] = static_cast<std::uint8_t>(sum & 0xFF);
  bytes[count + 1] = static_cast<std::uint8_t>((sum >> 8) & 0xFF);
  return count + 2;
}

// Judges the bytes received since the last frame or discard. Reads nothing
// beyond bytes[have-1]. The rule is deliberately lenient and kept as it has
// always been: only the low checksum byte is compared, the start byte is not
// looked at, and bytes beyond the frame's length do not make it bad.
constexpr FrameVerdict CheckFrame(const std::uint8_t* bytes, int have) {
  if (have < 2) return FRAME_INCOMPLETE;
  const int length = bytes[1];
  if (have < length) return FRAME_INCOMPLETE;
  // A length of 1 leaves no room for a checksum byte; treat it like 0.
  if (length < 2) return FRAME_BAD;
  unsigned sum = 0;
  for (int i = 0; i < length - 2; ++i) sum += bytes[i];
  return (sum & 0xFF) == bytes[length - 2] ? FRAME_OK : FRAME_BAD;
}

}  // namespace velorix
