// The link and the termios port on real pseudo-terminals: the simulated
// instrument for whole conversations, a bare pty for the port's own rules.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_link_parts.h"
#include "link/device_link.h"
#include "link/frame_codec.h"
#include "link/posix_serial_port.h"

namespace velorix {
namespace {

namespace fs = std::filesystem;
using testing::Frame;
using testing::Hex;
using testing::RecordingOwner;
using Bytes = std::vector<std::uint8_t>;

// A scratch directory per test, with every COM number mapped into it, so no
// test ever touches a real serial device of the machine.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "velorix-link-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    for (int n = 1; n <= 9; ++n)
      ::setenv(("VELORIX_COM" + std::to_string(n)).c_str(), (path_ / ("absent" + std::to_string(n))).c_str(), 1);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// velorix-sim in a child process, mapped to COM2.
class Simulator {
 public:
  Simulator(const ScratchDir& dir, std::vector<std::string> faults)
      : linkPath_(dir / "com2"), logPath_(dir / "sim.log") {
    std::vector<std::string> args{VELORIX_SIM_PATH, "--quiet", "--link", linkPath_.string(), "--log",
                                  logPath_.string()};
    args.insert(args.end(), faults.begin(), faults.end());
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    // The first line is the pty's path: from then on the pty is there.
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') slave_ += c;
    stdout_ = out[0];
    ::setenv("VELORIX_COM2", linkPath_.c_str(), 1);
  }
  ~Simulator() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
  }
  bool Ready() const { return pid_ > 0 && !slave_.empty(); }
  // The frames the instrument received, one hex line each (probes included).
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::ifstream in(logPath_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> Requests() const {
    std::vector<std::string> out;
    for (const std::string& l : Log())
      if (l != Hex({PROBE_FRAME.begin(), PROBE_FRAME.end()})) out.push_back(l);
    return out;
  }

 private:
  fs::path linkPath_, logPath_;
  std::string slave_;
  pid_t pid_ = -1;
  int stdout_ = -1;
};

class SimLink : public ::testing::Test {
 protected:
  void Connect(std::vector<std::string> faults, int startPort = 3) {
    sim_ = std::make_unique<Simulator>(dir_, std::move(faults));
    ASSERT_TRUE(sim_->Ready());
    link_.PortNumber(startPort);
    ASSERT_EQ(link_.Start(&owner_), 1);
    ASSERT_TRUE(owner_.WaitForEvent("S| Device connected on COM2 ", 10000));
  }
  // Places a request and waits for its frame notice; returns the frame.
  Bytes Exchange(const Bytes& request, int timeoutMs = 400) {
    const int before = static_cast<int>(owner_.Events('F').size());
    link_.PlaceRequest(request.data(), static_cast<int>(request.size()), timeoutMs);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (static_cast<int>(owner_.Events('F').size()) == before && std::chrono::steady_clock::now() < end)
      owner_.WaitForEvent("never", 10);
    const auto frames = owner_.Events('F');
    if (static_cast<int>(frames.size()) == before) return {};
    Bytes bytes;
    const std::string hex = frames.back().substr(2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 3)
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
  }

