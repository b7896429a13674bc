#include "console/history_commands.h"

#include <cerrno>
#include <memory>
#include <string>

#include "archive/results_file.h"
#include "archive/results_sink.h"
#include "console/console_process.h"
#include "console/headless_runner.h"
#include "fileio/safe_replace.h"
#include "history/history.h"
#include "shell/download_history.h"
#include "shell/printable.h"

namespace velorix {
namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NOTHING = 3;

bool InterruptRequested() { return CaughtInterrupt() != 0; }

std::string HistoryPath(const CommandLine& line) { return line.history.empty() ? DefaultHistoryPath() : line.history; }

// The history, for reading; nullptr after saying why on `err`.
std::unique_ptr<History> OpenForReading(const std::string& path, std::FILE* err) {
  std::string problem;
  std::unique_ptr<History> history = History::Open(path, History::Access::ReadOnly, problem);
  if (history) return history;
  if (problem == SystemErrorText(ENOENT))
    std::fprintf(err, "There is no history at %s yet: the first download makes it.\n", Printable(path).c_str());
  else
    std::fprintf(err, "The history %s can't be read: %s\n", Printable(path).c_str(), Printable(problem).c_str());
  return nullptr;
}

std::string RangeText(const CommandLine& line) {
  if (line.since.empty() && line.until.empty()) return {};
  if (line.until.empty()) return " (tests from " + line.since + " on)";
  if (line.since.empty()) return " (tests up to " + line.until + ")";
  return " (tests from " + line.since + " to " + line.until + ")";
}

}  // namespace

int RunHistoryExport(const CommandLine& line, std::FILE* err) {
  if (const std::string refusal = OutputRefusal(line); !refusal.empty()) {
    std::fprintf(err, "%s\n", refusal.c_str());
    return EXIT_USAGE;
  }
  const std::string path = HistoryPath(line);
  std::unique_ptr<History> history = OpenForReading(path, err);
  if (!history) return EXIT_FAILED;
  std::string problem;
  const std::optional<SelectedRecords> selected = history->Select({line.since, line.until}, problem);
  if (!selected) {
    std::fprintf(err, "The history %s can't be read: %s\n", Printable(path).c_str(), Printable(problem).c_str());
    return EXIT_FAILED;
  }
  if (selected->records.empty() || !selected->hasTable) {
    std::fprintf(err, "No records in the history%s; no file was written.\n", RangeText(line).c_str());
    return EXIT_NOTHING;
  }

  CatchInterrupts();
  std::unique_ptr<ResultsSink> sink;
  if (line.output == STANDARD_OUTPUT_NAME)
    sink = std::make_unique<StreamResultsSink>(STANDARD_OUTPUT_FD, InterruptRequested);
  else
    sink = std::make_unique<FileResultsSink>(InterruptRequested);
  const ResultsSource source{selected->records, selected->emptyCells};
  const WriteOutcome outcome = WriteResultsFileTo(source, line.format, line.output, ResultsTime(), *sink);
  if (outcome.kind != WriteOutcome::Written) {
    if (const int interrupt = CaughtInterrupt()) {
      std::fprintf(err, "Interrupted by %s; no file was written.\n", InterruptName(interrupt).c_str());
      std::fflush(err);
      EndAsInterrupted(interrupt);
      return EXIT_FAILED;
    }
    std::fprintf(err, "The results file was not written: %s: %s\n", ShownOutput(line.output).c_str(),
                 Printable(outcome.error).c_str());
    return EXIT_FAILED;
  }
  const int written = WrittenRecordCount(source);
  std::fprintf(err, "Wrote %d record%s from the history to %s%s\n", written, written == 1 ? "" : "s",
                 ShownOutput(line.output).c_str(), RangeText(line).c_str());
  return 0;
}

int RunHistoryInfo(const CommandLine& line, std::FILE* out, std::FILE* err) {
  const std::string path = HistoryPath(line);
  std::unique_ptr<History> history = OpenForReading(path, err);
  if (!history) return EXIT_FAILED;
  std::string problem;
  const std::optional<HistorySummary> s = history->Summarize(problem);
  if (!s) {
    std::fprintf(err, "The history %s can't be read: %s\n", Printable(path).c_str(), Printable(problem).c_str());
    return EXIT_FAILED;
  }
  std::string text = "History: " + Printable(path) + "\n";
  text += "Records: " + std::to_string(s->records) + " (" + std::to_string(s->samples) + " samples, " +
          std::to_string(s->emptyCellRecords) + " empty-cell records";
  if (s->undated > 0) text += "; " + std::to_string(s->undated) + " without a valid date";
  text += ")\n";
  if (!s->firstTest.empty()) text += "Tests: from " + s->firstTest + " to " + s->lastTest + "\n";
  text += "Downloads: " + std::to_string(s->downloads) + "\n";
  if (s->downloads > 0)
    text += "Last download: " + s->lastFinished + " from " + Printable(s->lastPort) + ", " + s->lastKind +
            ", archive pointer " + std::to_string(s->lastPointer) + ", " + std::to_string(s->lastRecords) +
            " records, " + std::to_string(s->lastFresh) + " new\n";
  if (std::fputs(text.c_str(), out) < 0 || std::fflush(out) != 0) {
    std::fprintf(err, "standard output: %s\n", SystemErrorText(errno != 0 ? errno : EIO).c_str());
    return EXIT_FAILED;
  }
  return 0;
}

}  // namespace velorix
