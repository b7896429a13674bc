#include "archive/archive_download.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "record_builder.h"

namespace velorix {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPointerRequest{0x01, 0x05, 0x0B, 0x11, 0x00};
const Bytes kEmptyCellsRequest{0x01, 0x05, 0x0C, 0x12, 0x00};
const Bytes kEndRequest{0x01, 0x05, 0xFF, 0x05, 0x01};

// The link, the window and a scripted instrument in one. The instrument
// answers the request placed last (a request placed before the previous one
// was sent replaces it, as in the real link). Record i of its archive carries
// sample number i, so a slot tells which ring index filled it.
class Bench : public RequestChannel, public DownloadView {
 public:
  Bench() : store(std::make_unique<DownloadStore>()), download(*this, *store, *this) {
    for (int i = 0; i < ARCHIVE_RING_SIZE; ++i) {
      test::RecordFields f;
      f.sample = static_cast<std::uint16_t>(i);
      f.nc = static_cast<std::uint8_t>(i % 6 + 1);
      archive.push_back(test::RecordImage(f));
    }
  }

  // RequestChannel
  LinkState State() const override { return state; }
  void PlaceRequest(const std::uint8_t* frame, int length, int replyTimeoutMs) override {
    requests.emplace_back(frame, frame + length);
    timeouts.push_back(replyTimeoutMs);
  }

  // DownloadView
  void SetProgressRange(int low, int high) override { ranges.emplace_back(low, high); }
  void SetProgressPos(int pos) override { positions.push_back(pos); }
  void SetStatusSuffix(const std::string& suffix) override { suffixes.push_back(suffix); }
  void ShowMessageBox(const std::string& text) override { boxes.push_back(text); }
  void WriteResultsFile(int sampleCount) override {
    writerCalls.push_back(sampleCount);
    if (insideWriter) insideWriter();
  }
  void DownloadComplete(const CompletedDownload& done) override { completed.push_back(done); }
  void ReadingWholeArchive(WholeArchiveReason reason) override { wholeReasons.push_back(reason); }

  // The instrument's answer to one request.
  Bytes Answer(const Bytes& request) const {
    switch (request.at(2)) {
      case CMD_ARCHIVE_POINTER:
        return test::PointerReply(pointer);
      case CMD_EMPTY_CELLS:
        return test::EmptyCellsReply(co, tgDo);
      case CMD_READ_RECORD: {
        const int index = request.at(3) | (request.at(4) << 8);
        if (index < ARCHIVE_RING_SIZE) return test::RecordReply(archive[static_cast<std::size_t>(index)]);
        // The instrument's answer to an index beyond its ring is its own
        // business; a record that names the index is enough here.
        test::RecordFields f;
        f.sample = static_cast<std::uint16_t>(index);
        return test::RecordReply(test::RecordImage(f));
      }
      default:
        return request;  // CMD_END is echoed
    }
  }

  void Feed(const Bytes& frame) { download.OnLinkFrame(frame.data(), static_cast<int>(frame.size())); }

  // Answers what is outstanding, at most `replies` times.
  void Pump(int replies = 1 << 30) {
    while (replies-- > 0 && answered < requests.size()) {
      answered = requests.size();
      Feed(Answer(requests.back()));
    }
  }

  std::vector<int> ReadIndicesFrom(std::size_t first) const {
    std::vector<int> indices;
    for (std::size_t i = first; i < requests.size(); ++i)
      if (requests[i].at(2) == CMD_READ_RECORD) indices.push_back(requests[i][3] | (requests[i][4] << 8));
    return indices;
  }

  int SlotSample(int slot) const { return store->recordSlots[static_cast<std::size_t>(slot)].sample(); }

  LinkState state = LINK_REPLIED;
  std::uint16_t pointer = 0;
  std::vector<std::array<std::uint8_t, 32>> archive;
  std::array<float, 6> co{1.25e-11f, 2e-11f, 3e-11f, 4e-11f, 5e-11f, 6e-11f};
  std::array<float, 6> tgDo{0.001f, 0.002f, 0.003f, 0.004f, 0.005f, 0.006f};

