#include "shell/window_logic.h"

#include <climits>
#include <optional>

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

WriteOutcome WriteResultsFileUntilWritten(const DownloadStore& store, int sampleCount, int exportExcel,
                                          SaveDialog& dialog, const std::function<void(const std::string&)>& tell) {
  std::optional<WriteOutcome> failed;
  for (;;) {
    WriteOutcome outcome = WriteResultsFile(store, sampleCount, exportExcel, dialog, ResultsTime());
    if (outcome.kind == WriteOutcome::Written) return outcome;
    if (outcome.kind == WriteOutcome::Cancelled) return failed ? *failed : outcome;
    tell(NotWrittenText(outcome));
    failed = std::move(outcome);
  }
}

const char* DownloadEndText(const WriteOutcome& outcome) {
  switch (outcome.kind) {
    case WriteOutcome::Written: return FILE_WRITTEN_TEXT;
    case WriteOutcome::Failed: return NO_FILE_WRITTEN_TEXT;
    case WriteOutcome::Cancelled: break;
  }
  return nullptr;
}

std::string WholeArchiveSuffix(WholeArchiveReason reason) {
  switch (reason) {
    case WholeArchiveReason::Cleared: return "  Archive cleared: reading all.";
    case WholeArchiveReason::Overwritten: return "  Archive changed: reading all.";
    case WholeArchiveReason::NoMark: return "  First time: reading all.";
    case WholeArchiveReason::None: break;
  }
  return WAIT_FOR_READING_SUFFIX;
}

std::string WithoutHistory(std::string_view endText) { return std::string(endText) + " History not kept."; }

}  // namespace velorix
