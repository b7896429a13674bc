#include "console/headless_runner.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_download.h"
#include "archive/archive_record.h"
#include "archive/results_file.h"
#include "archive/results_sink.h"
#include "fileio/file_system.h"
#include "fileio/safe_replace.h"
#include "link/device_link.h"
#include "link/frame_codec.h"
#include "link/link_state.h"
#include "console/console_process.h"
#include "shell/download_history.h"
#include "shell/port_devices.h"
#include "shell/printable.h"
#include "console/queued_link_owner.h"
#include "shell/settings.h"
#include "console/terminal_progress.h"

namespace velorix {
namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NOTHING_NEW = 3;

const char* const NOT_CONNECTED_STATUS = " Device do't connected.";
const char* const FILE_WRITTEN = "File is written.";
const char* const NOT_FOUND_TEXT = "The instrument was not found";
const char* const NO_FILE_TEXT = "; no file was written.";
const char* const GROUP_HINT =
    "To use the serial ports, add the user to the 'dialout' group: sudo usermod -aG dialout $USER, then log "
    "in again.";
const char* const NO_ANSWER_TEXT = "The instrument stopped answering; no file was written.";
const char* const STALLED_TEXT = "The instrument stopped sending records; no file was written.";
const char* const STANDARD_OUTPUT_TEXT = "standard output";

// In the window the operator presses again when the download stands still;
// here nobody would. Only what the download stores counts as moving on: once
// it has stood still for longer than the link itself waits before giving up
// on a request, whatever the instrument sends, it never moves again.
constexpr auto STALL_LIMIT = std::chrono::milliseconds(REQUEST_WRITES * REPLY_TIMEOUT_MS + 5000);

bool InterruptRequested() { return CaughtInterrupt() != 0; }

std::string Counted(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// How a run ended: the exit status and the last line it prints, and the
// interrupt that ended it, if one did.
struct Ending {
  int status;
  std::string text;
  int interrupt = 0;
};

// The texts that come with every record; on a terminal they only update the
// progress line instead of filling the screen.
bool IsRoutineStatus(const std::string& text) {
  return text == " Waiting response." || text == " Response OK.";
}

class HeadlessView : public DownloadView {
 public:
  HeadlessView(const DownloadStore& store, const CommandLine& line, TerminalProgress& progress,
               DownloadHistory& history, const std::string& port)
      : store_(store), line_(line), progress_(progress), history_(history), port_(port) {}

  // Kept before the file is written: a file that can't be written costs no
  // record, and the history never costs the file.
  void DownloadComplete(const CompletedDownload& download) override {
    completed = download;
    const std::optional<StoredDownload> stored = history_.Keep(store_, download, port_, std::time(nullptr));
    if (const std::string notice = history_.TakeNotice(); !notice.empty()) progress_.Error(notice);
    // Said of a download of new records, where the history is the point.
    if (stored && download.count > 0 && line_.newRecords)
      progress_.Line("Kept in the history: " + Counted(stored->records, "record", "records") + ", " +
                     std::to_string(stored->fresh) + " of them new");
  }
  void ReadingWholeArchive(WholeArchiveReason reason) override { progress_.Status(WholeArchiveText(reason), true); }

  void SetProgressRange(int low, int high) override { progress_.SetRange(low, high); }
  void SetProgressPos(int pos) override { progress_.SetPos(pos); }
  void SetStatusSuffix(const std::string& suffix) override { statusSuffix = suffix; }
  void ShowMessageBox(const std::string& text) override { progress_.Error(text); }

  void WriteResultsFile(int sampleCount) override {
    // The command line has named the file and its format: no dialog to ask.
    // An interrupt while the file is written leaves the older file as it was.
    std::unique_ptr<ResultsSink> sink;
    if (line_.output == STANDARD_OUTPUT_NAME) {
      sink = std::make_unique<StreamResultsSink>(STANDARD_OUTPUT_FD, InterruptRequested);
      if (StandardOutputIsTerminal()) progress_.Clear();
    } else {
      sink = std::make_unique<FileResultsSink>(InterruptRequested);
    }
    outcome = WriteResultsFileTo(store_, sampleCount, line_.format, line_.output, ResultsTime(), *sink);
    slots = sampleCount;
    written = WrittenRecordCount(DownloadedRecords(store_, sampleCount));
    if (outcome->kind == WriteOutcome::Written) {
      // A line of its own here: glued to the end reply's status on the bar,
      // as the window's status line shows it, it would read as one text.
      statusSuffix.clear();
      progress_.SetPos(0);
      progress_.Status(FILE_WRITTEN, true);
    }
  }

  std::string statusSuffix;
  std::optional<CompletedDownload> completed;  // set once the download is complete
  std::optional<WriteOutcome> outcome;  // set once the writer has run
  int slots = 0;                        // the slots the file was written from
  int written = 0;                      // the records in it

 private:
  const DownloadStore& store_;
  const CommandLine& line_;
  TerminalProgress& progress_;
  DownloadHistory& history_;
  const std::string& port_;
};

// --port names a device rather than a COM number.
bool NamedDevice(const CommandLine& line) { return !line.port.empty() && PortNameNumber(line.port) == 0; }

class HeadlessRun {
 public:
  HeadlessRun(const CommandLine& line, std::FILE* err)
      : line_(line), shownOutput_(ShownOutput(line.output)), progress_(err, line.verbosity),
        store_(std::make_unique<DownloadStore>()), ports_(PortDevices::FromEnvironment(SettingsFilePath())),
        link_(NamedDevice(line) ? PortDeviceResolver([device = line.port](int) { return PortDevice{device, {}}; })
                                : ports_.Resolver()),
        history_(line.history.empty() ? DefaultHistoryPath() : line.history),
        view_(*store_, line, progress_, history_, portText_), download_(link_, *store_, view_) {}

  Ending Run() {
    const std::string settingsNotice = SettingsFileNotice();
    if (!settingsNotice.empty()) progress_.Error(settingsNotice);
    // A port named for this run is tried alone; a device path stands in for
    // the number the settings file holds, so that is the number kept.
    int start = ReadPortSetting();
    if (!line_.port.empty()) {
      if (!NamedDevice(line_)) start = PortNameNumber(line_.port);
      link_.TryStartPortOnly();
    }
    link_.PortNumber(start);
    link_.Start(&owner_);
    // Placed before the instrument is found: the link sends it as soon as the
    // probe has been answered.
    if (line_.newRecords) {
      const std::optional<DownloadMark> mark = history_.LastMark();
      if (const std::string notice = history_.TakeNotice(); !notice.empty()) progress_.Error(notice);
      download_.OnReadNewRecords(mark);
    } else {
      download_.OnReadArchive(line_.count);
    }

    const Ending ending = Serve();
    // Said once: a file that was not read is not written either.
    if (const std::string notice = WritePortSetting(link_.PortNumber(-1)); !notice.empty() && settingsNotice.empty())
      progress_.Error(notice);
    progress_.End(ending.text);
    link_.Stop();
    return ending;
  }

 private:
  Ending Serve() {
    for (;;) {
      if (int interrupt = CaughtInterrupt()) return Interrupted(interrupt);
      FollowTerminalSize();
      if (found_ && download_.Busy() && std::chrono::steady_clock::now() - lastMove_ > STALL_LIMIT)
        return {EXIT_FAILED, STALLED_TEXT};
      std::optional<LinkNotice> notice = owner_.Take(std::chrono::milliseconds(100));
      if (!notice) continue;
      if (std::optional<Ending> ending = Handle(*notice)) return *ending;
      if (view_.outcome || (view_.completed && view_.completed->count == 0)) return Finish();
    }
  }

  void FollowTerminalSize() {
    if (TakeTerminalResize()) progress_.Resize();
  }

  // Handles one notice; says how the run ended when it is over.
  std::optional<Ending> Handle(const LinkNotice& notice) {
    switch (notice.kind) {
      case LinkNotice::Status:
        progress_.Status(notice.text + view_.statusSuffix, !IsRoutineStatus(notice.text));
        if (notice.text == NOT_CONNECTED_STATUS) {
          ReportUnusablePorts();
          return NotFound();
        }
        break;
      case LinkNotice::MessageBox:
        // The operator cannot close a box here; print it and go on, as the
        // window does once the box is closed. The ports tried come first:
        // the box that ends a search that found nothing is about them.
        ShowHeldPortTries();
        progress_.Error(notice.text);
        link_.MessageBoxClosed();
        break;
      case LinkNotice::PortTried:
        if (notice.text != "ok") {
          ReportPortTry(notice);
        } else if (!found_) {
          // The first request goes out only now.
          found_ = true;
          portText_ = PortLabel(notice.portNumber, notice.device);
          portTries_.clear();  // they led to the instrument: no error
          lastMove_ = std::chrono::steady_clock::now();
        }
        break;
      case LinkNotice::PortGone:
        // A file already written stays written.
        if (!view_.outcome) return Ending{EXIT_FAILED, "The port " + PortLabel(notice.portNumber, notice.device) + " is gone" + NO_FILE_TEXT};
        break;
      case LinkNotice::Frame:
        if (notice.frame.empty()) {
          download_.OnLinkFrame(nullptr, 0);
          // The link gave up mid-download.
          if (!view_.outcome) return Ending{EXIT_FAILED, NO_ANSWER_TEXT};
        } else {
          download_.OnLinkFrame(notice.frame.data(), static_cast<int>(notice.frame.size()));
          if (download_.Progress() > progressSeen_) {
            progressSeen_ = download_.Progress();
            lastMove_ = std::chrono::steady_clock::now();
          }
        }
        break;
    }
    return std::nullopt;
  }

  // Each port passed over, with why. Quiet, they are told only when no port
  // answered: then they are what went wrong.
  void ReportPortTry(const LinkNotice& notice) {
    const std::string port = PortLabel(notice.portNumber, notice.device);
    const std::string line = port + ": " + notice.text;
    if (line_.verbosity == Verbosity::Quiet)
      portTries_.push_back(line);
    else
      progress_.Line(line);
    // Silence is no reason worth the last line; a port another program holds,
    // or one this user may not open, is.
    if (notice.text == "missing" || notice.text == "no echo" || notice.text == "wrong echo") return;
    const std::string reason = notice.text == "busy" ? port + " is in use by another program" : line;
    if (std::find(unusable_.begin(), unusable_.end(), reason) == unusable_.end()) unusable_.push_back(reason);
    groupHint_ = groupHint_ || (notice.text == "permission denied" && !RunsAsSuperUser());
  }

  // "The instrument was not found; COM2 (/dev/ttyUSB0) is in use by another
  // program; no file was written."
  Ending NotFound() {
    if (groupHint_) progress_.Error(GROUP_HINT);
    std::string text = NOT_FOUND_TEXT;
    for (const std::string& reason : unusable_) text += "; " + reason;
    return {EXIT_FAILED, text + NO_FILE_TEXT};
  }

  void ShowHeldPortTries() {
    for (const std::string& line : portTries_) progress_.Error(line);
    portTries_.clear();
  }

  // Adapters the user may not open get no COM number; when the instrument
  // was not found, they are the likely reason.
  void ReportUnusablePorts() {
    ShowHeldPortTries();
    for (const SkippedPort& skipped : ports_.Map().skipped)
      if (skipped.port.access == FoundPort::PermissionDenied)
        progress_.Error("Passed over " + Printable(skipped.port.node) + ": " + Printable(skipped.reason));
  }

  // The writer has run. CMD_END was placed before it; wait for its answer (at
  // most one reply time-out) so the instrument always sees the download end,
  // and for the status the link follows the answer with at once.
  Ending Finish() {
    using std::chrono::steady_clock;
    auto deadline = steady_clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
    bool answered = false;
    while (!CaughtInterrupt()) {
      FollowTerminalSize();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
      if (left.count() <= 0) break;
      std::optional<LinkNotice> notice = owner_.Take(left);
      if (!notice) break;
      Handle(*notice);
      if (notice->kind == LinkNotice::PortGone || (answered && notice->kind == LinkNotice::Status)) break;
      if (!answered && notice->kind == LinkNotice::Frame) {
        answered = true;
        deadline = steady_clock::now() + std::chrono::seconds(1);
      }
    }
    // Whatever else is already queued.
    while (std::optional<LinkNotice> notice = owner_.Take(std::chrono::milliseconds(20)))
      if (notice->kind != LinkNotice::Frame) Handle(*notice);

    if (!view_.outcome) return {EXIT_NOTHING_NEW, NothingNewText(view_.completed->pointer) + NO_FILE_TEXT};
    const WriteOutcome& outcome = *view_.outcome;
    if (outcome.kind == WriteOutcome::Written) return Written();
    if (outcome.error == INTERRUPTED_TEXT) return Interrupted(CaughtInterrupt());
    // A reader that stopped early (| head): end quietly, as other tools do.
    if (line_.output == STANDARD_OUTPUT_NAME && outcome.error == SystemErrorText(EPIPE))
      return {EXIT_FAILED, "", ClosedPipeInterrupt()};
    const std::string named = line_.output == STANDARD_OUTPUT_NAME ? shownOutput_ : Printable(line_.output);
    return {EXIT_FAILED, "The results file was not written: " + named + ": " + outcome.error};
  }

  // "Wrote 90 records to /path/results.xls (10 slots held no result)"
  Ending Written() const {
    std::string text = "Wrote " + Counted(view_.written, "record", "records") + " to " + shownOutput_;
    if (const int empty = view_.slots - view_.written; empty > 0)
      text += " (" + Counted(empty, "slot", "slots") + " held no result)";
    return {0, text};
  }

  Ending Interrupted(int interrupt) const {
    return {EXIT_FAILED, "Interrupted by " + InterruptName(interrupt) + "; no file was written.", interrupt};
  }

  const CommandLine& line_;
  const std::string shownOutput_;
  TerminalProgress progress_;
  std::unique_ptr<DownloadStore> store_;
  QueuedLinkOwner owner_;
  PortDevices ports_;
  CDeviceLink link_;
  bool found_ = false;  // the instrument answered the probe
  int progressSeen_ = 0;
  std::chrono::steady_clock::time_point lastMove_ = std::chrono::steady_clock::now();
  std::vector<std::string> portTries_;  // held back while quiet
  std::vector<std::string> unusable_;   // ports that could not be used, and why
  bool groupHint_ = false;              // a port this user may not open
  std::string portText_;                // "COM2 (/dev/ttyUSB0)", once found
  DownloadHistory history_;
  HeadlessView view_;
  ArchiveDownload download_;
};

}  // namespace

// Why the results can't go where the command line says, before anything is
// opened or sent; empty when they can. The write itself can still fail later
// (a full disk, a file locked meanwhile).
std::string OutputRefusal(const CommandLine& line) {
  if (line.output == STANDARD_OUTPUT_NAME) return StandardOutputRefusal(line.format == ResultsFormat::Workbook);
  if (std::string reason = CheckOutputTarget(line.output); !reason.empty())
    return "The results file can't be written: " + Printable(line.output) + ": " + reason;
  return {};
}

// The output as the last line names it: standard output, or the file's
// absolute path as the system names it.
std::string ShownOutput(const std::string& output) {
  if (output == STANDARD_OUTPUT_NAME) return STANDARD_OUTPUT_TEXT;
  return Printable(AbsolutePath(output));
}

int RunHeadless(const CommandLine& line, std::FILE* err) {
  // Before the port is opened: a download of two minutes should not end in
  // a refusal that was certain from the start.
  if (const std::string refusal = OutputRefusal(line); !refusal.empty()) {
    std::fprintf(err, "%s\n", refusal.c_str());
    return EXIT_USAGE;
  }
  CatchInterrupts();
  const Ending ending = HeadlessRun(line, err).Run();
  if (ending.interrupt != 0) {
    std::fflush(err);
    EndAsInterrupted(ending.interrupt);
  }
  return ending.status;
}

}  // namespace velorix
