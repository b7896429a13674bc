#include "link/frame_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/device_link.h"

namespace velorix {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct FramingCase {
  std::string name;
  Bytes request;    // start, length, code, payload
  int count;        // passed to AppendChecksum
  Bytes expected;   // the buffer afterwards (sentinels included)
  int result;
};

class FramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingTest, AppendsSumLowByteFirst) {
  const FramingCase& c = GetParam();
  Bytes buffer = c.request;
  buffer.resize(c.expected.size(), 0xEE);
  EXPECT_EQ(AppendChecksum(buffer.data(), c.count), c.result);
  EXPECT_EQ(buffer, c.expected);
  // The link offers the same operation to requesters.
  Bytes again = c.request;
  again.resize(c.expected.size(), 0xEE);
  EXPECT_EQ(CDeviceLink::AppendChecksum(again.data(), c.count), c.result);
  EXPECT_EQ(again, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codec, FramingTest,
    ::testing::Values(
        FramingCase{"ArchivePointer", {0x01, 0x05, 0x0B}, 3, {0x01, 0x05, 0x0B, 0x11, 0x00}, 5},
        FramingCase{"EmptyCells", {0x01, 0x05, 0x0C}, 3, {0x01, 0x05, 0x0C, 0x12, 0x00}, 5},
        FramingCase{"EndIsTheProbe", {0x01, 0x05, 0xFF}, 3, {0x01, 0x05, 0xFF, 0x05, 0x01}, 5},
        FramingCase{"ReadRecordWithIndex", {0x01, 0x07, 0x0A, 0xCF, 0x07}, 5,
                    {0x01, 0x07, 0x0A, 0xCF, 0x07, 0xE8, 0x00}, 7},
        // 253 bytes of 0xFF: the largest sum, still 16 bits.
        FramingCase{"LargestSum", Bytes(253, 0xFF), 253,
                    [] { Bytes b(253, 0xFF); b.push_back(0x03); b.push_back(0xFC); return b; }(), 255},
        FramingCase{"NegativeCountWritesNothing", {0x01, 0x05}, -1, {0x01, 0x05, 0xEE, 0xEE}, 0},
        FramingCase{"ZeroCountWritesTwoZeros", {}, 0, {0x00, 0x00, 0xEE}, 2}),
    [](const auto& info) { return info.param.name; });

TEST(Codec, ProbeFrameIsTheFramedEndCommand) {
  static_assert(CheckFrame(PROBE_FRAME.data(), 5) == FRAME_OK);
  std::uint8_t framed[5] = {FRAME_START, 5, CMD_END};
  AppendChecksum(framed, 3);
  EXPECT_TRUE(std::equal(framed, framed + 5, PROBE_FRAME.begin()));
}

struct JudgeCase {
  std::string name;
  Bytes bytes;
  FrameVerdict verdict;
};

class JudgeTest : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(JudgeTest, Whole) {
  const JudgeCase& c = GetParam();
  // Exactly as many bytes as given: an address checker sees any read beyond.
  auto* exact = new std::uint8_t[c.bytes.size() + 1];
  std::copy(c.bytes.begin(), c.bytes.end(), exact);
  EXPECT_EQ(CheckFrame(exact, static_cast<int>(c.bytes.size())), c.verdict);
  delete[] exact;
}

// Fed one byte at a time, as the link assembles them, the verdict on the
// whole is the same, and no prefix is taken for a good frame early.
TEST_P(JudgeTest, OneByteAtATime) {
  const JudgeCase& c = GetParam();
  FrameVerdict last = FRAME_INCOMPLETE;
  for (std::size_t have = 0; have <= c.bytes.size(); ++have) {
    last = CheckFrame(c.bytes.data(), static_cast<int>(have));
    if (last != FRAME_INCOMPLETE) {
      // Once judged, every longer input holding the same frame is judged alike.
      for (std::size_t more = have; more <= c.bytes.size(); ++more)
        EXPECT_EQ(CheckFrame(c.bytes.data(), static_cast<int>(more)), last) << more;
      break;
    }
  }
  EXPECT_EQ(last, c.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Codec, JudgeTest,
    ::testing::Values(
        JudgeCase{"Empty", {}, FRAME_INCOMPLETE},
        JudgeCase{"OneByte", {0x01}, FRAME_INCOMPLETE},
        JudgeCase{"FourOfFive", {0x01, 0x05, 0xFF, 0x05}, FRAME_INCOMPLETE},
        JudgeCase{"Probe", {0x01, 0x05, 0xFF, 0x05, 0x01}, FRAME_OK},
        JudgeCase{"HighByteNotCompared", {0x01, 0x05, 0xFF, 0x05, 0x00}, FRAME_OK},
        JudgeCase{"LowByteWrong", {0x01, 0x05, 0xFF, 0x06, 0x01}, FRAME_BAD},
        JudgeCase{"LengthZero", {0x01, 0x00}, FRAME_BAD},
        JudgeCase{"LengthZeroLonger", {0x01, 0x00, 0x01, 0x00, 0x00}, FRAME_BAD},
        JudgeCase{"LengthOne", {0x01, 0x01}, FRAME_BAD},
        JudgeCase{"LengthTwoSumsNothing", {0x00, 0x02}, FRAME_OK},
        JudgeCase{"StartByteNotCompared", {0x02, 0x05, 0xFF, 0x06, 0x01}, FRAME_OK},
        JudgeCase{"BytesAfterTheFrame", {0x01, 0x05, 0xFF, 0x05, 0x01, 0xAA, 0xBB}, FRAME_OK},
        JudgeCase{"MisalignedStaysIncomplete", {0x05, 0x0B, 0x11, 0x00}, FRAME_INCOMPLETE},
        JudgeCase{"SumWrapsModulo256", {0x01, 0x06, 0xFF, 0xFF, 0x05, 0x02}, FRAME_OK},
        JudgeCase{"PayloadByteChanged", {0x01, 0x07, 0x0B, 0xD0, 0x07, 0xE8, 0x00}, FRAME_BAD}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace velorix
