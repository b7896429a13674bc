#pragma once

// The dates of --since and --until as an operator writes them, made into the
// history's "YYYY-MM-DD HH:MM:SS":
//   2026-12-01   2026-12-01T14:30   2026-12-01 14:30:15   (ISO 8601)
//   01.12.2026   01.12.26 14:30                            (as the files show dates)
// Two-digit years read as the workbook reads the instrument's: 69..99 are
// 1969..1999, 00..68 are 2000..2068. A range's start takes the first second
// of what is named, its end the last: --until 2026-12-01 takes the whole day.

#include <optional>
#include <string>

namespace velorix {

enum class RangeEnd { Start, End };

// Nothing when the text is no date (or a day the calendar lacks).
std::optional<std::string> ParseDateArgument(const std::string& text, RangeEnd end);

}  // namespace velorix
