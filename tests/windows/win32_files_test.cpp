// The Win32 side of the file replacement, the settings file's reader, the
// port names and the port list; run under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "fileio/file_system.h"
#include "fileio/safe_replace.h"
#include "fileio/wide_text.h"
#include "link/win32_ports.h"
#include "link/win32_serial_port.h"

namespace velorix {
namespace {

class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH + 1, base);
    path_ = Utf8FromWide(base) + "velorix-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(counter_++);
    ::CreateDirectoryW(WideFromUtf8(path_).c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::string& name : Names()) {
      const std::wstring file = WideFromUtf8(Path(name));
      ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!::DeleteFileW(file.c_str())) ::RemoveDirectoryW(file.c_str());
    }
    ::RemoveDirectoryW(WideFromUtf8(path_).c_str());
  }
  std::string Path(const std::string& name) const { return path_ + "\\" + name; }
  // What the folder holds, by the system's own (wide) listing.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(WideFromUtf8(path_ + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(Utf8FromWide(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
  }
  void Write(const std::string& name, const std::string& bytes) const {
    ASSERT_TRUE(ReplaceFileContents(Path(name), bytes));
  }
  std::string Read(const std::string& name) const {
    std::string bytes;
    ReadRegularFile(Path(name), bytes, 1 << 20, "too large");
    return bytes;
  }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

// Holds a file open without sharing, as a spreadsheet program holds the file
// it shows.
struct HeldFile {
  explicit HeldFile(const std::string& path)
      : handle(::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr)) {}
  ~HeldFile() {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
  HANDLE handle;
};

struct ReplaceCase {
  const char* name;
  std::string target;                                       // in the test's folder
  std::function<void(const TempFolder&)> before;            // what is there first
  std::string error;                                        // "" for a written file
  std::string after;                                        // the target's bytes afterwards
  bool checkedBeforehand;                                   // CheckOutputTarget says the same error
};

std::string Name(const testing::TestParamInfo<ReplaceCase>& info) { return info.param.name; }
void PrintTo(const ReplaceCase& c, std::ostream* out) { *out << c.name; }

class Win32Replace : public testing::TestWithParam<ReplaceCase> {};

TEST_P(Win32Replace, WritesOrRefusesAndLeavesNothingBehind) {
  const ReplaceCase& c = GetParam();
  TempFolder folder;
  if (c.before) c.before(folder);
  std::vector<std::string> namesBefore = folder.Names();
  std::unique_ptr<HeldFile> held;
  if (std::string(c.name) == "held_without_sharing") held = std::make_unique<HeldFile>(folder.Path(c.target));

  const std::string path = c.target.find(':') != std::string::npos ? c.target : folder.Path(c.target);
  if (c.checkedBeforehand) {
    EXPECT_EQ(CheckOutputTarget(path), c.error);
  }
  std::string error;
  EXPECT_EQ(ReplaceFileContents(path, "new\nbytes\n", &error), c.error.empty());
  EXPECT_EQ(error, c.error);
  held.reset();
  if (c.error.empty()) {
    EXPECT_EQ(folder.Read(c.target), "new\nbytes\n");
    if (namesBefore.empty()) namesBefore.push_back(c.target);
  } else if (!c.after.empty()) {
    EXPECT_EQ(folder.Read(c.target), c.after);
  }
  // No temporary file and no backup of the old one stay behind.
  EXPECT_EQ(folder.Names(), namesBefore);
}

const auto OldFile = [](const std::string& name) {
  return [name](const TempFolder& folder) { folder.Write(name, "old"); };
};

INSTANTIATE_TEST_SUITE_P(
    Targets, Win32Replace,
    testing::Values(
        ReplaceCase{"new_file", "results.xls", nullptr, "", "", true},
        ReplaceCase{"older_file_replaced", "results.xls", OldFile("results.xls"), "", "", true},
        ReplaceCase{"cyrillic_and_chinese_name", "отчёт 结果.xls", nullptr, "", "", true},
        ReplaceCase{"read_only_file_kept", "results.xls",
                    [](const TempFolder& folder) {
                      folder.Write("results.xls", "old");
                      ::SetFileAttributesW(WideFromUtf8(folder.Path("results.xls")).c_str(), FILE_ATTRIBUTE_READONLY);
                    },
                    SystemErrorText(EACCES), "old", true},
        ReplaceCase{"held_without_sharing", "results.xls", OldFile("results.xls"), FILE_IN_USE_TEXT, "old", true},
        ReplaceCase{"folder", "sub",
                    [](const TempFolder& folder) {
                      ::CreateDirectoryW(WideFromUtf8(folder.Path("sub")).c_str(), nullptr);
                    },
                    SystemErrorText(EISDIR), "", true},
        ReplaceCase{"missing_folder", "nowhere\\results.xls", nullptr, SystemErrorText(ENOENT), "", true},
        ReplaceCase{"device_name_with_extension", "COM1.xls", nullptr,
                    "Not a regular file (COM1 is a device name)", "", true},
        ReplaceCase{"device_name_alone", "nul", nullptr, "Not a regular file (NUL is a device name)", "", true}),
    Name);

