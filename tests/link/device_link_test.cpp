#include "link/device_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fake_link_parts.h"
#include "link/frame_codec.h"

namespace velorix {
namespace {

using testing::Chunk;
using testing::FakeClock;
using testing::FakeDevice;
using testing::FakeSerialPort;
using testing::Frame;
using testing::Hex;
using testing::RecordingOwner;
using Bytes = std::vector<std::uint8_t>;

const std::string NOT_CONNECTED_BOX =
    "B|     Device do't connected to computer,\n         or device do't powered, \n"
    "   or computer do't have the communication ports !!!|P";

// A link on a fake port with a fake clock, plus the owner that records it.
struct Bench {
  explicit Bench(std::map<int, FakeDevice> devices, int startPort = 2) {
    auto made = std::make_unique<FakeSerialPort>(clock, std::move(devices));
    port = made.get();
    link = std::make_unique<CDeviceLink>([&made] { return std::move(made); }, clock);
    link->PortNumber(startPort);
    owner.onBox = [this] { link->MessageBoxClosed(); };
  }
  FakeClock clock;
  FakeSerialPort* port = nullptr;
  RecordingOwner owner;
  std::unique_ptr<CDeviceLink> link;
};

// ---------------------------------------------------------------- port scan

struct ScanCase {
  std::string name;
  int startPort;
  std::map<int, FakeDevice> devices;
  std::vector<int> tried;          // Open() calls in order
  std::vector<std::string> tries;  // PortTried notices
  int portAfter;
  bool connected;
};

FakeDevice Echoes(int fromAttempt = 1) { return FakeDevice{fromAttempt, {0x01, 0x05, 0xFF, 0x05, 0x01}, {}}; }
FakeDevice Silent() { return FakeDevice{0, {}, {}}; }
FakeDevice Answers(Bytes other) { return FakeDevice{1, std::move(other), {}}; }

class ScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, TriesPortsInOrder) {
  const ScanCase& c = GetParam();
  Bench bench(c.devices, c.startPort);
  bench.owner.recordCursor = true;
  ASSERT_EQ(bench.link->Start(&bench.owner), 1);
  if (c.connected) {
    ASSERT_TRUE(bench.port->WaitUntilParked());
  } else {
    ASSERT_TRUE(bench.owner.WaitForEvent("S| Device do't connected."));
    // The worker gives up on its own, right after that status.
    for (int i = 0; i < 1000 && bench.link->Running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(bench.link->PortNumber(-1), c.portAfter);
  EXPECT_EQ(bench.link->Running(), c.connected);
  bench.link->Stop();

  EXPECT_EQ(bench.port->opened, c.tried);
  EXPECT_EQ(bench.owner.Events('T'), c.tries);
  std::vector<std::string> tail;
  for (const std::string& e : bench.owner.Events())
    if (e[0] != 'T') tail.push_back(e);
  // Each port that opened is closed once: a failed one by the scan, the
  // instrument's by Stop.
  int present = 0;
  for (int p : c.tried) present += c.devices.count(p) ? 1 : 0;
  EXPECT_EQ(bench.port->closes, present);
  EXPECT_FALSE(bench.port->IsOpen());
  // The wait cursor is the scan's: it goes once the instrument is found, and
  // before the box that says it was not, so the operator reads that box with
  // the normal cursor.
  if (c.connected) {
    EXPECT_EQ(tail, (std::vector<std::string>{"C|on", "S| Device connected on COM" + std::to_string(c.portAfter) + " ",
                                              "C|off"}));
  } else {
    EXPECT_EQ(tail, (std::vector<std::string>{"C|on", "C|off", NOT_CONNECTED_BOX, "S| Device do't connected."}));
  }
  // Each opened port got four probes at most, 110 ms apart or more.
  std::map<int, std::vector<std::int64_t>> probes;  // by open
  for (const auto& w : bench.port->writes) probes[w.openIndex].push_back(w.atMs);
  for (const auto& [open, times] : probes) {
    EXPECT_LE(times.size(), 4u) << open;
    for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 110) << open;
  }
}

const Bytes OTHER_FIVE{0x01, 0x05, 0xFF, 0x05, 0x02};

INSTANTIATE_TEST_SUITE_P(
    Link, ScanTest,
    ::testing::Values(
        ScanCase{"StartPortAnswers", 2, {{2, Echoes()}}, {2}, {"T|2|ok"}, 2, true},
        ScanCase{"FallsBackToCom1", 3, {{1, Echoes()}, {3, Silent()}}, {3, 1}, {"T|3|no echo", "T|1|ok"}, 1, true},
        ScanCase{"NothingAnywhere", 7, {}, {7, 1, 2, 3, 4},
                 {"T|7|missing", "T|1|missing", "T|2|missing", "T|3|missing", "T|4|missing"}, 4, false},
        ScanCase{"SilentPortsAreClosedAgain", 2, {{1, Silent()}, {2, Silent()}, {3, Silent()}, {4, Silent()}}, {2, 1, 2, 3, 4},
                 {"T|2|no echo", "T|1|no echo", "T|2|no echo", "T|3|no echo", "T|4|no echo"}, 4, false},
        ScanCase{"NumberBelowOneIsMissing", 0, {{3, Echoes()}}, {0, 1, 2, 3},
                 {"T|0|missing", "T|1|missing", "T|2|missing", "T|3|ok"}, 3, true},
        ScanCase{"LastTryFindsIt", 9, {{4, Echoes()}}, {9, 1, 2, 3, 4},
                 {"T|9|missing", "T|1|missing", "T|2|missing", "T|3|missing", "T|4|ok"}, 4, true},
        ScanCase{"EchoAtThirdAttempt", 2, {{2, Echoes(3)}}, {2}, {"T|2|ok"}, 2, true},
        ScanCase{"EchoAtFourthAttempt", 2, {{2, Echoes(4)}}, {2}, {"T|2|ok"}, 2, true},
        ScanCase{"EchoTooLateForFourAttempts", 2, {{2, Echoes(5)}, {1, Echoes()}}, {2, 1},
                 {"T|2|no echo", "T|1|ok"}, 1, true},
        // The end of an earlier run's reply still arriving after the open.
        ScanCase{"LeftoverBytesAreNotTheEcho", 2, {{2, FakeDevice{1, Echoes().probeAnswer, {}, {Chunk{5, Bytes(20, 0x33)}}}}}, {2},
                 {"T|2|ok"}, 2, true},
        // Such a reply in pieces, the first gap seen half the next: the wrong echo is waited out.
        ScanCase{"LateReplyInPiecesIsWaitedOut", 2,
                 {{2, FakeDevice{2, Echoes().probeAnswer, {}, {Chunk{100, Bytes(5, 0x33)}, Chunk{305, Bytes(5, 0x33)}}}}},
                 {2}, {"T|2|ok"}, 2, true},
        ScanCase{"OtherFiveBytesAreNoEcho", 1, {{1, Answers(OTHER_FIVE)}, {2, Echoes()}}, {1, 1, 2},
                 {"T|1|wrong echo", "T|1|wrong echo", "T|2|ok"}, 2, true},
        ScanCase{"FourBytesAreNoEcho", 1, {{1, Answers({0x01, 0x05, 0xFF, 0x05})}, {2, Echoes()}}, {1, 1, 2},
                 {"T|1|no echo", "T|1|no echo", "T|2|ok"}, 2, true}),
    [](const auto& info) { return info.param.name; });

TEST(Link, PortNumberMinusOneOnlyReads) {
  FakeClock clock;
  CDeviceLink link([&] { return std::make_unique<FakeSerialPort>(clock, std::map<int, FakeDevice>{}); }, clock);
  EXPECT_EQ(link.PortNumber(-1), 2);
  EXPECT_EQ(link.PortNumber(5), 5);
  EXPECT_EQ(link.PortNumber(-1), 5);
  EXPECT_EQ(link.State(), LINK_REPLIED);
}

// ---------------------------------------------------------------- serving

const Bytes REQUEST = Frame(CMD_ARCHIVE_POINTER);                 // 01 05 0B 11 00
const Bytes REPLY = Frame(CMD_ARCHIVE_POINTER, {0xCF, 0x07});     // 7 bytes
const Bytes OTHER_REPLY = Frame(CMD_EMPTY_CELLS, {0x01, 0x02});
const Bytes OTHER_POINTER = Frame(CMD_ARCHIVE_POINTER, {0x10, 0x00});

Bytes Corrupt(Bytes frame) {
  frame[3] ^= 0x40;
  return frame;
}
Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
std::vector<Chunk> Whole(const Bytes& b, std::uint32_t errors = 0) { return {Chunk{20, b, errors}}; }
const std::vector<Chunk> SILENT{};

const std::string WAITING = "S| Waiting response.";
const std::string OK = "S| Response OK.";
const std::string GAVE_UP = "S|!!! No Response.";
const std::string NO_FRAME = "F|";
std::string Repeat(int n) { return "S| Repeat " + std::to_string(n) + ". Waiting response."; }
std::string FrameEvent(const Bytes& b) { return "F|" + Hex(b); }

struct ServeCase {
  std::string name;
  std::vector<std::vector<Chunk>> replies;  // per request write, repeats included
  std::vector<std::string> events;          // after the connect status
  int writes;                               // request writes
  LinkState finalState;
  int requests = 1;  // requests placed: the first before Start, the rest on each frame notice
};

class ServeTest : public ::testing::TestWithParam<ServeCase> {};

TEST_P(ServeTest, StatusesFramesAndRepeats) {
  const ServeCase& c = GetParam();
  FakeDevice device = Echoes();
  device.replies = c.replies;
  Bench bench({{2, device}});
  int placed = 1;
  bench.owner.onFrame = [&](const Bytes& frame) {
    if (!frame.empty() && placed < c.requests) {
      ++placed;
      bench.link->PlaceRequest(REQUEST.data(), static_cast<int>(REQUEST.size()), REPLY_TIMEOUT_MS);
    }
  };
  // Placed before the instrument is found: written in the first serving pass.
  bench.link->PlaceRequest(REQUEST.data(), static_cast<int>(REQUEST.size()), REPLY_TIMEOUT_MS);
  ASSERT_EQ(bench.link->Start(&bench.owner), 1);
  ASSERT_TRUE(bench.port->WaitUntilParked());
  EXPECT_EQ(bench.link->State(), c.finalState);
  bench.link->Stop();

  std::vector<std::string> events = bench.owner.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[1], "S| Device connected on COM2 ");
  events.erase(events.begin(), events.begin() + 2);
  EXPECT_EQ(events, c.events);

