#pragma once

// Helpers shared by the fuzz targets: a property check that stops the run
// with a message libFuzzer shows next to the crashing input, and a reader
// that takes the input apart one field at a time (zeros once it runs out).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(condition, ...)                                          \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "property violated at %s:%d: %s\n  ", __FILE__, \
                   __LINE__, #condition);                                   \
      std::fprintf(stderr, __VA_ARGS__);                                    \
      std::fprintf(stderr, "\n");                                           \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

namespace velorix::fuzz {

class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  std::size_t Left() const { return Empty() ? 0 : size_ - pos_; }

  std::uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }

  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }

  std::uint32_t Long() {
    const std::uint32_t low = Word();
    return low | (static_cast<std::uint32_t>(Word()) << 16);
  }

  // count bytes; what the input no longer holds reads as zero.
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    std::vector<std::uint8_t> out(count, 0);
    for (std::size_t i = 0; i < count && !Empty(); ++i) out[i] = data_[pos_++];
    return out;
  }

  // Everything not yet read.
  std::vector<std::uint8_t> Rest() { return Bytes(Left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace velorix::fuzz
