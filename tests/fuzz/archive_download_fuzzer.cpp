// The archive download fed arbitrary reply frames in arbitrary order, with
// presses, link states and no-response notices in between, and the results
// writer run on every finished download into a memory sink.
//
// Input layout: 4 bytes of local time for the name proposal, then operations
// (op % 8):
//   0  press: count = op bit 7 ? word % 2100 : byte % 16
//   1  the link's state := byte % 4
//   2  a raw frame: count byte, the bytes (any content, unchecked)
//   3  a well-formed reply: (op >> 3) % 4 picks pointer (word), empty cells
//      (48 bytes), record (32 bytes) or CMD_END
//   4  the instrument answers the request placed last, (byte + 1) times, or
//      16 times that with op bit 7: pointer word, then a 32-byte record image
//      that each record reply varies by its ring index
//   5  the link gives up: state LINK_NO_RESPONSE, then the no-response notice
//   6  writer settings: format (op bit 3), cancel the dialog (op bit 4), run
//      (op >> 5) % 4 following operations while the dialog is open, then a
//      byte choosing a sink failure (>= 200: open fails at 200, else chunk k)
//   7  a frame of length 0 that is not the no-response notice
//
// Properties:
//  - 0 <= recordCount <= N in force <= 2000 after every step; the store (a
//    heap block of exactly its size) changes only where the download's own
//    contract says: the record reply goes to slot recordCount, the table
//    reply replaces the table, nothing else changes anything;
//  - every placed request is a well-formed frame of 5 or 7 bytes with one of
//    the four codes and the 3000 ms time-out, record indices within the ring
//    while the archive pointer is;
//  - the writer runs only on the record that completes N+1, with that N, and
//    while it runs (its dialog open) no reply changes the store;
//  - what the writer produces parses back into the records and the table it
//    was handed: one line or block per result slot among 0..N-1, every field
//    equal to the record's, reals within the rounding of their format;
//  - a cancelled dialog writes nothing; a failing sink ends in Failed and is
//    abandoned.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_download.h"
#include "archive/record_builder.h"
#include "archive/archive_record.h"
#include "archive/results_file.h"
#include "archive/results_sink.h"
#include "fuzz_support.h"
#include "link/frame_codec.h"

namespace {

using velorix::ArchiveRecord;
using velorix::DownloadStore;
using velorix::EmptyCellTable;
using velorix::LinkState;
using velorix::fuzz::InputReader;
using Bytes = std::vector<std::uint8_t>;

constexpr int RING = velorix::ARCHIVE_RING_SIZE;

// ---------------------------------------------------------------------------
// Reading the writer's output back.

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

unsigned ParseHex2(std::string_view text, bool blankPad, const char* what) {
  FUZZ_CHECK(text.size() == 2, "%s: \"%.*s\" is not two characters", what, static_cast<int>(text.size()), text.data());
  unsigned value = 0;
  for (std::size_t i = 0; i < 2; ++i) {
    const char c = text[i];
    if (i == 0 && c == (blankPad ? ' ' : '0')) continue;
    FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'), "%s: bad hex digit '%c'", what, c);
    FUZZ_CHECK(!(i == 0 && blankPad && c == '0'), "%s: zero where a blank pads", what);
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return value;
}

void CheckHex(std::string_view text, unsigned expected, bool blankPad, const char* what) {
  const unsigned got = ParseHex2(text, blankPad, what);
  FUZZ_CHECK(got == expected, "%s: %02x printed, record holds %02x", what, got, expected);
}

void CheckInteger(std::string_view text, long long expected, const char* what) {
  long long got = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), got);
  FUZZ_CHECK(result.ec == std::errc() && result.ptr == text.data() + text.size() && !text.empty(),
             "%s: \"%.*s\" is not an integer", what, static_cast<int>(text.size()), text.data());
  FUZZ_CHECK(got == expected, "%s: %lld printed, record holds %lld", what, got, expected);
}

