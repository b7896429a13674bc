#include "shell/window_logic.h"

#include <climits>

#include "shell/port_devices.h"

namespace velorix {
namespace {

std::string TwoDigits(int value) {
  std::string text = std::to_string(value);
  return text.size() < 2 ? "0" + text : text;
}

}  // namespace

const char* const MONTH_NAMES[13] = {"ii", "jan", "feb", "mar", "apr", "may", "jun",
                                     "jul", "aug", "sep", "oct", "nov", "dec"};

std::string ClockLine1(const std::tm* local) {
  const int hour = local ? local->tm_hour : -1;
  const int minute = local ? local->tm_min : -1;
  const int second = local ? local->tm_sec : -1;
  return "  " + std::to_string(hour) + ":" + TwoDigits(minute) + ":" + TwoDigits(second);
}

std::string ClockLine2(const std::tm* local) {
  const int day = local ? local->tm_mday : 0;
  int month = local ? local->tm_mon + 1 : 0;
  if (month < 0 || month > 12) month = 0;
  return "    " + std::to_string(day) + " " + MONTH_NAMES[month];
}

unsigned DlgItemIntFromText(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  unsigned long long value = 0;
  bool any = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    any = true;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > UINT_MAX) return 0;
  }
  return any ? static_cast<unsigned>(value) : 0;
}

std::string StatusLineText(std::string_view workerText, std::string_view suffix) {
  std::string line(workerText);
  line += suffix;
  return line;
}

std::string PortGoneText(int portNumber, const std::string& device) {
  return "The port " + PortLabel(portNumber, device) + " is gone.";
}

std::string NotWrittenText(const WriteOutcome& outcome) {
  return "The file " + outcome.path + " was not written: " + outcome.error;
}

}  // namespace velorix