  std::unique_ptr<DownloadStore> store;
  ArchiveDownload download;
  std::vector<Bytes> requests;
  std::vector<int> timeouts;
  std::size_t answered = 0;
  std::vector<std::pair<int, int>> ranges;
  std::vector<int> positions;
  std::vector<std::string> suffixes;
  std::vector<std::string> boxes;
  std::vector<int> writerCalls;
  std::vector<CompletedDownload> completed;
  std::vector<WholeArchiveReason> wholeReasons;
  std::function<void()> insideWriter;
};

struct Span {
  int from, to;  // inclusive
};

std::vector<int> Expand(std::initializer_list<Span> spans) {
  std::vector<int> out;
  for (const Span& s : spans)
    for (int i = s.from; i <= s.to; ++i) out.push_back(i);
  return out;
}

TEST(ArchiveDownload, RequestSequenceAndRingIndices) {
  const struct {
    int n;
    std::uint16_t pointer;
    std::vector<int> indices;
  } cases[] = {
      {100, 5, Expand({{1905, 1999}, {0, 5}})},
      {1, 0, Expand({{1999, 1999}, {0, 0}})},
      {2000, 0, Expand({{0, 1999}, {0, 0}})},
      {2000, 1999, Expand({{1999, 1999}, {0, 1998}, {1999, 1999}})},
      // A pointer outside the ring is taken as it comes, in signed 16 bits.
      {100, 0xFFFF, Expand({{1899, 1999}})},
      {50, 2100, Expand({{2050, 2050}, {0, 49}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("N=" + std::to_string(c.n) + " P=" + std::to_string(c.pointer));
    Bench b;
    b.pointer = c.pointer;
    b.download.OnReadArchive(c.n);
    EXPECT_TRUE(b.download.Busy());
    b.Pump();

    ASSERT_EQ(b.requests.size(), static_cast<std::size_t>(c.n) + 4);
    EXPECT_EQ(b.requests[0], kPointerRequest);
    EXPECT_EQ(b.requests[1], kEmptyCellsRequest);
    EXPECT_EQ(b.ReadIndicesFrom(2), c.indices);
    EXPECT_EQ(b.requests.back(), kEndRequest);
    for (int t : b.timeouts) EXPECT_EQ(t, REPLY_TIMEOUT_MS);

    ASSERT_EQ(b.writerCalls, std::vector<int>{c.n});
    // The N+1 records fill slots 0..N in request order.
    for (int slot = 0; slot <= c.n; ++slot)
      ASSERT_EQ(b.SlotSample(slot), c.indices[static_cast<std::size_t>(slot)]) << "slot " << slot;
    EXPECT_EQ(b.SlotSample(c.n + 1), 0);

    ASSERT_EQ(b.positions.size(), static_cast<std::size_t>(c.n));
    for (int i = 0; i < c.n; ++i) EXPECT_EQ(b.positions[static_cast<std::size_t>(i)], i + 1);
    ASSERT_EQ(b.ranges.size(), static_cast<std::size_t>(c.n) + 1);
    for (const auto& r : b.ranges) EXPECT_EQ(r, std::make_pair(0, c.n));
    EXPECT_EQ(b.suffixes, std::vector<std::string>{"  Wait for reading."});
    EXPECT_TRUE(b.boxes.empty());
    EXPECT_FALSE(b.download.Busy());
    EXPECT_EQ(b.download.RecordCount(), 0);
    EXPECT_EQ(b.store->emptyCells.co[0], 1.25e-11f);
    EXPECT_EQ(b.store->emptyCells.tgDo[5], 0.006f);
  }
}

// New records: the pointer, the slot before the mark's pointer, the table,
// the K new records and the end; the whole archive, once, when that slot
// changed or there is no mark.
TEST(ArchiveDownload, NewRecordsStartAtTheMarkOrReadTheWholeArchive) {
  using Reason = WholeArchiveReason;
  const auto markAt = [](int pointer) { return std::optional<DownloadMark>(DownloadMark{pointer, {}}); };
  const struct {
    const char* name;
    std::uint16_t pointer;
    std::optional<DownloadMark> mark;
    int changeSlot;  // -1: none; else the bench's archive slot made different
    bool toNoResult;  // that slot now holds no result (cleared) rather than another record
    std::vector<int> indices;  // every CMD_READ_RECORD, the check included
    Reason reason;
    int written;  // the count the writer gets; 0: not called
  } cases[] = {
      {"first_time", 5, std::nullopt, -1, false, Expand({{5, 1999}, {0, 4}}), Reason::NoMark, 2000},
      {"twenty_new", 120, markAt(100), -1, false, Expand({{99, 119}}), Reason::None, 20},
      {"wrap_past_1999", 10, markAt(1990), -1, false, Expand({{1989, 1999}, {0, 9}}), Reason::None, 20},
      {"mark_at_zero", 3, markAt(0), -1, false, Expand({{1999, 1999}, {0, 2}}), Reason::None, 3},
      {"nothing_new", 50, markAt(50), -1, false, Expand({{49, 49}}), Reason::None, 0},
      {"cleared", 7, markAt(100), 99, true, Expand({{99, 99}, {7, 1999}, {0, 6}}), Reason::Cleared, 2000},
      {"overwritten", 100, markAt(100), 99, false, Expand({{99, 99}, {100, 1999}, {0, 99}}), Reason::Overwritten,
       2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    b.pointer = c.pointer;
    std::optional<DownloadMark> mark = c.mark;
    if (mark) mark->lastImage = b.archive[static_cast<std::size_t>((mark->pointer + 1999) % 2000)];
    if (c.changeSlot >= 0) {
      auto& image = b.archive[static_cast<std::size_t>(c.changeSlot)];
      if (c.toNoResult) image.fill(0xFF);
      else image[2] ^= 0x55;  // another sample number: another record
    }
    b.download.OnReadNewRecords(mark);
    b.Pump();

    EXPECT_EQ(b.ReadIndicesFrom(0), c.indices);
    EXPECT_EQ(b.requests.front(), kPointerRequest);
    EXPECT_EQ(b.requests.back(), kEndRequest);
    const std::size_t table = c.written > 0 ? 1 : 0;
    EXPECT_EQ(b.requests.size(), c.indices.size() + 2 + table);
    ASSERT_EQ(b.completed.size(), 1u);
    const CompletedDownload& done = b.completed[0];
    EXPECT_EQ(done.count, c.written);
    EXPECT_EQ(done.reason, c.reason);
    EXPECT_EQ(done.pointer, c.pointer);
    EXPECT_EQ(b.writerCalls, c.written > 0 ? std::vector<int>{c.written} : std::vector<int>{});
    EXPECT_EQ(b.wholeReasons, c.reason == Reason::None ? std::vector<Reason>{} : std::vector<Reason>{c.reason});
    // The next download starts where this one ended.
    EXPECT_EQ(done.mark.pointer, c.pointer);
    EXPECT_EQ(done.mark.lastImage, b.archive[static_cast<std::size_t>((c.pointer + 1999) % 2000)]);
    // The records read land in slots 0..K-1, the first at done.firstIndex.
    for (int slot = 0; slot < c.written; ++slot) {
      const int index = (done.firstIndex + slot) % 2000;
      EXPECT_TRUE(index == c.changeSlot || b.SlotSample(slot) == index) << "slot " << slot;
    }
    EXPECT_FALSE(b.download.Busy());
  }
}

TEST(ArchiveDownload, ReadRequestFramesAreExact) {
  Bench b;
  b.pointer = 5;  // N = 10: indices 1995..1999, 0..5
  b.download.OnReadArchive(10);
  b.Pump();
  ASSERT_GE(b.requests.size(), 8u);
  EXPECT_EQ(b.requests[2], (Bytes{0x01, 0x07, 0x0A, 0xCB, 0x07, 0xE4, 0x00}));  // index 1995
  EXPECT_EQ(b.requests[7], (Bytes{0x01, 0x07, 0x0A, 0x00, 0x00, 0x12, 0x00}));  // index 0
}

TEST(ArchiveDownload, PressIsGatedByLinkStateThenCount) {
  const struct {
    LinkState state;
    int count;
    bool placed;
    bool box;
  } cases[] = {
      {LINK_WAITING, 100, false, false},   {LINK_REPEAT_DUE, 100, false, false},
      {LINK_WAITING, 0, false, false},     {LINK_REPEAT_DUE, 2001, false, false},
      {LINK_REPLIED, 100, true, false},    {LINK_NO_RESPONSE, 100, true, false},
      {LINK_REPLIED, 1, true, false},      {LINK_REPLIED, 2000, true, false},
      {LINK_REPLIED, 0, false, true},      {LINK_REPLIED, 2001, false, true},
      {LINK_NO_RESPONSE, -1, false, true}, {LINK_REPLIED, 65537, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("state " + std::to_string(c.state) + " count " + std::to_string(c.count));
    Bench b;
    b.state = c.state;
    b.download.OnReadArchive(c.count);
    EXPECT_EQ(b.requests.size(), c.placed ? 1u : 0u);
    if (c.placed) {
      EXPECT_EQ(b.requests[0], kPointerRequest);
    }
    EXPECT_EQ(b.boxes, c.box ? std::vector<std::string>{"Number is incorrect (1...2000)"} : std::vector<std::string>{});
    EXPECT_EQ(b.suffixes.size(), c.placed ? 1u : 0u);
    EXPECT_EQ(b.download.Busy(), c.placed);
    EXPECT_EQ(b.download.SampleCountInForce(), c.placed ? c.count : 0);
  }
}

TEST(ArchiveDownload, NoResponseStopsWhereItWasAndNextPressStartsAtSlotZero) {
  Bench b;
  b.pointer = 5;
  b.download.OnReadArchive(100);
  b.Pump(2 + 40);  // pointer, table, 40 records
  ASSERT_EQ(b.positions.back(), 40);
  b.Feed(test::PointerReply(5));  // the indices start over; nothing is stored
  EXPECT_EQ(b.download.Progress(), 2 + 40);
  const std::size_t placed = b.requests.size();

  b.state = LINK_NO_RESPONSE;
  b.download.OnLinkFrame(nullptr, 0);
  EXPECT_EQ(b.requests.size(), placed);
  EXPECT_EQ(b.positions.back(), 40);
  EXPECT_TRUE(b.writerCalls.empty());
  EXPECT_FALSE(b.download.Busy());
  EXPECT_EQ(b.suffixes.back(), "  Wait for reading.");

  // A late frame while the link has given up is ignored as well.
  b.Feed(test::RecordReply(b.archive[7]));
  EXPECT_EQ(b.requests.size(), placed);

  b.pointer = 500;
  b.download.OnReadArchive(100);
  b.state = LINK_REPLIED;
  b.Pump();
  ASSERT_EQ(b.writerCalls, std::vector<int>{100});
  EXPECT_EQ(b.SlotSample(0), 400);
  EXPECT_EQ(b.SlotSample(100), 500);
}

TEST(ArchiveDownload, ShorterDownloadLeavesLaterSlotsStale) {
  Bench b;
  b.pointer = 1000;
  b.download.OnReadArchive(100);
  b.Pump();
  b.pointer = 50;
  b.download.OnReadArchive(5);
  b.Pump();
  ASSERT_EQ(b.writerCalls, (std::vector<int>{100, 5}));
  for (int slot = 0; slot <= 5; ++slot) EXPECT_EQ(b.SlotSample(slot), 45 + slot);
  for (int slot = 6; slot <= 100; ++slot) EXPECT_EQ(b.SlotSample(slot), 900 + slot);
}

TEST(ArchiveDownload, StrayRepliesWhileIdleChangeNothing) {
  const Bytes strays[] = {kEndRequest, test::ReplyFrame(0x33, {1, 2, 3}), test::ReplyFrame(CMD_READ_RECORD, {})};
  // Before any press: no count in force, nothing to act on.
  {
    Bench b;
    for (const Bytes& frame : strays) b.Feed(frame);
    EXPECT_TRUE(b.requests.empty());
    EXPECT_TRUE(b.ranges.empty());
    EXPECT_TRUE(b.writerCalls.empty());
  }
  // After a finished download: the end reply and unknown codes are ignored.
  Bench b;
  b.download.OnReadArchive(3);
  b.Pump();
  const auto requests = b.requests.size();
  const auto ranges = b.ranges.size();
  b.Feed(kEndRequest);
  b.Feed(test::ReplyFrame(0x33, {1, 2, 3}));
  EXPECT_EQ(b.requests.size(), requests);
  EXPECT_EQ(b.ranges.size(), ranges);
  EXPECT_EQ(b.writerCalls.size(), 1u);
}

TEST(ArchiveDownload, TooShortRepliesReadZeroNotWhatFollowsInMemory) {
  Bench b;
  b.download.OnReadArchive(2);
  // Each reply is cut short inside a larger buffer whose remaining bytes are
  // poison: the download must read the missing bytes as zero.
  Bytes pointer{0x01, 0x04, 0x0B, 0x05, 0x07, 0x07};  // high byte of P missing
  b.download.OnLinkFrame(pointer.data(), 4);
  EXPECT_EQ(b.download.ArchivePointer(), 5);
  EXPECT_EQ(b.download.StartIndex(), 3);
  ASSERT_EQ(b.requests.back(), kEmptyCellsRequest);

  Bytes cells = test::EmptyCellsReply(b.co, b.tgDo);
  for (std::size_t i = 28; i < cells.size(); ++i) cells[i] = 0xAB;
  b.download.OnLinkFrame(cells.data(), 28);  // co complete, tgDo missing
  EXPECT_EQ(b.store->emptyCells.co[5], b.co[5]);
  for (float t : b.store->emptyCells.tgDo) EXPECT_EQ(t, 0.0f);
  ASSERT_EQ(b.requests.back()[2], CMD_READ_RECORD);

  Bytes record = test::RecordReply(b.archive[3]);
  for (std::size_t i = 12; i < record.size(); ++i) record[i] = 0xAB;
  b.download.OnLinkFrame(record.data(), 12);  // record bytes 0..7 only
  const auto& slot = b.store->recordSlots[0].image;
  for (int k = 0; k < 8; ++k) EXPECT_EQ(slot[k], b.archive[3][k]) << k;
  for (int k = 8; k < 32; ++k) EXPECT_EQ(slot[k], 0) << k;
  // A reply of three bytes still counts as a record and moves on.
  b.download.OnLinkFrame(record.data(), 3);
  EXPECT_EQ(b.store->recordSlots[1].image, (std::array<std::uint8_t, 32>{}));
  EXPECT_EQ(b.positions, (std::vector<int>{1, 2}));
  EXPECT_EQ(b.ReadIndicesFrom(0), (std::vector<int>{3, 4, 5}));
}

// After a download of 20 records from pointer 300 whose writer was entered
// again: once the writer has returned, the next download runs as usual.
void ExpectTheNextDownloadRunsAsUsual(Bench& b) {
  b.insideWriter = nullptr;
  b.download.OnReadArchive(2);
  b.Pump();
  EXPECT_EQ(b.writerCalls, (std::vector<int>{20, 2}));
  EXPECT_EQ(b.SlotSample(0), 298);
}

TEST(ArchiveDownload, WriterMayReenterTheFrameHandler) {
  Bench b;
  b.pointer = 300;
  std::vector<std::uint8_t> slot0Before;
  int nestedCalls = 0;
  b.insideWriter = [&] {
    // What the writer sees: the end request placed, the download finished.
    EXPECT_EQ(b.requests.back(), kEndRequest);
    EXPECT_FALSE(b.download.Busy());
    EXPECT_EQ(b.download.RecordCount(), 0);
    const auto store = std::make_unique<DownloadStore>(*b.store);
    const auto placed = b.requests.size();
    // The modal loop delivers the end reply, a no-response notice and, for
    // good measure, the end reply again with the link replied.
    b.Feed(kEndRequest);
    ++nestedCalls;
    b.state = LINK_NO_RESPONSE;
    b.download.OnLinkFrame(nullptr, 0);
    ++nestedCalls;
    b.state = LINK_REPLIED;
    b.Feed(kEndRequest);
    ++nestedCalls;
    EXPECT_EQ(b.requests.size(), placed);
    EXPECT_EQ(std::memcmp(store.get(), b.store.get(), sizeof(DownloadStore)), 0);
    EXPECT_EQ(b.writerCalls.size(), 1u);
  };
  b.download.OnReadArchive(20);
  b.Pump();
  EXPECT_EQ(nestedCalls, 3);
  ASSERT_EQ(b.writerCalls, std::vector<int>{20});
  EXPECT_EQ(b.SlotSample(0), 280);
  ExpectTheNextDownloadRunsAsUsual(b);
}

// A reply that comes while the save dialog is open (a late answer to a
// repeated request, or an instrument that sends on its own) must not change
// the store the file is about to be written from, nor start anything.
struct LateReply {
  const char* name;
  Bytes (*frame)(const Bench&);
};

void PrintTo(const LateReply& reply, std::ostream* os) { *os << reply.name; }

class ReplyDuringWriter : public ::testing::TestWithParam<LateReply> {};

TEST_P(ReplyDuringWriter, ChangesNothing) {
  Bench b;
  b.pointer = 300;
  std::unique_ptr<DownloadStore> atWriter;
  std::size_t placedAtWriter = 0;
  b.insideWriter = [&] {
    if (atWriter) return;  // the first writer call only
    atWriter = std::make_unique<DownloadStore>(*b.store);
    placedAtWriter = b.requests.size();
    b.Feed(GetParam().frame(b));
    b.Feed(kEndRequest);
  };
  b.download.OnReadArchive(20);
  b.Pump();
  ASSERT_EQ(b.writerCalls, std::vector<int>{20});
  ASSERT_TRUE(atWriter);
  EXPECT_EQ(std::memcmp(atWriter.get(), b.store.get(), sizeof(DownloadStore)), 0);
  EXPECT_EQ(b.requests.size(), placedAtWriter);
  EXPECT_EQ(b.requests.back(), kEndRequest);
  EXPECT_EQ(b.download.RecordCount(), 0);
  EXPECT_EQ(b.SlotSample(0), 280);
  ExpectTheNextDownloadRunsAsUsual(b);
}

INSTANTIATE_TEST_SUITE_P(
    ArchiveDownload, ReplyDuringWriter,
    ::testing::Values(
        // The answer to the repeat of the last record request, after the first answer.
        LateReply{"DuplicateLastRecord", [](const Bench& b) { return test::RecordReply(b.archive[300]); }},
        LateReply{"EmptyCellTable",
                  [](const Bench&) {
                    return test::EmptyCellsReply({9, 9, 9, 9, 9, 9}, {9, 9, 9, 9, 9, 9});
                  }},
        LateReply{"ArchivePointer", [](const Bench&) { return test::PointerReply(7); }}),
    [](const ::testing::TestParamInfo<LateReply>& info) { return std::string(info.param.name); });

TEST(ArchiveDownload, CountEditedDuringDownloadDoesNotChangeN) {
  Bench b;
  b.pointer = 100;
  b.download.OnReadArchive(10);
  b.Pump(2 + 3);
  // The operator types impossible counts and presses while a request is out
  // and while the reply has just come in: neither changes the count in force.
  b.state = LINK_WAITING;
  b.download.OnReadArchive(2001);
  b.state = LINK_REPLIED;
  b.download.OnReadArchive(0);
  EXPECT_EQ(b.boxes.size(), 1u);
  EXPECT_EQ(b.download.SampleCountInForce(), 10);
  b.Pump();
  ASSERT_EQ(b.writerCalls, std::vector<int>{10});
  EXPECT_EQ(b.ReadIndicesFrom(0), Expand({{90, 100}}));
  for (const auto& r : b.ranges) EXPECT_EQ(r, std::make_pair(0, 10));
}

TEST(ArchiveDownload, PressInTheGapStartsOver) {
  Bench b;
  b.pointer = 100;
  b.download.OnReadArchive(10);
  b.Pump(2 + 3);  // a read request is waiting to be sent
  b.download.OnReadArchive(4);
  EXPECT_EQ(b.requests.back(), kPointerRequest);
  b.Pump();
  ASSERT_EQ(b.writerCalls, std::vector<int>{4});
  for (int slot = 0; slot <= 4; ++slot) EXPECT_EQ(b.SlotSample(slot), 96 + slot);
}

}  // namespace
}  // namespace velorix