// A real printed in fixed notation with `decimals` digits after a full stop
// (NaN and infinities as glibc prints them) gives back the value it came
// from, within half a unit of its last digit.
void CheckReal(std::string_view text, double expected, int decimals, const char* what) {
  const std::string shown(text);
  if (std::isnan(expected)) {
    FUZZ_CHECK(shown == (std::signbit(expected) ? "-nan" : "nan"), "%s: \"%s\" for a NaN", what, shown.c_str());
    return;
  }
  if (std::isinf(expected)) {
    FUZZ_CHECK(shown == (expected < 0 ? "-inf" : "inf"), "%s: \"%s\" for an infinity", what, shown.c_str());
    return;
  }
  const std::size_t point = shown.find('.');
  FUZZ_CHECK(point != std::string::npos && shown.size() - point - 1 == static_cast<std::size_t>(decimals),
             "%s: \"%s\" has not %d decimals", what, shown.c_str(), decimals);
  const std::size_t firstDigit = shown[0] == '-' ? 1 : 0;
  FUZZ_CHECK(point > firstDigit, "%s: \"%s\" has no digit before the point", what, shown.c_str());
  for (std::size_t i = firstDigit; i < shown.size(); ++i)
    FUZZ_CHECK(i == point || (shown[i] >= '0' && shown[i] <= '9'), "%s: \"%s\"", what, shown.c_str());
  double got = 0;
  const auto result = std::from_chars(shown.data(), shown.data() + shown.size(), got);
  FUZZ_CHECK(result.ec == std::errc() && result.ptr == shown.data() + shown.size(), "%s: \"%s\" does not parse",
             what, shown.c_str());
  const double tolerance = 0.5 * std::pow(10.0, -decimals) * (1 + 1e-9) + std::fabs(expected) * 1e-15;
  FUZZ_CHECK(std::fabs(got - expected) <= tolerance, "%s: \"%s\" for %.17g", what, shown.c_str(), expected);
}

double CoPicofarads(float co) { return static_cast<double>(co) * 1e12; }

// Cuts the text into lines; every line must end with a single LF.
std::vector<std::string_view> Lines(const std::string& text) {
  FUZZ_CHECK(!text.empty() && text.back() == '\n', "the file does not end with a line feed");
  FUZZ_CHECK(text.find('\r') == std::string::npos, "a carriage return in the file");
  std::vector<std::string_view> lines = Split(std::string_view(text).substr(0, text.size() - 1), '\n');
  return lines;
}

void CheckSpreadsheet(const std::string& text, const std::vector<ArchiveRecord>& records, const EmptyCellTable& cells) {
  const std::vector<std::string_view> lines = Lines(text);
  std::size_t at = 0;
  FUZZ_CHECK(lines.size() > at && lines[at] == "Time\tDate\tNc\tSample\tTemp.,\xD1\tU,V\tF,Hz\t\tEx,Co\ttgDx",
             "spreadsheet header");
  ++at;
  for (std::size_t slot = 0; slot < records.size(); ++slot) {
    const ArchiveRecord& r = records[slot];
    if (!velorix::isResult(r)) continue;
    FUZZ_CHECK(at < lines.size(), "no line for slot %zu", slot);
    const std::vector<std::string_view> f = Split(lines[at++], '\t');
    FUZZ_CHECK(f.size() == 10, "slot %zu: %zu fields", slot, f.size());
    const std::vector<std::string_view> time = Split(f[0], ':');
    FUZZ_CHECK(time.size() == 2, "slot %zu: time \"%.*s\"", slot, static_cast<int>(f[0].size()), f[0].data());
    CheckHex(time[0], r.bcdHour(), false, "hour");
    CheckHex(time[1], r.bcdMin(), false, "minute");
    const std::vector<std::string_view> date = Split(f[1], '.');
    FUZZ_CHECK(date.size() == 3, "slot %zu: date", slot);
    CheckHex(date[0], r.bcdDay(), false, "day");
    CheckHex(date[1], r.bcdMonth(), false, "month");
    CheckHex(date[2], r.bcdYear(), false, "year");
    CheckInteger(f[2], r.nc(), "nc");
    CheckInteger(f[3], r.sample(), "sample");
    if (velorix::hasTemperature(r))
      CheckInteger(f[4], r.temp(), "temp");
    else
      FUZZ_CHECK(f[4].empty(), "slot %zu: a temperature without a sensor", slot);
    CheckReal(f[5], r.u(), 1, "U");
    CheckReal(f[6], r.f(), 1, "F");
    FUZZ_CHECK(f[7] == (r.kind() == velorix::KIND_EMPTY_CELL ? "Co,pF" : "Ex"), "slot %zu: label", slot);
    CheckReal(f[8], r.exCo(), 4, "Ex/Co");
    CheckReal(f[9], r.tgD(), 5, "tgD");
  }
  FUZZ_CHECK(at + 8 == lines.size(), "%zu lines after the records, 8 expected", lines.size() - at);
  FUZZ_CHECK(lines[at++].empty(), "no empty line before the table");
  FUZZ_CHECK(lines[at++] == "Nc\tCo,pF\ttgDo", "table header");
  for (int i = 0; i < velorix::EMPTY_CELL_COUNT; ++i) {
    const std::vector<std::string_view> f = Split(lines[at++], '\t');
    FUZZ_CHECK(f.size() == 3, "table row %d: %zu fields", i, f.size());
    CheckInteger(f[0], i + 1, "cell number");
    CheckReal(f[1], CoPicofarads(cells.co[i]), 4, "table Co");
    CheckReal(f[2], cells.tgDo[i], 5, "table tgDo");
  }
}