  ScratchDir dir_;
  std::unique_ptr<Simulator> sim_;
  RecordingOwner owner_;
  CDeviceLink link_;  // destroyed first: stops before the simulator goes
};

TEST_F(SimLink, FindsTheInstrumentOnTheMappedPort) {
  Connect({}, 3);
  EXPECT_EQ(link_.PortNumber(-1), 2);
  EXPECT_EQ(owner_.Events('T'), (std::vector<std::string>{"T|3|missing", "T|1|missing", "T|2|ok"}));
  link_.Stop();
  // The port is free again once stopped: a second program may take it.
  PosixSerialPort other;
  EXPECT_EQ(other.Open(2).outcome, "ok");
}

struct CommandCase {
  std::string name;
  Bytes request;
  int replyLength;
};

class SimCommand : public SimLink, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(SimCommand, OneRequestOneReply) {
  const CommandCase& c = GetParam();
  Connect({});
  const Bytes reply = Exchange(c.request);
  ASSERT_EQ(static_cast<int>(reply.size()), c.replyLength);
  EXPECT_EQ(CheckFrame(reply.data(), static_cast<int>(reply.size())), FRAME_OK);
  EXPECT_EQ(reply[1], c.replyLength);
  EXPECT_EQ(reply[2], c.request[2]);
  EXPECT_EQ(link_.State(), LINK_REPLIED);
  link_.Stop();
  EXPECT_EQ(sim_->Requests(), (c.request[2] == CMD_END ? std::vector<std::string>{} : std::vector<std::string>{Hex(c.request)}));
  const auto events = owner_.Events('S');
  EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
            (std::vector<std::string>{"S| Waiting response.", "S| Response OK."}));
}

INSTANTIATE_TEST_SUITE_P(
    Pty, SimCommand,
    ::testing::Values(CommandCase{"ArchivePointer", Frame(CMD_ARCHIVE_POINTER), 7},
                      CommandCase{"EmptyCells", Frame(CMD_EMPTY_CELLS), 54},
                      CommandCase{"ReadRecord", Frame(CMD_READ_RECORD, {0xCF, 0x07}), 38},
                      CommandCase{"End", Frame(CMD_END), 5}),
    [](const auto& info) { return info.param.name; });

TEST_F(SimLink, CorruptReplyIsRepeated) {
  Connect({"--corrupt", "1"});
  const Bytes request = Frame(CMD_ARCHIVE_POINTER);
  const Bytes reply = Exchange(request);
  ASSERT_EQ(reply.size(), 7u);
  EXPECT_EQ(CheckFrame(reply.data(), 7), FRAME_OK);
  link_.Stop();
  EXPECT_EQ(sim_->Requests(), (std::vector<std::string>{Hex(request), Hex(request)}));
  const auto statuses = owner_.Events('S');
  EXPECT_EQ(std::vector<std::string>(statuses.begin() + 1, statuses.end()),
            (std::vector<std::string>{"S| Waiting response.", "S| Repeat 1. Waiting response.",
                                      "S| Response OK."}));
}

// ---------------------------------------------------------------- the port

// A bare pty: the test holds the master, the port opens the slave.
struct Pty {
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(master);
    ::unlockpt(master);
    slave = ::ptsname(master);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
  int master = -1;
  std::string slave;
};

TEST(PosixPort, LineSettings) {
  Pty pty;
  PosixSerialPort port;
  ASSERT_EQ(port.OpenPath(pty.slave).outcome, "ok");
  port.Configure();
  port.ClearDtrRts();  // not supported on a pty: must do no harm
  termios tio{};
  ASSERT_EQ(::tcgetattr(pty.master, &tio), 0);  // the slave's settings
  EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_TRUE(tio.c_cflag & CLOCAL);
  EXPECT_TRUE(tio.c_cflag & CREAD);
  EXPECT_FALSE(tio.c_cflag & (PARENB | CRTSCTS));
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP));
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(tio.c_oflag & OPOST);
}

