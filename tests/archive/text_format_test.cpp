#include "archive/text_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>

#include "printf_text.h"

namespace velorix {
namespace {

using test::Printf;

class CLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  }
  void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }

 private:
  std::string saved_;
};

TEST_F(CLocale, FixedMatchesPrintf) {
  const double values[] = {
      0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.5, -2.5, 0.25, 0.125, 0.05, 0.15, 0.35, 1e-5, 5e-6, 4.9999999e-6,
      5.5e-6, -0.00001, 9.99995, 9.999950000001, 99999.95, 123456789.0, 1e15, 1e22, 1e23, 2000.0, 50.0,
      // the values as they come from binary32 fields
      double{2.1834f}, double{0.0021f}, double{65.4321f}, double{0.00012f}, double{6.54321e-11f} * 1e12,
      double{1.25e-11f} * 1e12, double{0.1f}, double{FLT_MAX}, double{-FLT_MAX}, double{FLT_MIN},
      double{std::numeric_limits<float>::denorm_min()}, double{FLT_MAX} * 1e12, DBL_MAX, -DBL_MAX, DBL_MIN,
      std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
      double{std::numeric_limits<float>::quiet_NaN()}, double{-std::numeric_limits<float>::quiet_NaN()}};
  const struct {
    const char* format;
    int precision;
    bool alternate;
  } formats[] = {{"%.1f", 1, false}, {"%#.4f", 4, true}, {"%#.5f", 5, true}, {"%.0f", 0, false},
                 {"%#.0f", 0, true}, {"%.17f", 17, false}};
  for (const auto& f : formats) {
    for (double v : values) {
      std::string ours;
      AppendFixed(ours, v, f.precision, f.alternate);
      // The files carry the GNU C library's "-nan" on every system; others
      // print a NaN's sign or not.
      const std::string printf = std::isnan(v) ? (std::signbit(v) ? "-nan" : "nan") : Printf(f.format, v);
      EXPECT_EQ(ours, printf) << f.format << " of " << Printf("%a", v);
    }
  }
}

TEST_F(CLocale, FixedReportsItsDecimalPointAndKeepsWhatWasThere) {
  const struct {
    double value;
    int precision;
    bool alternate;
    std::string text;
    std::size_t point;  // within the appended text
  } cases[] = {
      {12.5, 4, true, "12.5000", 2},
      {-0.0, 1, false, "-0.0", 2},
      {3.0, 0, true, "3.", 1},
      {3.0, 0, false, "3", std::string::npos},
      {std::numeric_limits<double>::infinity(), 5, true, "inf", std::string::npos},
      {-std::numeric_limits<double>::quiet_NaN(), 5, true, "-nan", std::string::npos},
  };
  for (const auto& c : cases) {
    std::string out = "ab.";
    const std::size_t point = AppendFixed(out, c.value, c.precision, c.alternate);
    EXPECT_EQ(out, "ab." + c.text);
    EXPECT_EQ(point, c.point == std::string::npos ? c.point : c.point + 3) << c.text;
    std::string separated = "x.";
    AppendFixedWithSeparator(separated, c.value, c.precision, c.alternate, ',');
    std::string expected = "x." + c.text;
    if (c.point != std::string::npos) expected[c.point + 2] = ',';
    EXPECT_EQ(separated, expected);
  }
}

TEST_F(CLocale, HexBytesMatchPrintf) {
  for (unsigned v = 0; v < 256; ++v) {
    std::string zero, blank;
    AppendHexByte(zero, v, true);
    AppendHexByte(blank, v, false);
    EXPECT_EQ(zero, Printf("%02x", v));
    EXPECT_EQ(blank, Printf("%2x", v));
  }
}

TEST_F(CLocale, DecimalsMatchPrintf) {
  const long long values[] = {0, 1, -1, 7, 65535, 200, -128, 127, -50, std::numeric_limits<long long>::min(),
                              std::numeric_limits<long long>::max()};
  for (long long v : values) {
    std::string ours;
    AppendDecimal(ours, v);
    EXPECT_EQ(ours, Printf("%lld", v));
  }
}

}  // namespace
}  // namespace velorix
