// CheckFrame on arbitrary received bytes.
//
// Properties:
//  - it never reads beyond `have` (every prefix is judged in a buffer of
//    exactly that size, so AddressSanitizer sees any read past its end);
//  - its verdict agrees with the rule as the instrument's documentation puts
//    it, written out independently below;
//  - once a prefix is judged complete (OK or BAD), longer prefixes keep that
//    verdict: bytes after the frame never change it;
//  - a frame framed with AppendChecksum passes, whatever its high checksum
//    byte is changed to, and fails once one command or payload byte changes.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "link/frame_codec.h"

namespace {

using velorix::FrameVerdict;

const char* Name(FrameVerdict v) {
  switch (v) {
    case velorix::FRAME_OK: return "OK";
    case velorix::FRAME_BAD: return "BAD";
    case velorix::FRAME_INCOMPLETE: return "INCOMPLETE";
  }
  return "?";
}

// The rule step by step: fewer than 2 bytes or fewer than L bytes are
// incomplete; L of 0 (and 1, which leaves no room for a checksum) is bad;
// otherwise the low byte of the sum of bytes 0..L-3 must equal byte L-2.
FrameVerdict Reference(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 2) return velorix::FRAME_INCOMPLETE;
  const std::size_t length = bytes[1];
  if (bytes.size() < length) return velorix::FRAME_INCOMPLETE;
  if (length == 0 || length == 1) return velorix::FRAME_BAD;
  std::uint8_t low = 0;  // wraps modulo 256 by itself
  for (auto it = bytes.begin(); it != bytes.begin() + static_cast<std::ptrdiff_t>(length - 2); ++it)
    low = static_cast<std::uint8_t>(low + *it);
  return low == bytes[length - 2] ? velorix::FRAME_OK : velorix::FRAME_BAD;
}

// Judges bytes held in a heap block of exactly their size.
FrameVerdict Judge(const std::uint8_t* bytes, std::size_t have) {
  const auto exact = std::make_unique<std::uint8_t[]>(have == 0 ? 1 : have);
  if (have) std::memcpy(exact.get(), bytes, have);
  // A block of one byte stands in for an empty one; `have` says 0 all the same.
  return velorix::CheckFrame(exact.get(), static_cast<int>(have));
}

// Longest prefix worth judging one by one: a frame is at most 255 bytes.
constexpr std::size_t PREFIX_LIMIT = 300;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The whole input, straight from libFuzzer's own exactly sized copy.
  {
    const std::vector<std::uint8_t> all(data, data + size);
    const FrameVerdict got = velorix::CheckFrame(data, static_cast<int>(size));
    FUZZ_CHECK(got == Reference(all), "whole input of %zu bytes: got %s, expected %s", size, Name(got),
               Name(Reference(all)));
  }

  // Every prefix, as the link's accumulation grows byte by byte.
  const std::size_t limit = std::min(size, PREFIX_LIMIT);
  FrameVerdict settled = velorix::FRAME_INCOMPLETE;
  for (std::size_t have = 0; have <= limit; ++have) {
    const FrameVerdict got = Judge(data, have);
    const FrameVerdict expected = Reference(std::vector<std::uint8_t>(data, data + have));
    FUZZ_CHECK(got == expected, "prefix of %zu bytes: got %s, expected %s", have, Name(got), Name(expected));
    if (settled != velorix::FRAME_INCOMPLETE)
      FUZZ_CHECK(got == settled, "prefix of %zu bytes: %s after %s", have, Name(got), Name(settled));
    settled = got;
  }

  // Framing: 01 L code payload, checksum appended. The input supplies the
  // code and the payload (at most 250 bytes, so L fits in its byte).
  if (size >= 1) {
    const std::size_t payload = std::min<std::size_t>(size - 1, 250);
    std::vector<std::uint8_t> frame(5 + payload, 0xEE);
    frame[0] = velorix::FRAME_START;
    frame[1] = static_cast<std::uint8_t>(frame.size());
    frame[2] = data[0];
    std::copy_n(data + 1, payload, frame.begin() + 3);
    const int count = static_cast<int>(frame.size()) - 2;
    FUZZ_CHECK(velorix::AppendChecksum(frame.data(), count) == count + 2, "AppendChecksum result");
    FUZZ_CHECK(Judge(frame.data(), frame.size()) == velorix::FRAME_OK, "framed %zu bytes fail the check",
               frame.size());

    // The high checksum byte is not compared.
    std::vector<std::uint8_t> high = frame;
    high.back() = static_cast<std::uint8_t>(high.back() ^ data[size - 1] ^ 0x5A);
    FUZZ_CHECK(Judge(high.data(), high.size()) == velorix::FRAME_OK, "high checksum byte is compared");

    // Any change of one command or payload byte changes the low byte of the sum.
    const std::size_t at = 2 + data[size / 2] % (payload + 1);
    const std::uint8_t delta = static_cast<std::uint8_t>(data[size - 1] | 1);
    std::vector<std::uint8_t> changed = frame;
    changed[at] = static_cast<std::uint8_t>(changed[at] + delta);
    FUZZ_CHECK(Judge(changed.data(), changed.size()) == velorix::FRAME_BAD,
               "byte %zu changed by %u still passes", at, delta);

    // A negative count frames nothing and leaves the buffer alone.
    std::vector<std::uint8_t> untouched = frame;
    FUZZ_CHECK(velorix::AppendChecksum(untouched.data(), -1 - static_cast<int>(data[0])) == 0,
               "negative count");
    FUZZ_CHECK(untouched == frame, "negative count wrote to the buffer");
  }
  return 0;
}
