// velorix-sim: the instrument on a pseudo-terminal, for tests, demos and work
// without hardware. See Usage() for the options.

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "link/frame_codec.h"
#include "sim/archive_model.h"
#include "sim/faults.h"
#include "sim/frame_splitter.h"
#include "sim/pty_device.h"
#include "version.h"

namespace velorix::sim {
namespace {

constexpr const char* kUsage = R"(Usage: velorix-sim [options]

Simulated Velorix-5 on a pseudo-terminal. The first line on stdout is the
device path of the pty (the program's side); open it like a serial port, or
map a COM port to it, e.g. VELORIX_COM2=<path or --link>. Runs until SIGTERM
or SIGINT.

Answers: the probe / end frame 01 05 FF 05 01 is echoed; code 11 gets the
archive pointer (7 bytes), code 12 the empty-cell table (54 bytes), code 10 the
record of the requested ring index modulo 2000 (38 bytes). Other codes get no
answer. Half a frame is dropped after 200 ms of silence on the line.

Archive:
  --archive-number N   generate archive number N (default 1)
  --archive-file FILE  serve the archive in FILE instead (64048 bytes: 2000
                       records of 32 bytes in ring order, then 6 co floats and
                       6 tgDo floats, little-endian)
  --tests W            the instrument has made W tests since its archive was
                       cleared (0..10000000): the ring holds the last 2000 (all
                       of them while W < 2000; unused slots are all 0xFF) and
                       the pointer is W mod 2000. Runs with W and then W+K
                       serve K new records; the same W with another
                       --archive-number is another instrument
  --pointer N          archive pointer reported by code 11 (default 5, or the
                       one --tests gives; 0..65535)
  --dump-archive FILE  write the archive in use to FILE (same format), then
                       carry on serving
  --dump-only          with --dump-archive: write the file and exit, no pty

Set-up and logging:
  --link PATH          create a symbolic link PATH to the pty (an existing
                       symbolic link is replaced); removed on exit
  --log FILE           append one line per received frame, hex, e.g.
                       "01 07 0A CB 07 E4 00", flushed at once; lines starting
                       with '#' are bytes that formed no frame
  --quiet              nothing on stderr except errors
  --help               this text
  --version            the simulator's version

Faults. A request is every checked frame whose code is not 255, counted from
1, repeats included; code-255 frames (the probe) are never counted.
  --silent             answer nothing, not even the probe
  --silent-after K     answer probes and the first K requests, then nothing
  --drop N             leave request N unanswered (its repeat is request N+1)
  --corrupt N          reply to request N with a wrong low checksum byte
  --corrupt-every N    the same for every request whose number is a multiple of N
  --corrupt-first-try  the same for every request that is not a repeat (the
                       same frame as the request just before): each reply
                       comes corrupt once, and clean when the request repeats
  --pieces SIZE,GAP_MS[-MAX_MS][@K]
                       send every reply in pieces of SIZE bytes, GAP_MS apart
                       (with -MAX_MS each gap between GAP_MS and MAX_MS, the
                       same every run); with @K only the reply to request K
                       (@0: the first probe's echo). The simulator reads
                       nothing meanwhile.
  --garbage N[@K]      send N junk bytes just before the reply to request K;
                       without @K before every request's reply; @0: before
                       the first probe's echo
  --flood N[@K]        send N noise bytes right after the first probe's echo,
                       or after the reply to request K
  --probe-reply HEX    answer code-255 frames with these bytes ("" = nothing)
  --reply-code CODE[@K]
                       from request K on (without @K: every request) reply
                       with a well-formed frame of the usual size that carries
                       command code CODE (0..255) instead of the request's;
                       e.g. 255 (the end code): the PC takes the frame and
                       changes nothing, so a download stands still
  --baud N             pace the line like N baud, 11 bits a byte: a reply
                       starts after the request's own time on the wire and
                       leaves byte by byte
  --pause K,MS         on receiving request K, answer nothing for MS ms, then
                       answer request K and everything received meanwhile
                       (repeats included), in order, back to back: a busy
                       instrument that comes back to a queue of requests
  --noise MS[@K]       line noise: one junk byte (never 01) every MS ms, from
                       request K on (default 1), whatever else goes on
  --exit-after K       on receiving request K, close the pty without answering
                       and exit: the program's port hangs up (EIO), like an
                       adapter pulled out
)";

struct Options {
  std::uint32_t archiveNumber = DEFAULT_ARCHIVE_NUMBER;
  int pointer = DEFAULT_POINTER;
  bool pointerGiven = false;
  long tests = -1;  // --tests; -1: the fixed archive
  std::string archiveFile, dumpFile, linkPath, logFile;
  bool dumpOnly = false, quiet = false;
  WireShape shape;
  FaultPlan faults;
};

volatile std::sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;

void OnSignal(int) {
  g_stop = 1;
  const char byte = 0;
  [[maybe_unused]] ssize_t ignored = write(g_wakeWrite, &byte, 1);
}

std::optional<long> ParseInt(std::string_view text, long low, long high) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',' || c == '-') continue;
    digits += c;
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    unsigned value = 0;
    const char* first = digits.data() + i;
    const auto [end, ec] = std::from_chars(first, first + 2, value, 16);
    if (ec != std::errc() || end != first + 2) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

// "N" or "N@K" with both in range.
bool ParseCountAt(std::string_view text, int& count, int& at) {
  const auto sep = text.find('@');
  const auto n = ParseInt(text.substr(0, sep), 0, 1000000);
  if (!n) return false;
  count = static_cast<int>(*n);
  if (sep == std::string_view::npos) return true;
  const auto k = ParseInt(text.substr(sep + 1), 0, 1000000000);
  if (!k) return false;
  at = static_cast<int>(*k);
  return true;
}

bool ParseArgs(int argc, char** argv, Options& o, std::string& error) {
  // Each option once: a second value would silently replace the first.
  std::set<std::string> given;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    if (!given.insert(name).second) {
      error = "option " + name + " is given more than once";
      return false;
    }
    const auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < argc) return std::string(argv[++i]);
      return std::nullopt;
    };
    const auto number = [&](long low, long high, auto& out) {
      const auto v = value();
      const auto n = v ? ParseInt(*v, low, high) : std::nullopt;
      if (!n) return false;
      out = static_cast<std::remove_reference_t<decltype(out)>>(*n);
      return true;
    };
    bool ok = true;
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (name == "--version" || name == "-V") {
      std::printf("velorix-sim %s\n", VELORIX_FILE_VERSION);
      std::exit(0);
    } else if (name == "--archive-number") ok = number(0, 4294967295L, o.archiveNumber);
    else if (name == "--pointer") {
      ok = number(0, 65535, o.pointer);
      o.pointerGiven = true;
    }
    else if (name == "--tests") ok = number(0, 10000000, o.tests);
    else if (name == "--archive-file") ok = (o.archiveFile = value().value_or("")) != "";
    else if (name == "--dump-archive") ok = (o.dumpFile = value().value_or("")) != "";
    else if (name == "--dump-only") o.dumpOnly = true;
    else if (name == "--link") ok = (o.linkPath = value().value_or("")) != "";
    else if (name == "--log") ok = (o.logFile = value().value_or("")) != "";
    else if (name == "--quiet") o.quiet = true;
    else if (name == "--silent") o.faults.silent = true;
    else if (name == "--silent-after") ok = number(0, 1000000000, o.faults.silentAfter);
    else if (name == "--drop") ok = number(1, 1000000000, o.faults.drop);
    else if (name == "--corrupt") ok = number(1, 1000000000, o.faults.corrupt);
    else if (name == "--corrupt-every") ok = number(1, 1000000000, o.faults.corruptEvery);
    else if (name == "--corrupt-first-try") o.faults.corruptFirstTry = true;
    else if (name == "--exit-after") ok = number(1, 1000000000, o.faults.exitAfter);
    else if (name == "--baud") ok = number(1, 4000000, o.shape.baud);
    else if (name == "--garbage") {
      const auto v = value();
      ok = v && ParseCountAt(*v, o.faults.garbageBytes, o.faults.garbageAt);
    } else if (name == "--flood") {
      const auto v = value();
      ok = v && ParseCountAt(*v, o.faults.floodBytes, o.faults.floodAt);
    } else if (name == "--reply-code") {
      const auto v = value();
      int code = -1, from = 1;
      ok = v && ParseCountAt(*v, code, from) && code <= 255 && from >= 1;
      if (ok) {
        o.faults.replyCode = code;
        o.faults.replyCodeFrom = from;
      }
    } else if (name == "--pause") {
      const auto v = value().value_or("");
      const auto comma = v.find(',');
      const auto at = ParseInt(std::string_view(v).substr(0, comma), 1, 1000000000);
      const auto ms = comma == std::string::npos ? std::nullopt
                                                 : ParseInt(std::string_view(v).substr(comma + 1), 1, 600000);
      ok = at && ms;
      if (ok) {
        o.faults.pauseAt = static_cast<int>(*at);
        o.faults.pauseMs = static_cast<int>(*ms);
      }
    } else if (name == "--probe-reply") {
      const auto v = value();
      const auto bytes = v ? ParseHex(*v) : std::nullopt;
      ok = bytes.has_value();
      if (ok) {
        o.faults.customProbeReply = true;
        o.faults.probeReply = *bytes;
      }
    } else if (name == "--pieces") {
      const auto v = value().value_or("");
      const auto comma = v.find(',');
      const auto at = v.find('@');
      const auto size = ParseInt(std::string_view(v).substr(0, comma), 1, 100000);
      const std::string_view gaps = comma == std::string::npos || (at != std::string::npos && at < comma)
                                        ? std::string_view()
                                        : std::string_view(v).substr(comma + 1, at - comma - 1);
      const auto dash = gaps.find('-');
      const auto gap = ParseInt(gaps.substr(0, dash), 0, 600000);
      const auto gapMax = dash == std::string_view::npos ? gap : ParseInt(gaps.substr(dash + 1), 0, 600000);
      const auto reply = at == std::string::npos
                             ? std::optional<long>(-1)
                             : ParseInt(std::string_view(v).substr(at + 1), 0, 1000000000);
      ok = size && gap && gapMax && *gapMax >= *gap && reply;
      if (ok) {
        o.shape.pieceSize = static_cast<int>(*size);
        o.shape.pieceGapMs = static_cast<int>(*gap);
        o.shape.pieceGapMaxMs = static_cast<int>(*gapMax);
        o.faults.piecesAt = static_cast<int>(*reply);
      }
    } else if (name == "--noise") {
      const auto v = value();
      int from = 1;
      ok = v && ParseCountAt(*v, o.faults.noiseEveryMs, from) && o.faults.noiseEveryMs > 0;
      o.faults.noiseFrom = from;
    } else {
      error = "unknown option " + name;
      return false;
    }
    if (!ok) {
      error = "bad or missing value for " + name;
      return false;
    }
  }
  if (o.dumpOnly && o.dumpFile.empty()) {
    error = "--dump-only needs --dump-archive FILE";
    return false;
  }
  return true;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