std::string_view After(std::string_view line, std::string_view prefix, const char* what) {
  FUZZ_CHECK(line.substr(0, prefix.size()) == prefix, "%s: \"%.*s\"", what, static_cast<int>(line.size()),
             line.data());
  return line.substr(prefix.size());
}

// Splits "<a><middle><b>" at the first `middle`.
std::pair<std::string_view, std::string_view> Around(std::string_view text, std::string_view middle, const char* what) {
  const std::size_t at = text.find(middle);
  FUZZ_CHECK(at != std::string_view::npos, "%s: no \"%.*s\"", what, static_cast<int>(middle.size()), middle.data());
  return {text.substr(0, at), text.substr(at + middle.size())};
}

std::string_view Before(std::string_view text, std::string_view suffix, const char* what) {
  FUZZ_CHECK(text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix, "%s: ending",
             what);
  return text.substr(0, text.size() - suffix.size());
}

void CheckReport(const std::string& text, const std::vector<ArchiveRecord>& records, const EmptyCellTable& cells) {
  const std::string_view stars = "*****************************************************";
  const std::vector<std::string_view> lines = Lines(text);
  std::size_t at = 0;
  for (std::size_t slot = 0; slot < records.size(); ++slot) {
    const ArchiveRecord& r = records[slot];
    if (!velorix::isResult(r)) continue;
    FUZZ_CHECK(at + 7 <= lines.size(), "no block for slot %zu", slot);
    FUZZ_CHECK(lines[at++] == stars, "slot %zu: separator", slot);
    const std::string_view when = After(lines[at++], "Time of test: ", "time line");
    FUZZ_CHECK(when.size() == 14 && when[2] == ':' && when[5] == ' ' && when[8] == '/' && when[11] == '/',
               "slot %zu: time \"%.*s\"", slot, static_cast<int>(when.size()), when.data());
    CheckHex(when.substr(0, 2), r.bcdHour(), true, "hour");
    CheckHex(when.substr(3, 2), r.bcdMin(), false, "minute");
    CheckHex(when.substr(6, 2), r.bcdDay(), false, "day");
    CheckHex(when.substr(9, 2), r.bcdMonth(), false, "month");
    CheckHex(when.substr(12, 2), r.bcdYear(), false, "year");
    CheckInteger(After(lines[at++], "Measuring ceil N", "cell line"), r.nc(), "nc");
    CheckInteger(After(lines[at++], "Sample number ", "sample line"), r.sample(), "sample");
    if (velorix::hasTemperature(r))
      CheckInteger(Before(After(lines[at++], "Temperature ", "temperature"), " deg C.", "temperature"), r.temp(),
                   "temp");
    else
      FUZZ_CHECK(lines[at++] == "Temperature sensor is not available", "slot %zu: no-sensor line", slot);
    const auto [u, f] = Around(Before(After(lines[at++], "U=", "U line"), " Hz", "U line"), " V  F=", "U line");
    CheckReal(u, r.u(), 1, "U");
    CheckReal(f, r.f(), 1, "F");
    const std::string_view last = lines[at++];
    if (r.kind() == velorix::KIND_EMPTY_CELL) {
      const auto [co, tg] = Around(Before(After(last, "Co=", "Co line"), " ", "Co line"), " pF tgDo=", "Co line");
      CheckReal(co, r.exCo(), 4, "Co");
      CheckReal(tg, r.tgD(), 5, "tgDo");
    } else {
      const auto [ex, tg] = Around(Before(After(last, "Ex=", "Ex line"), " ", "Ex line"), "  tgDx=", "Ex line");
      CheckReal(ex, r.exCo(), 5, "Ex");
      CheckReal(tg, r.tgD(), 5, "tgDx");
    }
  }
  FUZZ_CHECK(at + 9 == lines.size(), "%zu lines after the records, 9 expected", lines.size() - at);
  FUZZ_CHECK(lines[at++] == stars, "closing separator");
  FUZZ_CHECK(lines[at++] == "Capacitance and dissipation factor of free ceils:", "closing title");
  for (int i = 0; i < velorix::EMPTY_CELL_COUNT; ++i) {
    const std::string_view rest = After(lines[at++], "Ceil N", "table row");
    const auto [number, values] = Around(rest, " Co=", "table row");
    CheckInteger(number, i + 1, "cell number");
    const auto [co, tg] = Around(values, " tgDo=", "table row");
    CheckReal(co, CoPicofarads(cells.co[i]), 4, "table Co");
    CheckReal(tg, cells.tgDo[i], 5, "table tgDo");
  }
  FUZZ_CHECK(lines[at++] == stars, "last separator");
}