  // Request writes (the probe's are left out), and the rule that a repeat
  // goes out once more than the reply time-out has passed since the last
  // write or the last bytes of a frame (noise does not count), in the first
  // idle pass that sees it.
  std::vector<std::int64_t> writeTimes;
  for (const auto& w : bench.port->writes)
    if (w.bytes == REQUEST) writeTimes.push_back(w.atMs);
  ASSERT_EQ(static_cast<int>(writeTimes.size()), c.writes);
  std::vector<std::string> writeStatuses;  // one per write, in order
  for (const std::string& e : events)
    if (e == WAITING || e.starts_with("S| Repeat ")) writeStatuses.push_back(e);
  ASSERT_EQ(writeStatuses.size(), writeTimes.size());
  for (std::size_t i = 1; i < writeTimes.size(); ++i) {
    if (writeStatuses[i] == WAITING) continue;
    std::int64_t last = writeTimes[i - 1];
    for (std::int64_t r : bench.port->readTimes)
      if (r > last && r < writeTimes[i]) last = r;
    EXPECT_GT(writeTimes[i] - writeTimes[i - 1], REPLY_TIMEOUT_MS) << "write " << i;
    EXPECT_LE(writeTimes[i] - last, REPLY_TIMEOUT_MS + 100) << "write " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Link, ServeTest,
    ::testing::Values(
        ServeCase{"ReplyWhole", {Whole(REPLY)}, {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"HighChecksumByteWrong",
                  {Whole([] { Bytes b = REPLY; b.back() ^= 0xFF; return b; }())},
                  {WAITING, FrameEvent([] { Bytes b = REPLY; b.back() ^= 0xFF; return b; }()), OK}, 1,
                  LINK_REPLIED},
        ServeCase{"ReplyInPieces",
                  {{Chunk{20, Bytes(REPLY.begin(), REPLY.begin() + 3)},
                    Chunk{250, Bytes(REPLY.begin() + 3, REPLY.end())}}},
                  {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"ReplyByteByByte",
                  {[] {
                    std::vector<Chunk> v;
                    for (std::size_t i = 0; i < REPLY.size(); ++i)
                      v.push_back(Chunk{static_cast<int>(10 + 1000 * i), {REPLY[i]}});
                    return v;
                  }()},
                  {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"CorruptReplyIsRepeated", {Whole(Corrupt(REPLY)), Whole(REPLY)},
                  {WAITING, Repeat(1), FrameEvent(REPLY), OK}, 2, LINK_REPLIED},
        // Without its start byte the frame is noise: thrown away.
        ServeCase{"MisalignedBytesAreNoReply",
                  {Whole({0x05, 0x0B, 0x11, 0x00}), Whole(REPLY)},
                  {WAITING, Repeat(1), FrameEvent(REPLY), OK}, 2, LINK_REPLIED},
        ServeCase{"TrickleKeepsTheTimeOffUntilItStops",
                  {{Chunk{1000, {0x01}}, Chunk{3500, {0x07}}, Chunk{6000, {0x0B}}}, Whole(REPLY)},
                  {WAITING, Repeat(1), FrameEvent(REPLY), OK}, 2, LINK_REPLIED},
        ServeCase{"SilentInstrument", {},
                  {WAITING, Repeat(1), Repeat(2), Repeat(3), Repeat(4), GAVE_UP, NO_FRAME}, 5,
                  LINK_NO_RESPONSE},
        ServeCase{"ReplyAfterSecondRepeatThenFreshCount",
                  {SILENT, SILENT, Whole(REPLY), SILENT, Whole(REPLY)},
                  {WAITING, Repeat(1), Repeat(2), FrameEvent(REPLY), OK, WAITING, Repeat(1),
                   FrameEvent(REPLY), OK},
                  5, LINK_REPLIED, 2},
        ServeCase{"TwoFramesInOneRead", {Whole(Concat(REPLY, OTHER_REPLY))},
                  {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        // Nothing waits for it: a late answer, dropped.
        ServeCase{"FrameAfterFrameInLaterRead",
                  {{Chunk{20, REPLY}, Chunk{500, REPLY}}},
                  {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"ReplyOfAnotherCodeIsRepeated", {Whole(OTHER_REPLY), Whole(REPLY)},
                  {WAITING, Repeat(1), FrameEvent(REPLY), OK}, 2, LINK_REPLIED},
        // Late answers to request 1: back to back (dropped in the quiet), then
        // 120 ms later (equal to the reply taken: dropped).
        ServeCase{"LateAnswersAreNotTakenForTheNextReply",
                  {{Chunk{6300, REPLY}}, {Chunk{3230, REPLY}}, {Chunk{250, REPLY}}, {Chunk{300, OTHER_POINTER}}},
                  {WAITING, Repeat(1), Repeat(2), FrameEvent(REPLY), OK, WAITING, FrameEvent(OTHER_POINTER), OK},
                  4, LINK_REPLIED, 2},
        ServeCase{"FloodIsDiscarded", {Whole(Bytes(300, 0x01)), Whole(REPLY)},
                  {WAITING, Repeat(1), FrameEvent(REPLY), OK}, 2, LINK_REPLIED},
        // A frame that says 255 long, more than one can be, and 98 bytes of
        // it: noise. Then a record, not the awaited code, and the reply.
        ServeCase{"PastTheLimitStartsAFreshFrame",
                  {{Chunk{20, Concat({0x01, 0xFF}, Bytes(98, 0x00))},
                    Chunk{200, Concat(Frame(CMD_READ_RECORD, Bytes(35, 0x11)), REPLY)}}},
                  {WAITING, FrameEvent(REPLY), OK}, 1,
                  LINK_REPLIED},
        ServeCase{"Overrun", {Whole(REPLY, PORT_OVERRUN)},
                  {WAITING, "B|Overrun Error|E", FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"OverrunWithOverflow", {Whole(REPLY, PORT_OVERRUN | PORT_RXOVER)},
                  {WAITING, "B|Overrun Error|E", FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"Overflow", {Whole(REPLY, PORT_RXOVER)},
                  {WAITING, "B|Overflow Error|E", FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"OverrunWithFramingError", {Whole(REPLY, PORT_OVERRUN | PORT_FRAME)},
                  {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"OverrunWithParityError", {Whole(REPLY, PORT_OVERRUN | PORT_RXPARITY)},
                  {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED},
        ServeCase{"ErrorsWithNothingWaitingAreDropped",
                  {{Chunk{20, {}, PORT_OVERRUN}, Chunk{500, REPLY}}},
                  {WAITING, FrameEvent(REPLY), OK}, 1, LINK_REPLIED}),
    [](const auto& info) { return info.param.name; });

TEST(Link, NeverReportsMoreThan138Bytes) {
  // Frames glued to more bytes than one frame may hold, in every split.
  for (int extra : {130, 131, 132, 133, 200}) {
    FakeDevice device = Echoes();
    device.replies = {Whole(Concat(REPLY, Bytes(extra, 0x00))), Whole(REPLY)};
    Bench bench({{2, device}});
    bench.link->PlaceRequest(REQUEST.data(), static_cast<int>(REQUEST.size()), REPLY_TIMEOUT_MS);
    ASSERT_EQ(bench.link->Start(&bench.owner), 1);
    ASSERT_TRUE(bench.port->WaitUntilParked());
    bench.link->Stop();
    for (const std::string& e : bench.owner.Events('F')) EXPECT_LE((e.size() - 1) / 3, 138u) << extra;
    EXPECT_FALSE(bench.owner.Events('F').empty()) << extra;
  }
}

// ---------------------------------------------------------------- stopping

// Stop() must come back; a hang fails the test instead of the whole run.
void ExpectStopReturns(CDeviceLink& link) {
  auto stopped = std::async(std::launch::async, [&] { return link.Stop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(stopped.get(), 0);
  EXPECT_FALSE(link.Running());
}

TEST(LinkStop, NeverStarted) {
  Bench bench({{2, Echoes()}});
  ExpectStopReturns(*bench.link);
  EXPECT_TRUE(bench.port->opened.empty());
}

TEST(LinkStop, IdleLinkClosesItsPort) {
  Bench bench({{2, Echoes()}});
  ASSERT_EQ(bench.link->Start(&bench.owner), 1);
  ASSERT_TRUE(bench.port->WaitUntilParked());
  ASSERT_TRUE(bench.port->IsOpen());
  ExpectStopReturns(*bench.link);
  EXPECT_FALSE(bench.port->IsOpen());
  EXPECT_EQ(bench.port->closes, 1);
  ExpectStopReturns(*bench.link);  // a second Stop does nothing
  EXPECT_EQ(bench.port->closes, 1);
}

TEST(LinkStop, GivenUpLink) {
  Bench bench({});
  ASSERT_EQ(bench.link->Start(&bench.owner), 1);
  ASSERT_TRUE(bench.owner.WaitForEvent("S| Device do't connected."));
  ExpectStopReturns(*bench.link);
  EXPECT_EQ(bench.owner.Events().back(), "S| Device do't connected.");
}

TEST(LinkStop, RightAfterStart) {
  Bench bench({{2, Echoes()}});
  ASSERT_EQ(bench.link->Start(&bench.owner), 1);
  ExpectStopReturns(*bench.link);
  EXPECT_FALSE(bench.port->IsOpen());
}

// The owner never closes the box: Stop must not wait for it.
struct OpenBoxCase {
  std::string name;
  std::map<int, FakeDevice> devices;
  std::string box;
};

class StopWithOpenBox : public ::testing::TestWithParam<OpenBoxCase> {};

TEST_P(StopWithOpenBox, DoesNotDeadlock) {
  const OpenBoxCase& c = GetParam();
  Bench bench(c.devices);
  bench.owner.onBox = nullptr;
  bench.link->PlaceRequest(REQUEST.data(), static_cast<int>(REQUEST.size()), REPLY_TIMEOUT_MS);
  ASSERT_EQ(bench.link->Start(&bench.owner), 1);
  ASSERT_TRUE(bench.owner.WaitForEvent(c.box));
  ExpectStopReturns(*bench.link);
  EXPECT_FALSE(bench.port->IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    LinkStop, StopWithOpenBox,
    ::testing::Values(OpenBoxCase{"NotConnected", {}, NOT_CONNECTED_BOX},
                      OpenBoxCase{"Overrun",
                                  {{2, FakeDevice{1, {0x01, 0x05, 0xFF, 0x05, 0x01}, {Whole(REPLY, PORT_OVERRUN)}}}},
                                  "B|Overrun Error|E"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace velorix
