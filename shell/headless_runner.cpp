#include "shell/headless_runner.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "archive/archive_download.h"
#include "archive/archive_record.h"
#include "archive/results_file.h"
#include "archive/results_sink.h"
#include "link/device_link.h"
#include "link/frame_codec.h"
#include "link/link_state.h"
#include "shell/port_devices.h"
#include "shell/queued_link_owner.h"
#include "shell/settings.h"
#include "shell/terminal_progress.h"

namespace velorix {
namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char* const NOT_CONNECTED_STATUS = " Device do't connected.";
const char* const FILE_WRITTEN = "File is written.";
const char* const STALLED_TEXT = "The instrument stopped sending records; no file was written.";

// In the window the operator presses again when the instrument answers a
// request with a frame that moves nothing on (a well-formed reply of another
// code); here nobody would. Once the download has stood still for longer than
// the link itself waits before giving up on a request, it never moves again.
constexpr auto STALL_LIMIT = std::chrono::milliseconds(REQUEST_WRITES * REPLY_TIMEOUT_MS + 5000);

std::atomic<int> interruptSignal{0};

extern "C" void OnInterrupt(int signal) { interruptSignal.store(signal); }

bool InterruptRequested() { return interruptSignal.load() != 0; }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGHUP: return "SIGHUP";
    case SIGTERM: return "SIGTERM";
    default: return "SIGINT";
  }
}

// SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal or the ssh connection
// went away) end the run the orderly way, so the port is released and no
// file is half written. Standard error may be a pipe nobody reads any more:
// writing to it must fail, not kill the program.
void CatchInterrupts() {
  interruptSignal.store(0);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// The link as the download sees it, noting when the download last moved on
// (every reply it takes in places the next request).
class WatchedChannel : public RequestChannel {
 public:
  explicit WatchedChannel(RequestChannel& link) : link_(link) {}
  LinkState State() const override { return link_.State(); }
  void PlaceRequest(const std::uint8_t* frame, int length, int replyTimeoutMs) override {
    Restart();
    link_.PlaceRequest(frame, length, replyTimeoutMs);
  }
  void Restart() { lastMove_ = std::chrono::steady_clock::now(); }
  std::chrono::steady_clock::duration StillFor() const { return std::chrono::steady_clock::now() - lastMove_; }

 private:
  RequestChannel& link_;
  std::chrono::steady_clock::time_point lastMove_ = std::chrono::steady_clock::now();
};

// The texts that come with every record; on a terminal they only update the
// progress line instead of filling the screen.
bool IsRoutineStatus(const std::string& text) {
  return text == " Waiting response." || text == " Response OK.";
}

class HeadlessView : public DownloadView {
 public:
  HeadlessView(const DownloadStore& store, const CommandLine& line, TerminalProgress& progress)
      : store_(store), line_(line), progress_(progress) {}

  void SetProgressRange(int low, int high) override { progress_.SetRange(low, high); }
  void SetProgressPos(int pos) override { progress_.SetPos(pos); }
  void SetStatusSuffix(const std::string& suffix) override { statusSuffix = suffix; }
  void ShowMessageBox(const std::string& text) override { progress_.Line(text); }

  void WriteResultsFile(int sampleCount) override {
    // The command line has named the file and its format: no dialog to ask.
    // An interrupt while the file is written leaves the older file as it was.
    PosixResultsSink sink(InterruptRequested);
    outcome = WriteResultsFileTo(store_, sampleCount, line_.format, line_.output, std::time(nullptr), sink);
    if (outcome->kind == WriteOutcome::Written) {
      statusSuffix = FILE_WRITTEN;
      progress_.SetPos(0);
      progress_.Status(FILE_WRITTEN, true);
    }
  }

  std::string statusSuffix;
  std::optional<WriteOutcome> outcome;  // set once the writer has run

 private:
  const DownloadStore& store_;
  const CommandLine& line_;
  TerminalProgress& progress_;
};

class HeadlessRun {
 public:
  HeadlessRun(const CommandLine& line, std::FILE* err)
      : line_(line), progress_(err), store_(std::make_unique<DownloadStore>()),
        ports_(PortDevices::FromEnvironment(SettingsFilePath())), link_(ports_.Resolver()),
        channel_(link_), view_(*store_, line, progress_), download_(channel_, *store_, view_) {}

  int Run() {
    link_.PortNumber(ReadPortSetting());
    link_.Start(&owner_);
    // Placed before the instrument is found: the link sends it as soon as the
    // probe has been answered.
    download_.OnReadArchive(line_.count);

    int status = Serve();
    progress_.Finish();

    WritePortSetting(link_.PortNumber(-1));
    link_.Stop();
    return status;
  }

 private:
  int Serve() {
    for (;;) {
      if (int signal = interruptSignal.load()) return Interrupted(signal);
      if (found_ && download_.Busy() && channel_.StillFor() > STALL_LIMIT) {
        progress_.Line(STALLED_TEXT);
        return EXIT_FAILED;
      }
      std::optional<LinkNotice> notice = owner_.Take(std::chrono::milliseconds(100));
      if (!notice) continue;
      if (std::optional<int> status = Handle(*notice)) return *status;
      if (view_.outcome) return Finish();
    }
  }

  // Handles one notice; gives the exit status when the run is over.
  std::optional<int> Handle(const LinkNotice& notice) {
    switch (notice.kind) {
      case LinkNotice::Status:
        progress_.Status(notice.text + view_.statusSuffix, !IsRoutineStatus(notice.text));
        if (notice.text == NOT_CONNECTED_STATUS) {
          ReportUnusablePorts();
          return EXIT_FAILED;
        }
        break;
      case LinkNotice::MessageBox:
        // The operator cannot close a box here; print it and go on, as the
        // window does once the box is closed.
        progress_.Line(notice.text);
        link_.MessageBoxClosed();
        break;
      case LinkNotice::PortTried:
        if (notice.text != "ok") {
          ReportPortTry(notice);
        } else if (!found_) {
          // The first request goes out only now.
          found_ = true;
          channel_.Restart();
        }
        break;
      case LinkNotice::Frame:
        if (notice.frame.empty()) {
          download_.OnLinkFrame(nullptr, 0);
          if (!view_.outcome) return EXIT_FAILED;  // the link gave up mid-download
        } else {
          download_.OnLinkFrame(notice.frame.data(), static_cast<int>(notice.frame.size()));
        }
        break;
    }
    return std::nullopt;
  }

  void ReportPortTry(const LinkNotice& notice) {
    std::string line = "COM" + std::to_string(notice.portNumber) + " (" +
                       (notice.device.empty() ? std::string("no device") : notice.device) +
                       "): " + notice.text;
    if (notice.text.find("permission") != std::string::npos)
      line += " (add the user to the 'dialout' group: sudo usermod -aG dialout $USER, then log in again)";
    progress_.Line(line);
  }

  // Adapters the user may not open get no COM number; when the instrument
  // was not found, they are the likely reason.
  void ReportUnusablePorts() {
    for (const SkippedPort& skipped : ports_.Map().skipped)
      if (skipped.port.access == FoundPort::PermissionDenied)
        progress_.Line("Passed over " + skipped.port.node + ": " + skipped.reason);
  }

  // The writer has run. CMD_END was placed before it; wait for its answer (at
  // most one reply time-out) so the instrument always sees the download end.
  int Finish() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() < deadline && !interruptSignal.load()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      std::optional<LinkNotice> notice = owner_.Take(left);
      if (!notice) break;
      if (notice->kind == LinkNotice::Frame) answered = true;
      Handle(*notice);
    }
    // The status that follows the answer is already queued; show it too.
    while (std::optional<LinkNotice> notice = owner_.Take(std::chrono::milliseconds(20)))
      if (notice->kind != LinkNotice::Frame) Handle(*notice);

    const WriteOutcome& outcome = *view_.outcome;
    if (outcome.kind == WriteOutcome::Written) return 0;
    if (outcome.error == INTERRUPTED_TEXT) return Interrupted(interruptSignal.load());
    progress_.Line("The results file was not written: " + line_.output + ": " + outcome.error);
    return EXIT_FAILED;
  }

  int Interrupted(int signal) {
    progress_.Line(std::string("Interrupted by ") + SignalName(signal) + "; no file was written.");
    return EXIT_FAILED;
  }

  const CommandLine& line_;
  TerminalProgress progress_;
  std::unique_ptr<DownloadStore> store_;
  QueuedLinkOwner owner_;
  PortDevices ports_;
  CDeviceLink link_;
  WatchedChannel channel_;
  bool found_ = false;  // the instrument answered the probe
  HeadlessView view_;
  ArchiveDownload download_;
};

}  // namespace

int RunHeadless(const CommandLine& line, std::FILE* err) {
  if (line.count < 1 || line.count > 2000) {
    std::fprintf(err, "Number is incorrect (1...2000)\n");
    return EXIT_USAGE;
  }
  CatchInterrupts();
  HeadlessRun run(line, err);
  return run.Run();
}

}  // namespace velorix
