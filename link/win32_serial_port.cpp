#include "link/win32_serial_port.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileio/wide_text.h"

namespace velorix {

PortDevice EnvironmentPortDevice(int portNumber) {
  if (portNumber < 1) return {};
  const std::string name = "VELORIX_COM" + std::to_string(portNumber);
  if (const char* mapped = std::getenv(name.c_str()); mapped && *mapped) return {mapped, {}};
  return {"COM" + std::to_string(portNumber), {}};
}

std::unique_ptr<SerialPort> MakeSystemSerialPort(PortDeviceResolver resolver) {
  return std::make_unique<Win32SerialPort>(std::move(resolver));
}

std::string Win32PortFileName(const std::string& name) {
  const bool bare = name.size() > 3 && (name[0] | 0x20) == 'c' && (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 'm' &&
                    std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
  return bare ? "\\\\.\\" + name : name;
}

namespace {

std::string OpenFailure(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return "missing";
    // A port another program has open answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return "busy";
    default:
      return SystemMessageText(error);
  }
}

// What reads and ClearCommError answer once a USB serial port has been
// removed, depending on its driver.
bool IsRemovalError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

}  // namespace

struct Win32SerialPort::Handles {
  PortDeviceResolver resolver;
  HANDLE port = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;      // set by Wake(), manual reset
  HANDLE io = nullptr;        // reads and writes
  bool savedState = false;
  DCB oldState{};
  bool savedTimeouts = false;
  COMMTIMEOUTS oldTimeouts{};
  bool gone = false;  // a transfer said the port has been removed
  // Waiting reads one byte ahead: a read that completes on the first byte to
  // arrive is the one wait that works on every driver (Wine's serial ports on
  // a pseudo-terminal signal receive events at once, over and over). Bytes
  // read ahead are handed out first.
  std::string ahead;
};

Win32SerialPort::Win32SerialPort(PortDeviceResolver resolver) : h_(std::make_unique<Handles>()) {
  h_->resolver = resolver ? std::move(resolver) : EnvironmentPortDevice;
  h_->wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  h_->io = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Win32SerialPort::~Win32SerialPort() {
  Close();
  for (HANDLE event : {h_->wake, h_->io})
    if (event != nullptr) ::CloseHandle(event);
}

PortOpenResult Win32SerialPort::Open(int portNumber) {
  if (portNumber < 1) {
    Close();
    return {false, "", "missing"};
  }
  const PortDevice device = h_->resolver(portNumber);
  if (!device.refusal.empty() || device.path.empty()) {
    Close();
    return {false, device.path, device.refusal.empty() ? "missing" : device.refusal};
  }
  return OpenName(device.path);
}

PortOpenResult Win32SerialPort::OpenName(const std::string& name) {
  Close();
  PortOpenResult result{false, name, ""};
  // Exclusive (no sharing), and overlapped so that a wait can be ended.
  const std::string file = Win32PortFileName(name);
  HANDLE port = ::CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    result.outcome = OpenFailure(::GetLastError());
    return result;
  }
  DCB state{};
  state.DCBlength = sizeof state;
  if (!::GetCommState(port, &state)) {
    ::CloseHandle(port);
    result.outcome = "not a serial port";
    return result;
  }
  h_->port = port;
  h_->gone = false;
  h_->oldState = state;
  h_->savedState = true;
  h_->savedTimeouts = ::GetCommTimeouts(port, &h_->oldTimeouts) != 0;
  result.opened = true;
  result.outcome = "ok";
  return result;
}

bool Win32SerialPort::IsOpen() const { return h_->port != INVALID_HANDLE_VALUE; }

void Win32SerialPort::Configure() {
  if (!IsOpen()) return;
  DCB state{};
  state.DCBlength = sizeof state;
  ::GetCommState(h_->port, &state);
  state.BaudRate = CBR_9600;
  state.ByteSize = 8;
  state.Parity = NOPARITY;
  state.StopBits = TWOSTOPBITS;
  state.fOutxCtsFlow = FALSE;
  state.fOutxDsrFlow = FALSE;
  state.fDsrSensitivity = FALSE;
  state.fDtrControl = DTR_CONTROL_DISABLE;
  state.fRtsControl = RTS_CONTROL_DISABLE;
  state.fInX = FALSE;
  state.fOutX = FALSE;
  ::SetCommState(h_->port, &state);
  // Reads only ever ask for bytes already waiting; 0xFFFF between bytes and
  // no totals, no write time-out.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0xFFFF;
  ::SetCommTimeouts(h_->port, &timeouts);
  ::SetupComm(h_->port, 256, 256);
}

void Win32SerialPort::Purge() {
  h_->ahead.clear();
  if (IsOpen()) ::PurgeComm(h_->port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// A line that refuses it (a pseudo-terminal behind Wine: error 50) changes
// nothing else.
void Win32SerialPort::ClearDtrRts() {
  if (!IsOpen()) return;
  ::EscapeCommFunction(h_->port, CLRDTR);
  ::EscapeCommFunction(h_->port, CLRRTS);
}

PortStatus Win32SerialPort::Poll() {
  PortStatus status;
  if (!IsOpen()) return status;
  DWORD errors = 0;
  COMSTAT stat{};
  if (h_->gone || !::ClearCommError(h_->port, &errors, &stat)) {
    status.hungUp = true;
    return status;
  }
  if (errors & CE_RXOVER) status.errors |= PORT_RXOVER;
  if (errors & CE_OVERRUN) status.errors |= PORT_OVERRUN;
  if (errors & CE_RXPARITY) status.errors |= PORT_RXPARITY;
  if (errors & CE_FRAME) status.errors |= PORT_FRAME;
  status.waiting = static_cast<int>(stat.cbInQue + h_->ahead.size());
  return status;
}

namespace {

// One overlapped transfer, waited for to its end. A failure that says the
// port has been removed sets `gone`.
int Transfer(HANDLE port, HANDLE event, bool write, void* bytes, int count, bool& gone) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  ::ResetEvent(event);
  DWORD done = 0;
  const BOOL ok = write ? ::WriteFile(port, bytes, static_cast<DWORD>(count), &done, &overlapped)
                        : ::ReadFile(port, bytes, static_cast<DWORD>(count), &done, &overlapped);
  if (!ok && (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(port, &overlapped, &done, TRUE))) {
    if (IsRemovalError(::GetLastError())) gone = true;
    return 0;
  }
  return static_cast<int>(done);
}

}  // namespace

int Win32SerialPort::Read(std::uint8_t* bytes, int count) {
  if (!IsOpen() || count <= 0) return 0;
  const int early = std::min(count, static_cast<int>(h_->ahead.size()));
  std::memcpy(bytes, h_->ahead.data(), static_cast<std::size_t>(early));
  h_->ahead.erase(0, static_cast<std::size_t>(early));
  if (early == count) return count;
  return early + Transfer(h_->port, h_->io, false, bytes + early, count - early, h_->gone);
}

int Win32SerialPort::Write(const std::uint8_t* bytes, int count) {
  if (!IsOpen() || count <= 0) return 0;
  return Transfer(h_->port, h_->io, true, const_cast<std::uint8_t*>(bytes), count, h_->gone);
}

void Win32SerialPort::Close() {
  h_->ahead.clear();
  if (!IsOpen()) return;
  if (h_->savedTimeouts) ::SetCommTimeouts(h_->port, &h_->oldTimeouts);
  if (h_->savedState) ::SetCommState(h_->port, &h_->oldState);
  ::CloseHandle(h_->port);
  h_->port = INVALID_HANDLE_VALUE;
  h_->savedState = h_->savedTimeouts = false;
}

void Win32SerialPort::WaitForInput(int minBytes, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    if (::WaitForSingleObject(h_->wake, 0) == WAIT_OBJECT_0) break;
    const PortStatus status = Poll();
    if (!status.hungUp && IsOpen() && status.waiting >= minBytes) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    // Closed or gone: only the wake-up or the time ends the wait.
    if (!IsOpen() || status.hungUp) {
      if (::WaitForSingleObject(h_->wake, static_cast<DWORD>(left)) == WAIT_OBJECT_0) break;
      return;
    }
    // One byte, read as soon as it arrives; the port's time-outs set no
    // total, so only the byte, the wake-up or our time ends the read.
    OVERLAPPED overlapped{};
    overlapped.hEvent = h_->io;
    ::ResetEvent(h_->io);
    std::uint8_t byte = 0;
    DWORD got = 0;
    if (!::ReadFile(h_->port, &byte, 1, &got, &overlapped)) {
      if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
        // A port that takes no reads is as good as gone.
        h_->gone = h_->gone || IsRemovalError(error);
        if (::WaitForSingleObject(h_->wake, static_cast<DWORD>(left)) == WAIT_OBJECT_0) break;
        return;
      }
      const HANDLE events[2] = {h_->wake, h_->io};
      const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(left));
      const bool givenUp = woke != WAIT_OBJECT_0 + 1;
      if (givenUp) ::CancelIoEx(h_->port, &overlapped);
      // A byte that came as the read was given up is kept all the same.
      if (!::GetOverlappedResult(h_->port, &overlapped, &got, TRUE)) {
        got = 0;
        if (!givenUp && IsRemovalError(::GetLastError())) h_->gone = true;
      }
    }
    if (got == 1) h_->ahead.push_back(static_cast<char>(byte));
  }
  ::ResetEvent(h_->wake);
}

void Win32SerialPort::Wake() { ::SetEvent(h_->wake); }

}  // namespace velorix