// ---------------------------------------------------------------------------

void PutFloatBytes(std::uint8_t* at, std::uint32_t bits) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

using velorix::test::PointerReply;
using velorix::test::ReplyFrame;

// Record and table replies from raw bytes (any float bit patterns).
Bytes RecordReply(const Bytes& image32) {
  Bytes payload{0x00};
  payload.insert(payload.end(), image32.begin(), image32.end());
  return ReplyFrame(velorix::CMD_READ_RECORD, payload);
}

Bytes CellsReply(const Bytes& table48) {
  Bytes payload{0x77};
  payload.insert(payload.end(), table48.begin(), table48.end());
  return ReplyFrame(velorix::CMD_EMPTY_CELLS, payload);
}

// Bytes `from`..`from+count-1` of a frame, zero where the frame ends.
Bytes Take(const Bytes& frame, std::size_t from, std::size_t count) {
  Bytes out(count, 0);
  for (std::size_t i = 0; i < count && from + i < frame.size(); ++i) out[i] = frame[from + i];
  return out;
}

class MemorySink : public velorix::ResultsSink {
 public:
  bool Open(const std::string&) override {
    opened = true;
    if (failAt == 0) return false;
    return true;
  }
  bool Write(std::string_view chunk) override {
    FUZZ_CHECK(opened && !closed, "a write outside open and close");
    FUZZ_CHECK(!chunk.empty(), "an empty chunk");
    ++writes;
    if (writes == failAt) return false;
    text.append(chunk);
    return true;
  }
  bool Close() override {
    closed = true;
    return true;
  }
  void Abandon() override { abandoned = true; }
  std::string Error() const override { return "injected failure"; }

  int failAt = -1;  // 0: Open fails; k: the k-th write fails
  bool opened = false, closed = false, abandoned = false;
  int writes = 0;
  std::string text;
};

class Bench : public velorix::RequestChannel, public velorix::DownloadView, public velorix::SaveDialog {
 public:
  explicit Bench(InputReader& in)
      : in_(in), store_(std::make_unique<DownloadStore>()), shadow_(std::make_unique<DownloadStore>()),
        download_(*this, *store_, *this) {
    now_ = static_cast<std::time_t>(in_.Long());
  }

  void Run() {
    while (!in_.Empty()) Step();
    FUZZ_CHECK(std::memcmp(store_.get(), shadow_.get(), sizeof(DownloadStore)) == 0,
               "the store changed where no reply put anything");
  }

  // -- RequestChannel ------------------------------------------------------
  LinkState State() const override { return state_; }
  void PlaceRequest(const std::uint8_t* frame, int length, int replyTimeoutMs) override {
    FUZZ_CHECK(length == 5 || length == 7, "a request of %d bytes", length);
    FUZZ_CHECK(replyTimeoutMs == velorix::REPLY_TIMEOUT_MS, "time-out %d", replyTimeoutMs);
    FUZZ_CHECK(frame[0] == velorix::FRAME_START && frame[1] == length, "request header");
    FUZZ_CHECK(velorix::CheckFrame(frame, length) == velorix::FRAME_OK, "a request that fails CheckFrame");
    int sum = 0;
    for (int i = 0; i < length - 2; ++i) sum += frame[i];
    FUZZ_CHECK(frame[length - 2] == (sum & 0xFF) && frame[length - 1] == ((sum >> 8) & 0xFF), "request checksum");
    const std::uint8_t code = frame[2];
    if (code == velorix::CMD_READ_RECORD) {
      FUZZ_CHECK(length == 7, "a record request of %d bytes", length);
      const int index = frame[3] | (frame[4] << 8);
      if (download_.ArchivePointer() < RING) FUZZ_CHECK(index < RING, "record index %d", index);
    } else {
      FUZZ_CHECK(length == 5 && (code == velorix::CMD_ARCHIVE_POINTER || code == velorix::CMD_EMPTY_CELLS ||
                                 code == velorix::CMD_END),
                 "request code %u of %d bytes", code, length);
    }
    lastRequest_.assign(frame, frame + length);
    ++requests_;
  }