TEST(PosixPort, BytesWaitingReadAndWrite) {
  Pty pty;
  PosixSerialPort port;
  ASSERT_TRUE(port.OpenPath(pty.slave).opened);
  port.Configure();
  const Bytes sent{0x01, 0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF};  // bytes a cooked line would eat
  ASSERT_EQ(::write(pty.master, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  port.WaitForInput(static_cast<int>(sent.size()), 1000);
  const PortStatus status = port.Poll();
  EXPECT_EQ(status.waiting, static_cast<int>(sent.size()));
  EXPECT_EQ(status.errors, 0u);
  EXPECT_FALSE(status.hungUp);
  Bytes got(sent.size());
  EXPECT_EQ(port.Read(got.data(), static_cast<int>(got.size())), static_cast<int>(sent.size()));
  EXPECT_EQ(got, sent);
  EXPECT_EQ(port.Write(PROBE_FRAME.data(), 5), 5);
  std::uint8_t echo[5] = {};
  EXPECT_EQ(::read(pty.master, echo, 5), 5);
  EXPECT_TRUE(std::equal(echo, echo + 5, PROBE_FRAME.begin()));
}

TEST(PosixPort, ExclusiveUntilClosed) {
  Pty pty;
  PosixSerialPort first, second;
  ASSERT_EQ(first.OpenPath(pty.slave).outcome, "ok");
  EXPECT_EQ(second.OpenPath(pty.slave).outcome, "busy");
  first.Close();
  EXPECT_EQ(second.OpenPath(pty.slave).outcome, "ok");
}

// Another program holds the port with TIOCEXCL alone (no flock): it is in
// use, also for root, whom the kernel would let in, and its flag stays set.
TEST(PosixPort, AnotherProgramsExclusiveFlagIsLeftAlone) {
  Pty pty;
  const int other = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::ioctl(other, TIOCEXCL), 0);
  PosixSerialPort port;
  EXPECT_EQ(port.OpenPath(pty.slave).outcome, "busy");
  int exclusive = 0;
  EXPECT_TRUE(::ioctl(other, TIOCGEXCL, &exclusive) == 0 && exclusive == 1);
  ::close(other);
}

struct OpenCase {
  std::string name;
  std::string path;  // relative to a scratch directory
  std::string outcome;
};

class PosixOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(PosixOpen, SaysWhyNot) {
  ScratchDir dir;
  std::ofstream(dir / "plain-file") << "x";
  PosixSerialPort port;
  const PortOpenResult result = port.OpenPath((dir / GetParam().path).string());
  EXPECT_FALSE(result.opened);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(result.outcome, GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Pty, PosixOpen,
                         ::testing::Values(OpenCase{"Missing", "no-such-device", "missing"},
                                           OpenCase{"NotATerminal", "plain-file", "not a serial port"}),
                         [](const auto& info) { return info.param.name; });

// Without the program's own rules a number names a device only through its
// variable: no number ever falls back to a device of the machine.
TEST(PosixPort, WithoutRulesOnlyTheVariableNamesADevice) {
  ::unsetenv("VELORIX_COM1");
  ::setenv("VELORIX_COM2", "/dev/ttyUSB0", 1);
  ::setenv("VELORIX_COM3", "", 1);
  EXPECT_EQ(EnvironmentPortDevice(1).path, "");
  EXPECT_EQ(EnvironmentPortDevice(2).path, "/dev/ttyUSB0");
  EXPECT_EQ(EnvironmentPortDevice(3).path, "");
  PosixSerialPort port;
  EXPECT_EQ(port.Open(0).outcome, "missing");
  const PortOpenResult none = port.Open(1);
  EXPECT_FALSE(none.opened);
  EXPECT_EQ(none.device, "");
  EXPECT_EQ(none.outcome, "missing");
}

// A vanished device reports hang-up for ever; waiting on it must still take
// its time (or end on a wake-up), never return at once over and over.
TEST(PosixPort, HungUpPortWaitsInsteadOfSpinning) {
  auto pty = std::make_unique<Pty>();
  PosixSerialPort port;
  ASSERT_TRUE(port.OpenPath(pty->slave).opened);
  pty.reset();  // the far end goes away
  const PortStatus status = port.Poll();
  EXPECT_TRUE(status.hungUp);
  EXPECT_EQ(status.waiting, 0);
  EXPECT_EQ(port.Write(PROBE_FRAME.data(), 5), 0);
  int waits = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < end) {
    port.WaitForInput(1, 100);
    ++waits;
  }
  EXPECT_LE(waits, 5);
  // A wake-up still ends the wait.
  port.Wake();
  const auto before = std::chrono::steady_clock::now();
  port.WaitForInput(1, 10000);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

}  // namespace
}  // namespace velorix
