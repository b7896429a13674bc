// The simulator as the program meets it: a real pty, real bytes, the log file.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "sim/archive_model.h"
#include "sim_process.h"

namespace velorix::simtest {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using sim::SimArchive;

const Bytes kProbe{0x01, 0x05, 0xFF, 0x05, 0x01};
const Bytes kPointer{0x01, 0x05, 0x0B, 0x11, 0x00};
const Bytes kTable{0x01, 0x05, 0x0C, 0x12, 0x00};

Bytes ReadRecordRequest(int index) {
  Bytes f{0x01, 0x07, 0x0A, static_cast<std::uint8_t>(index & 0xFF),
          static_cast<std::uint8_t>((index >> 8) & 0xFF), 0, 0};
  AppendChecksum(f.data(), 5);
  return f;
}

unsigned Sum16(const Bytes& frame) {
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < frame.size(); ++i) sum += frame[i];
  return sum;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parameterised test's name holds a '/': one folder, not two, so that
    // TearDown leaves nothing behind.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = fs::temp_directory_path() / ("velorix-sim-test-" + std::to_string(getpid()) + "-" + name);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    sim_.reset();
    fs::remove_all(dir_);
  }
  void Start(std::vector<std::string> args) {
    args.push_back("--quiet");
    sim_ = std::make_unique<SimProcess>(args);
    fd_ = OpenRaw(sim_->SlavePath());
    ASSERT_GE(fd_, 0) << sim_->SlavePath();
  }
  // Sends a frame and collects what comes back within the time-out.
  Bytes Exchange(const Bytes& request, std::size_t expect, int timeoutMs = 2000) {
    EXPECT_TRUE(WriteFrame(fd_, request));
    return ReadFor(fd_, expect, timeoutMs);
  }
  Bytes ExchangeFrame(const Bytes& request) {
    EXPECT_TRUE(WriteFrame(fd_, request));
    return ReadFrame(fd_, 2000);
  }
  Bytes Silence(const Bytes& request) { return Exchange(request, 1, 300); }

  fs::path dir_;
  std::unique_ptr<SimProcess> sim_;
  int fd_ = -1;
};

TEST_F(SimTest, DumpOnlyWritesTheModelsArchiveAndExits) {
  const fs::path file = dir_ / "a.bin";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(VELORIX_SIM_PATH, VELORIX_SIM_PATH, "--archive-number", "7", "--dump-archive",
          file.c_str(), "--dump-only", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(file), sim::SerializeArchive(sim::GenerateArchive(7)));
}

// Every reply checked byte for byte against the archive the simulator dumped,
// and the log holds exactly the frames that were sent.
TEST_F(SimTest, AnswersEachCommandFromItsArchive) {
  const fs::path dump = dir_ / "dump.bin";
  const fs::path log = dir_ / "frames.log";
  Start({"--archive-number", "3", "--pointer", "1234", "--dump-archive", dump.string(), "--log",
         log.string()});
  const Bytes file = ReadFile(dump);
  ASSERT_EQ(file.size(), sim::ARCHIVE_FILE_BYTES);
  std::vector<Bytes> sent;

  sent.push_back(kProbe);
  EXPECT_EQ(Exchange(kProbe, 5), kProbe);

  sent.push_back(kPointer);
  const Bytes pointer = Exchange(kPointer, 7);
  EXPECT_EQ(pointer, (Bytes{0x01, 0x07, 0x0B, 0xD2, 0x04, 0xE9, 0x00}));  // 1234 = 0x04D2

  sent.push_back(kTable);
  const Bytes table = Exchange(kTable, 54);
  ASSERT_EQ(table.size(), 54u);
  EXPECT_EQ(table[1], 54);
  EXPECT_EQ(table[2], 0x0C);
  EXPECT_EQ(table[52] | table[53] << 8, Sum16(table));
  EXPECT_TRUE(std::equal(table.begin() + 4, table.begin() + 52, file.end() - 48));

  for (int index : {0, 5, 1995, 1999, 2000, 4321, 65535}) {
    SCOPED_TRACE("index " + std::to_string(index));
    const Bytes request = ReadRecordRequest(index);
    sent.push_back(request);
    const Bytes reply = Exchange(request, 38);
    ASSERT_EQ(reply.size(), 38u);
    EXPECT_EQ(reply[0], 0x01);
    EXPECT_EQ(reply[1], 38);
    EXPECT_EQ(reply[2], 0x0A);
    EXPECT_EQ(reply[36] | reply[37] << 8, Sum16(reply));
    const auto at = file.begin() + (index % 2000) * 32;
    EXPECT_TRUE(std::equal(reply.begin() + 4, reply.begin() + 36, at));
  }

  sent.push_back(kProbe);  // the end of a download is the probe's bytes
  EXPECT_EQ(Exchange(kProbe, 5), kProbe);

  std::vector<std::string> expected;
  for (const Bytes& f : sent) {
    std::string line;
    for (std::uint8_t b : f) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X ", b);
      line += hex;
    }
    line.pop_back();
    expected.push_back(line);
  }
  EXPECT_EQ(ReadLines(log), expected);
  EXPECT_EQ(expected[3], "01 07 0A 00 00 12 00");
}