  // -- DownloadView --------------------------------------------------------
  void SetProgressRange(int low, int high) override {
    FUZZ_CHECK(low == 0 && high == download_.SampleCountInForce(), "progress range %d..%d", low, high);
  }
  void SetProgressPos(int pos) override {
    FUZZ_CHECK(pos >= 1 && pos <= download_.SampleCountInForce(), "progress position %d", pos);
  }
  void SetStatusSuffix(const std::string& suffix) override { suffix_ = suffix; }
  void ShowMessageBox(const std::string& text) override { boxes_.push_back(text); }

  void WriteResultsFile(int n) override {
    FUZZ_CHECK(feeding_ && feedCode_ == velorix::CMD_READ_RECORD && feedRecordCount_ == n,
               "the writer runs outside the reply that completes N+1 records");
    FUZZ_CHECK(n >= 1 && n <= velorix::MAX_SAMPLE_COUNT && n == download_.SampleCountInForce(), "writer count %d",
               n);
    FUZZ_CHECK(download_.RecordCount() == 0, "recordCount %d at the writer", download_.RecordCount());
    FUZZ_CHECK(lastRequest_.size() == 5 && lastRequest_[2] == velorix::CMD_END, "CMD_END not placed before the writer");
    // The slot of this reply is already in the store; bring the shadow up to date first.
    ApplyExpected();
    FUZZ_CHECK(std::memcmp(store_.get(), shadow_.get(), sizeof(DownloadStore)) == 0,
               "the store holds what no reply put there");
    const std::vector<ArchiveRecord> records(store_->recordSlots.begin(), store_->recordSlots.begin() + n);
    const EmptyCellTable cells = store_->emptyCells;

    MemorySink sink;
    sink.failAt = failAt_;
    const bool cancel = cancel_;
    const int excel = excel_;
    ++writerDepth_;
    const velorix::WriteOutcome outcome = velorix::WriteResultsFile(*store_, n, excel, *this, now_, sink);
    --writerDepth_;
    FUZZ_CHECK(std::equal(records.begin(), records.end(), store_->recordSlots.begin(),
                          [](const ArchiveRecord& a, const ArchiveRecord& b) { return a.image == b.image; }) &&
                   std::memcmp(&cells, &store_->emptyCells, sizeof cells) == 0,
               "the store changed while the save dialog was open");
    if (cancel) {
      FUZZ_CHECK(outcome.kind == velorix::WriteOutcome::Cancelled && !sink.opened, "cancel wrote something");
      return;
    }
    if (sink.failAt >= 0 && (sink.failAt == 0 || sink.failAt <= sink.writes)) {
      FUZZ_CHECK(outcome.kind == velorix::WriteOutcome::Failed && sink.abandoned, "a failed write was not given up");
      return;
    }
    FUZZ_CHECK(outcome.kind == velorix::WriteOutcome::Written && sink.closed && !sink.abandoned, "outcome %d",
               outcome.kind);
    if (excel)
      CheckSpreadsheet(sink.text, records, cells);
    else
      CheckReport(sink.text, records, cells);
  }

  // -- SaveDialog: while it is open, the window goes on handling what comes --
  std::optional<std::string> AskSavePath(const velorix::SaveRequest& request) override {
    const std::string ext = excel_ ? ".xls" : ".doc";
    FUZZ_CHECK(request.proposedName.empty() ||
                   (request.proposedName.size() == 19 && request.proposedName.rfind("results", 0) == 0 &&
                    request.proposedName.substr(15) == ext),
               "proposal \"%s\"", request.proposedName.c_str());
    const bool cancel = cancel_;
    const int nested = writerDepth_ > 1 ? 0 : nested_;
    for (int i = 0; i < nested && !in_.Empty(); ++i) Step();
    if (cancel) return std::nullopt;
    return std::string("results.out");
  }

