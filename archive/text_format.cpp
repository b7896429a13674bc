#include "archive/text_format.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace velorix {

void AppendDecimal(std::string& out, long long value) {
  char digits[24];  // a 64-bit integer in decimal with its sign is at most 20 characters
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void AppendHexByte(std::string& out, unsigned value, bool zeroPad) {
  static constexpr char kDigits[] = "0123456789abcdef";
  value &= 0xFF;
  if (value >= 0x10)
    out.push_back(kDigits[value >> 4]);
  else
    out.push_back(zeroPad ? '0' : ' ');
  out.push_back(kDigits[value & 0xF]);
}

std::size_t AppendFixed(std::string& out, double value, int precision, bool alternateForm) {
  if (precision < 0) precision = 6;
  if (std::isnan(value)) {
    out.append(std::signbit(value) ? "-nan" : "nan");
    return std::string::npos;
  }
  if (std::isinf(value)) {
    out.append(std::signbit(value) ? "-inf" : "inf");
    return std::string::npos;
  }
  // Grow the text until the number fits: a double in fixed notation can run to
  // more than 300 digits before the point.
  const std::size_t start = out.size();
  std::size_t room = 32 + static_cast<std::size_t>(precision);
  for (;;) {
    out.resize(start + room);
    const auto result =
        std::to_chars(out.data() + start, out.data() + out.size(), value, std::chars_format::fixed, precision);
    if (result.ec == std::errc()) {
      out.resize(static_cast<std::size_t>(result.ptr - out.data()));
      break;
    }
    room *= 2;
  }
  if (precision > 0) return out.find('.', start);
  if (alternateForm) {
    out.push_back('.');
    return out.size() - 1;
  }
  return std::string::npos;
}

void AppendFixedWithSeparator(std::string& out, double value, int precision, bool alternateForm,
                              char separator) {
  const std::size_t point = AppendFixed(out, value, precision, alternateForm);
  if (point != std::string::npos) out[point] = separator;
}

}  // namespace velorix