TEST_F(SimTest, ServesAGivenArchiveFile) {
  SimArchive a = sim::GenerateArchive(1);
  a.records[777].fill(0x5A);
  a.co[0] = 1.25e-11f;
  const fs::path file = dir_ / "given.bin";
  std::string error;
  ASSERT_TRUE(sim::SaveArchiveFile(file.string(), a, error)) << error;
  Start({"--archive-file", file.string()});
  const Bytes reply = Exchange(ReadRecordRequest(777), 38);
  ASSERT_EQ(reply.size(), 38u);
  EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 36), Bytes(32, 0x5A));
  const Bytes table = Exchange(kTable, 54);
  ASSERT_EQ(table.size(), 54u);
  const auto bytes = sim::TableBytes(a);
  EXPECT_TRUE(std::equal(table.begin() + 4, table.begin() + 52, bytes.begin()));
}

// The scan opens, probes and closes a port and may come back to it.
TEST_F(SimTest, PortCanBeClosedAndOpenedAgain) {
  const fs::path link = dir_ / "com2";
  Start({"--link", link.string()});
  EXPECT_EQ(fs::read_symlink(link), sim_->SlavePath());
  EXPECT_EQ(Exchange(kProbe, 5), kProbe);
  close(fd_);
  fd_ = OpenRaw(link.string());
  ASSERT_GE(fd_, 0);
  EXPECT_EQ(Exchange(kProbe, 5), kProbe);
  sim_->Stop();
  EXPECT_FALSE(fs::is_symlink(link)) << "the link outlived the simulator";
}

TEST_F(SimTest, HalfAFrameIsDroppedAfterAQuietGap) {
  const fs::path log = dir_ / "frames.log";
  Start({"--log", log.string()});
  EXPECT_TRUE(WriteFrame(fd_, {0x01, 0x07, 0x0A}));
  usleep(400 * 1000);
  EXPECT_EQ(Exchange(kProbe, 5), kProbe);
  EXPECT_EQ(ReadLines(log), (std::vector<std::string>{"# dropped 01 07 0A", "01 05 FF 05 01"}));
}

// What the PC sees for a sequence of requests under one fault option.
enum Seen { OK, BAD, NOTHING };

struct FaultCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::pair<Bytes, Seen>> steps;
};

class SimFaultTest : public SimTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimFaultTest, RepliesAsTheFaultSays) {
  Start(GetParam().args);
  int step = 0;
  for (const auto& [request, seen] : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(++step));
    const Bytes reply = seen == NOTHING ? Silence(request) : ExchangeFrame(request);
    if (seen == NOTHING) {
      EXPECT_TRUE(reply.empty());
      continue;
    }
    ASSERT_GE(reply.size(), 5u);
    ASSERT_EQ(reply.size(), reply[1]);
    EXPECT_EQ(reply[2], request[2]);
    const FrameVerdict want = seen == OK ? FRAME_OK : FRAME_BAD;
    EXPECT_EQ(CheckFrame(reply.data(), static_cast<int>(reply.size())), want);
  }
}