 private:
  void Step() {
    const std::uint8_t op = in_.Byte();
    switch (op % 8) {
      case 0: Press((op & 0x80) ? in_.Word() % 2100 : in_.Byte() % 16); break;
      case 1: state_ = static_cast<LinkState>(in_.Byte() % 4); break;
      case 2: {
        const Bytes frame = in_.Bytes(in_.Byte());
        Feed(frame);
        break;
      }
      case 3:
        switch ((op >> 3) % 4) {
          case 0: Feed(PointerReply(in_.Word())); break;
          case 1: Feed(CellsReply(in_.Bytes(48))); break;
          case 2: Feed(RecordReply(in_.Bytes(32))); break;
          default: Feed(ReplyFrame(velorix::CMD_END, {})); break;
        }
        break;
      case 4: Answer(((op & 0x80) ? 16 : 1) * (in_.Byte() + 1)); break;
      case 5:
        state_ = velorix::LINK_NO_RESPONSE;
        FeedRaw(nullptr, 0);
        break;
      case 6:
        excel_ = (op >> 3) & 1;
        cancel_ = (op >> 4) & 1;
        nested_ = (op >> 5) % 4;
        {
          const int b = in_.Byte();
          failAt_ = b < 200 ? -1 : b - 200;
        }
        break;
      default: {
        const std::uint8_t none = 0;
        FeedRaw(&none, 0);
        break;
      }
    }
    CheckCounts();
  }

  void CheckCounts() {
    const int n = download_.SampleCountInForce();
    FUZZ_CHECK(n >= 0 && n <= velorix::MAX_SAMPLE_COUNT, "N in force %d", n);
    FUZZ_CHECK(download_.RecordCount() >= 0 && download_.RecordCount() <= n, "recordCount %d with N %d",
               download_.RecordCount(), n);
  }

  void Press(int count) {
    const int requestsBefore = requests_;
    const std::size_t boxesBefore = boxes_.size();
    const int nBefore = download_.SampleCountInForce();
    download_.OnReadArchive(count);
    const bool accepting = state_ == velorix::LINK_REPLIED || state_ == velorix::LINK_NO_RESPONSE;
    if (!accepting) {
      FUZZ_CHECK(requests_ == requestsBefore && boxes_.size() == boxesBefore, "a press while a request is out");
      return;
    }
    if (count < 1 || count > velorix::MAX_SAMPLE_COUNT) {
      FUZZ_CHECK(boxes_.size() == boxesBefore + 1 && boxes_.back() == velorix::BAD_SAMPLE_COUNT_TEXT,
                 "no box for count %d", count);
      FUZZ_CHECK(requests_ == requestsBefore && download_.SampleCountInForce() == nBefore, "count %d accepted", count);
      return;
    }
    FUZZ_CHECK(requests_ == requestsBefore + 1 && lastRequest_[2] == velorix::CMD_ARCHIVE_POINTER,
               "no pointer request after a press");
    FUZZ_CHECK(download_.SampleCountInForce() == count && download_.RecordCount() == 0, "press state");
    FUZZ_CHECK(suffix_ == velorix::WAIT_FOR_READING_SUFFIX, "suffix \"%s\"", suffix_.c_str());
  }

  // The instrument answers what was asked last, the way velorix-sim would.
  void Answer(int times) {
    const std::uint16_t pointer = in_.Word();
    const Bytes image = in_.Bytes(32);
    for (int i = 0; i < times && !lastRequest_.empty(); ++i) {
      const Bytes request = lastRequest_;
      state_ = velorix::LINK_REPLIED;
      switch (request[2]) {
        case velorix::CMD_ARCHIVE_POINTER: Feed(PointerReply(pointer)); break;
        case velorix::CMD_EMPTY_CELLS: {
          Bytes table(48);
          for (std::size_t k = 0; k < table.size(); ++k) table[k] = image[k % 32] ^ static_cast<std::uint8_t>(k);
          Feed(CellsReply(table));
          break;
        }
        case velorix::CMD_READ_RECORD: {
          Bytes record = image;
          record[2] = request[3];  // the sample number tells the index
          record[3] = request[4];
          PutFloatBytes(&record[16], 0x3F800000u + request[3]);
          Feed(RecordReply(record));
          break;
        }
        default:
          Feed(request);  // CMD_END is echoed; nothing follows
          return;
      }
    }
  }

