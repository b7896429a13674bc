#include "console/date_argument.h"

#include <cctype>
#include <vector>

#include "archive/workbook_cells.h"

namespace velorix {
namespace {

// Runs of digits and the single characters between them: "01.12.26 14:30"
// gives 01 . 12 . 26 ' ' 14 : 30.
struct Token {
  std::string digits;
  char separator = 0;  // when digits is empty
};

std::vector<Token> Tokens(const std::string& text) {
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < text.size();) {
    if (std::isdigit(static_cast<unsigned char>(text[i]))) {
      Token token;
      while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) token.digits += text[i++];
      tokens.push_back(token);
    } else {
      tokens.push_back(Token{{}, text[i++]});
    }
  }
  return tokens;
}

std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

}  // namespace

std::optional<std::string> ParseDateArgument(const std::string& text, RangeEnd end) {
  const std::vector<Token> t = Tokens(text);
  const auto number = [&t](std::size_t i, std::size_t minDigits, std::size_t maxDigits) -> int {
    if (i >= t.size() || t[i].digits.size() < minDigits || t[i].digits.size() > maxDigits) return -1;
    return std::stoi(t[i].digits);
  };
  const auto is = [&t](std::size_t i, char c) { return i < t.size() && t[i].digits.empty() && t[i].separator == c; };

  int year, month, day;
  std::size_t i;
  if (is(1, '-') && is(3, '-')) {  // YYYY-MM-DD
    year = number(0, 4, 4);
    month = number(2, 1, 2);
    day = number(4, 1, 2);
  } else if (is(1, '.') && is(3, '.')) {  // DD.MM.YYYY or DD.MM.YY
    day = number(0, 1, 2);
    month = number(2, 1, 2);
    year = number(4, 2, 4);
    if (year >= 0 && t[4].digits.size() == 2) year = YearOfTwoDigits(year);
    else if (t.size() > 4 && t[4].digits.size() == 3) year = -1;
  } else {
    return std::nullopt;
  }
  i = 5;
  if (year < 1000 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;

  // The time of day, when given: T or a blank, hours:minutes, maybe :seconds.
  int hour = -1, minute = -1, second = -1;
  if (i < t.size()) {
    if (!is(i, 'T') && !is(i, ' ')) return std::nullopt;
    hour = number(i + 1, 1, 2);
    if (!is(i + 2, ':')) return std::nullopt;
    minute = number(i + 3, 2, 2);
    i += 4;
    if (is(i, ':')) {
      second = number(i + 1, 2, 2);
      if (second < 0 || second > 59) return std::nullopt;
      i += 2;
    }
    if (i != t.size() || hour < 0 || hour > 23 || minute < 0 || minute > 59) return std::nullopt;
  }
  const bool last = end == RangeEnd::End;
  if (hour < 0) hour = last ? 23 : 0;
  if (minute < 0) minute = last ? 59 : 0;
  if (second < 0) second = last ? 59 : 0;
  return std::to_string(year) + "-" + TwoDigits(month) + "-" + TwoDigits(day) + " " + TwoDigits(hour) + ":" +
         TwoDigits(minute) + ":" + TwoDigits(second);
}

}  // namespace velorix
