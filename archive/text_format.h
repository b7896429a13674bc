#pragma once

// printf-like conversions for the results files that do not depend on the
// process locale and hold no fixed-size text: every number is written with a
// full stop and no grouping, and a value of any magnitude is written in full.
// Each function appends to `out`.

#include <string>

namespace velorix {

// The .xls and the .doc print every real with a full stop; the point is
// overwritten with these after formatting.
inline constexpr char xlsDecimalSeparator = '.';
inline constexpr char docDecimalSeparator = '.';

// "%d"
void AppendDecimal(std::string& out, long long value);

// "%02x" (zeroPad) or "%2x" (blank pad) of a value 0..255, lowercase digits.
void AppendHexByte(std::string& out, unsigned value, bool zeroPad);

// "%.<precision>f", or "%#.<precision>f" with alternateForm (a decimal point
// even when precision is 0). Infinities and NaNs come out as "inf", "-inf",
// "nan" and "-nan", the sign of a NaN included, as glibc's printf writes them.
// Returns the position in `out` of the number's decimal point, or
// std::string::npos when it has none.
std::size_t AppendFixed(std::string& out, double value, int precision, bool alternateForm);

// AppendFixed, then the decimal point (if any) overwritten with `separator`.
void AppendFixedWithSeparator(std::string& out, double value, int precision, bool alternateForm,
                              char separator);

}  // namespace velorix