  void Feed(const Bytes& frame) {
    // A heap block of exactly the frame's size, so reading past it is seen.
    const auto exact = std::make_unique<std::uint8_t[]>(frame.empty() ? 1 : frame.size());
    if (!frame.empty()) std::memcpy(exact.get(), frame.data(), frame.size());
    FeedRaw(exact.get(), static_cast<int>(frame.size()));
  }

  void FeedRaw(const std::uint8_t* frame, int length) {
    const Bytes bytes = frame ? Bytes(frame, frame + length) : Bytes();
    // What the reply should do to the store, by the download's contract.
    // While the writer runs (its dialog open) nothing a reply brings counts.
    const bool acts = length > 0 && state_ == velorix::LINK_REPLIED && download_.SampleCountInForce() != 0 &&
                      writerDepth_ == 0;
    const std::uint8_t code = length > 2 ? bytes[2] : 0;
    const int slot = download_.RecordCount();

    const bool outerFeeding = feeding_;
    const std::uint8_t outerCode = feedCode_;
    const int outerRecordCount = feedRecordCount_;
    feeding_ = true;
    feedCode_ = code;
    feedRecordCount_ = slot;
    pending_ = {acts, code, slot, bytes};
    FUZZ_CHECK(download_.OnLinkFrame(frame, length) == 0, "OnLinkFrame result");
    ApplyExpected();
    feeding_ = outerFeeding;
    feedCode_ = outerCode;
    feedRecordCount_ = outerRecordCount;
  }

  // Brings the shadow store up to what the reply being handled should have done.
  void ApplyExpected() {
    if (!pending_.acts) return;
    pending_.acts = false;
    if (pending_.code == velorix::CMD_READ_RECORD) {
      FUZZ_CHECK(pending_.slot >= 0 && pending_.slot < velorix::RECORD_SLOT_COUNT, "slot %d", pending_.slot);
      const Bytes image = Take(pending_.bytes, velorix::RECORD_FRAME_OFFSET, velorix::RECORD_BYTES);
      std::copy(image.begin(), image.end(), shadow_->recordSlots[static_cast<std::size_t>(pending_.slot)].image.begin());
      FUZZ_CHECK(std::memcmp(&store_->recordSlots[static_cast<std::size_t>(pending_.slot)],
                             &shadow_->recordSlots[static_cast<std::size_t>(pending_.slot)], sizeof(ArchiveRecord)) == 0,
                 "slot %d does not hold the reply's bytes 4..35", pending_.slot);
    } else if (pending_.code == velorix::CMD_EMPTY_CELLS) {
      const Bytes table = Take(pending_.bytes, velorix::EMPTY_CELLS_CO_OFFSET, 48);
      std::copy(table.begin(), table.end(), shadow_->emptyCellBytes.begin());
      for (int i = 0; i < velorix::EMPTY_CELL_COUNT; ++i) {
        shadow_->emptyCells.co[i] = velorix::FloatFromLittleEndian(&table[static_cast<std::size_t>(4 * i)]);
        shadow_->emptyCells.tgDo[i] = velorix::FloatFromLittleEndian(&table[static_cast<std::size_t>(24 + 4 * i)]);
      }
      FUZZ_CHECK(std::memcmp(&store_->emptyCells, &shadow_->emptyCells, sizeof(EmptyCellTable)) == 0,
                 "the table does not hold the reply's bytes 4..51");
    }
  }

  InputReader& in_;
  std::unique_ptr<DownloadStore> store_;
  std::unique_ptr<DownloadStore> shadow_;  // what the store should hold
  velorix::ArchiveDownload download_;
  LinkState state_ = velorix::LINK_REPLIED;
  std::time_t now_ = 0;

  Bytes lastRequest_;
  int requests_ = 0;
  std::vector<std::string> boxes_;
  std::string suffix_;

  int excel_ = 1;
  bool cancel_ = false;
  int nested_ = 0;
  int failAt_ = -1;
  int writerDepth_ = 0;

  bool feeding_ = false;
  std::uint8_t feedCode_ = 0;
  int feedRecordCount_ = 0;
  struct {
    bool acts = false;
    std::uint8_t code = 0;
    int slot = 0;
    Bytes bytes;
  } pending_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  Bench bench(in);
  bench.Run();
  return 0;
}