const Bytes kRecord9 = ReadRecordRequest(9);

INSTANTIATE_TEST_SUITE_P(
    Faults, SimFaultTest,
    ::testing::Values(
        FaultCase{"silent", {"--silent"}, {{kProbe, NOTHING}, {kPointer, NOTHING}}},
        FaultCase{"silent_after_two",
                  {"--silent-after", "2"},
                  {{kProbe, OK}, {kPointer, OK}, {kTable, OK}, {kRecord9, NOTHING},
                   {kProbe, NOTHING}}},
        FaultCase{"drop_second_once",
                  {"--drop", "2"},
                  {{kProbe, OK}, {kPointer, OK}, {kTable, NOTHING}, {kTable, OK}}},
        FaultCase{"corrupt_second_once",
                  {"--corrupt", "2"},
                  {{kPointer, OK}, {kRecord9, BAD}, {kRecord9, OK}, {kProbe, OK}}},
        FaultCase{"corrupt_every_second",
                  {"--corrupt-every", "2"},
                  {{kPointer, OK}, {kTable, BAD}, {kRecord9, OK}, {kRecord9, BAD}}},
        FaultCase{"corrupt_first_try_of_each",
                  {"--corrupt-first-try"},
                  {{kPointer, BAD}, {kPointer, OK}, {kTable, BAD}, {kTable, OK}, {kRecord9, BAD},
                   {kPointer, BAD}, {kProbe, OK}, {kPointer, OK}}},
        FaultCase{"pieces_at_wire_speed",
                  {"--pieces", "5,15", "--baud", "9600"},
                  {{kProbe, OK}, {kTable, OK}, {kRecord9, OK}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, GarbageComesJustBeforeTheChosenReply) {
  Start({"--garbage", "9@2"});
  EXPECT_EQ(ExchangeFrame(kPointer).size(), 7u);
  const Bytes reply = Exchange(kPointer, 16);
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(Bytes(reply.begin() + 9, reply.end()), ExchangeFrame(kPointer));
  EXPECT_TRUE(ReadFor(fd_, 1, 100).empty()) << "garbage beyond the chosen reply";
}

// Only the reply to request 2 trickles in; the ones before and after come whole.
TEST_F(SimTest, PiecesCanBeKeptToOneReply) {
  Start({"--pieces", "1,300@2"});
  for (int request = 1; request <= 3; ++request) {
    SCOPED_TRACE("request " + std::to_string(request));
    ASSERT_TRUE(WriteFrame(fd_, kPointer));
    Bytes reply = ReadFor(fd_, 1, 2000);
    ASSERT_EQ(reply.size(), 1u);
    const Bytes soon = ReadFor(fd_, 6, 100);
    EXPECT_EQ(soon.size(), request == 2 ? 0u : 6u);
    reply.insert(reply.end(), soon.begin(), soon.end());
    const Bytes rest = ReadFor(fd_, 7 - reply.size(), 5000);
    reply.insert(reply.end(), rest.begin(), rest.end());
    EXPECT_EQ(reply, (Bytes{0x01, 0x07, 0x0B, 0x05, 0x00, 0x18, 0x00}));
  }
}

TEST_F(SimTest, ProbeCanBeAnsweredWithOtherBytes) {
  Start({"--probe-reply", "01 05 FF 06 01"});
  EXPECT_EQ(Exchange(kProbe, 64, 300), (Bytes{0x01, 0x05, 0xFF, 0x06, 0x01}));
  EXPECT_EQ(ExchangeFrame(kPointer).size(), 7u);
}

// The adapter pulled out while a request is under way.
TEST_F(SimTest, ExitAfterHangsUpThePort) {
  Start({"--exit-after", "2"});
  EXPECT_EQ(Exchange(kPointer, 7).size(), 7u);
  EXPECT_TRUE(WriteFrame(fd_, kTable));
  ASSERT_TRUE(sim_->ExitsWithin(2000));
  pollfd p{fd_, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
  std::uint8_t byte;
  const ssize_t n = read(fd_, &byte, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n;
}

}  // namespace
}  // namespace velorix::simtest