// Junk for --garbage and --flood: the same every run, never a valid frame start.
std::vector<std::uint8_t> Noise(int count, std::uint32_t& state) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
    if (b == FRAME_START) b = 0xEE;
  }
  return bytes;
}

class FrameLog {
 public:
  bool Open(const std::string& path) {
    if (path.empty()) return true;
    file_ = std::fopen(path.c_str(), "a");
    return file_ != nullptr;
  }
  ~FrameLog() {
    if (file_) std::fclose(file_);
  }
  void Line(const std::string& text) {
    if (!file_) return;
    std::fputs(text.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  std::FILE* file_ = nullptr;
};

int Serve(const Options& o, const SimArchive& archive) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("velorix-sim: pipe");
    return 1;
  }
  g_wakeWrite = wake[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  FrameLog log;
  if (!log.Open(o.logFile)) {
    std::fprintf(stderr, "velorix-sim: cannot open log %s: %s\n", o.logFile.c_str(),
                 std::strerror(errno));
    return 1;
  }
  PtyDevice pty;
  std::string error;
  if (!pty.Open(error) || (!o.linkPath.empty() && !pty.MakeLink(o.linkPath, error))) {
    std::fprintf(stderr, "velorix-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", pty.SlavePath().c_str());
  std::fflush(stdout);
  if (!o.quiet)
    std::fprintf(stderr, "velorix-sim: serving %s%s%s, archive pointer %d\n",
                 pty.SlavePath().c_str(), o.linkPath.empty() ? "" : " as ",
                 o.linkPath.c_str(), o.pointer);

  WireWriter wire(pty.MasterFd(), o.shape, &g_stop);
  FaultState faults(o.faults);
  FrameSplitter splitter(200);
  std::uint32_t noiseState = 0xC0FFEE;
  std::vector<std::uint8_t> frame;
  std::uint8_t buffer[512];
  // During a pause (--pause) frames are held here and answered once it ends.
  struct Held {
    std::vector<std::uint8_t> frame;
    FrameDecision decision;
  };
  std::deque<Held> held;
  std::int64_t pauseEndMs = 0;
  std::int64_t noiseDueMs = -1;  // -1: no noise (yet)

  const auto answer = [&](const std::vector<std::uint8_t>& request, const FrameDecision& d) {
    std::vector<std::uint8_t> out = Noise(d.garbageBefore, noiseState);
    std::vector<std::uint8_t> reply =
        request[2] == CMD_END && o.faults.customProbeReply
            ? o.faults.probeReply
            : ReplyTo(archive, o.pointer, request.data(), static_cast<int>(request.size()));
    if (d.replyCode >= 0 && reply.size() >= 5) {
      reply[2] = static_cast<std::uint8_t>(d.replyCode);
      AppendChecksum(reply.data(), static_cast<int>(reply.size()) - 2);
    }
    if (d.corrupt && reply.size() >= 2) reply[reply.size() - 2] ^= 0xFF;
    out.insert(out.end(), reply.begin(), reply.end());
    const auto flood = Noise(d.floodAfter, noiseState);
    out.insert(out.end(), flood.begin(), flood.end());
    if (!out.empty() && !wire.Send(out.data(), out.size(), d.inPieces) && !g_stop && !o.quiet)
      std::fprintf(stderr, "velorix-sim: reply not taken by the reader, dropped\n");
  };

  while (!g_stop) {
    const std::int64_t nowMs = MonotonicNs() / 1000000;
    const std::int64_t pauseLeftMs = pauseEndMs - nowMs;
    if (!held.empty() && pauseLeftMs <= 0) {
      for (const Held& h : held)
        if (!g_stop) answer(h.frame, h.decision);
      held.clear();
      continue;
    }
    if (noiseDueMs < 0 && o.faults.noiseEveryMs > 0 && faults.Requests() >= o.faults.noiseFrom)
      noiseDueMs = nowMs + o.faults.noiseEveryMs;
    if (noiseDueMs >= 0 && nowMs >= noiseDueMs) {
      wire.Send(Noise(1, noiseState).data(), 1, false);
      noiseDueMs = nowMs + o.faults.noiseEveryMs;  // after a long send: one byte, not a burst
      continue;
    }
    std::int64_t timeoutMs = held.empty() ? -1 : pauseLeftMs;
    if (noiseDueMs >= 0) timeoutMs = timeoutMs < 0 ? noiseDueMs - nowMs : std::min(timeoutMs, noiseDueMs - nowMs);
    pollfd fds[2] = {{pty.MasterFd(), POLLIN, 0}, {wake[0], POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(timeoutMs));
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::perror("velorix-sim: poll");
      return 1;
    }
    if (g_stop) break;
    if (ready == 0) continue;
    const ssize_t got = read(pty.MasterFd(), buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      // Cannot happen while the held slave is open; don't spin if it does.
      std::fprintf(stderr, "velorix-sim: pty read failed: %s\n", std::strerror(errno));
      return 1;
    }
    const auto stale =
        splitter.Add(buffer, static_cast<int>(got), MonotonicNs() / 1000000);
    if (!stale.empty()) log.Line("# dropped " + Hex(stale));

    for (auto result = splitter.Next(frame); result != FrameSplitter::NOTHING && !g_stop;
         result = splitter.Next(frame)) {
      if (result == FrameSplitter::BAD) {
        log.Line("# bad " + Hex(frame));
        continue;
      }
      log.Line(Hex(frame));
      wire.ReceivedOverWire(frame.size());
      const FrameDecision d = faults.OnFrame(frame);
      if (d.vanish) {
        if (!o.quiet)
          std::fprintf(stderr, "velorix-sim: request %d received, hanging up\n",
                       faults.Requests());
        pty.Vanish();
        return 0;
      }
      if (!d.answer) continue;
      if (d.pause) pauseEndMs = MonotonicNs() / 1000000 + o.faults.pauseMs;
      if (!held.empty() || MonotonicNs() / 1000000 < pauseEndMs)
        held.push_back({frame, d});
      else
        answer(frame, d);
    }
  }
  if (!o.quiet) std::fprintf(stderr, "velorix-sim: stopped\n");
  return 0;
}

}  // namespace
}  // namespace velorix::sim

int main(int argc, char** argv) {
  using namespace velorix::sim;
  Options options;
  std::string error;
  if (!ParseArgs(argc, argv, options, error)) {
    std::fprintf(stderr, "velorix-sim: %s (see --help)\n", error.c_str());
    return 2;
  }
  SimArchive archive;
  if (!options.archiveFile.empty()) {
    if (!LoadArchiveFile(options.archiveFile, archive, error)) {
      std::fprintf(stderr, "velorix-sim: %s\n", error.c_str());
      return 1;
    }
  } else if (options.tests >= 0) {
    archive = GenerateArchiveAfterTests(options.archiveNumber, options.tests);
    if (!options.pointerGiven) options.pointer = static_cast<int>(options.tests % RING_SLOTS);
  } else {
    archive = GenerateArchive(options.archiveNumber);
  }
  if (!options.dumpFile.empty() && !SaveArchiveFile(options.dumpFile, archive, error)) {
    std::fprintf(stderr, "velorix-sim: %s\n", error.c_str());
    return 1;
  }
  if (options.dumpOnly) return 0;
  return Serve(options, archive);
}