TEST(Win32DeviceNames, EveryReservedNameWhateverItsExtensionOrFolder) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"COM1.xls", "COM1"}, {"nul", "NUL"},       {"c:\\x\\Con.doc", "CON"}, {"lpt9", "LPT9"},
      {"nul .txt", "NUL"},  {"d/aux.x.y", "AUX"}, {"CONOUT$", "CONOUT$"},   {"prn.", "PRN"},
      {"COM10.xls", ""},    {"COM0", ""},         {"console.xls", ""},      {"results.xls", ""},
      {"com1x.doc", ""},    {"COM¹.xls", "COM¹"}, {"lpt²", "LPT²"},         {"c:\\x\\com³.doc", "COM³"},
      {"COM⁴.xls", ""},     {"COM¹¹", ""}};
  for (const auto& [path, device] : cases) EXPECT_EQ(WindowsDeviceName(path), device) << path;
}

TEST(Win32SettingsReader, OnlyARegularFileOfAtMostTheLimit) {
  TempFolder folder;
  folder.Write("small.ini", "[a]\nb=1\n");
  folder.Write("large.ini", std::string(100, 'x'));
  ::CreateDirectoryW(WideFromUtf8(folder.Path("dir.ini")).c_str(), nullptr);
  struct Row {
    std::string path;
    ReadResult result;
    std::string problem;
  };
  const std::vector<Row> rows{{folder.Path("small.ini"), ReadResult::Ok, ""},
                              {folder.Path("missing.ini"), ReadResult::Missing, ""},
                              {folder.Path("large.ini"), ReadResult::Failed, "too large"},
                              {folder.Path("dir.ini"), ReadResult::Failed, "not a regular file"},
                              {"NUL", ReadResult::Failed, "not a regular file"},
                              {folder.Path("COM1.ini"), ReadResult::Failed, "not a regular file"}};
  for (const Row& row : rows) {
    std::string content, problem;
    EXPECT_EQ(ReadRegularFile(row.path, content, 50, "too large", &problem), row.result) << row.path;
    EXPECT_EQ(problem, row.problem) << row.path;
  }
}

TEST(Win32PortNames, ComNamesOpenInTheirDeviceFormOthersAsGiven) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"COM3", "\\\\.\\COM3"}, {"com12", "\\\\.\\com12"}, {"\\\\.\\COM3", "\\\\.\\COM3"}, {"COM", "COM"},
      {"COMX", "COMX"},        {"COM3:", "COM3:"}};
  for (const auto& [name, file] : cases) EXPECT_EQ(Win32PortFileName(name), file) << name;
  EXPECT_EQ(EnvironmentPortDevice(7).path, "COM7");
}

TEST(Win32PortList, UsbVendorAndProductFromTheHardwareId) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"USB\\VID_0403&PID_6001&REV_0600", "0403:6001"},
      {"FTDIBUS\\VID_0403+PID_6015+DK0AB1C2A\\0000", "0403:6015"},
      {"usb\\vid_067b&pid_2303", "067b:2303"},
      {"ACPI\\PNP0501", ""},
      {"USB\\VID_04G3&PID_6001", ""},
      {"USB\\VID_0403", ""}};
  for (const auto& [id, usb] : cases) EXPECT_EQ(UsbIdOfHardwareId(id), usb) << id;
}

TEST(Win32SerialPortTest, AMissingPortIsMissingAndAWakeEndsTheWaitAtOnce) {
  Win32SerialPort port([](int n) { return PortDevice{"COM" + std::to_string(200 + n), {}}; });
  EXPECT_EQ(port.Open(1).outcome, "missing");
  EXPECT_FALSE(port.IsOpen());
  // A wake-up given before the wait ends it at once, also while closed.
  port.Wake();
  const auto start = std::chrono::steady_clock::now();
  port.WaitForInput(1, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace velorix
