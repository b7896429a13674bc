// The port setting: file format, conversion and where the file lives.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "shell/settings.h"
#include "tests/shell/test_support.h"

namespace velorix {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::RunInChild;
using testing::ScratchFolder;
using testing::WriteFile;

struct PortReadCase {
  const char* name;
  bool fileExists;
  std::string content;
  int expected;
};

class PortRead : public ::testing::TestWithParam<PortReadCase> {};

TEST_P(PortRead, ReadsLikeTheProfileAndAtoi) {
  const PortReadCase& c = GetParam();
  ScratchFolder folder;
  const std::string path = folder.file("Velquor.ini");
  if (c.fileExists) WriteFile(path, c.content);
  EXPECT_EQ(ReadPortSettingFrom(path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortRead,
    ::testing::Values(
        PortReadCase{"FirstStartNoFile", false, "", 2},
        PortReadCase{"BlankThreeBlank", true, "[Velorix - 5]\nCOM Port 1_4= 3 \n", 3},
        PortReadCase{"ThreeWithoutBlanks", true, "[Velorix - 5]\nCOM Port 1_4=3\n", 3},
        PortReadCase{"MinusOne", true, "[Velorix - 5]\nCOM Port 1_4= -1 \n", -1},
        PortReadCase{"Zero", true, "[Velorix - 5]\nCOM Port 1_4=0\n", 0},
        PortReadCase{"AboveFour", true, "[Velorix - 5]\nCOM Port 1_4=17\n", 17},
        PortReadCase{"PlusSign", true, "[Velorix - 5]\nCOM Port 1_4=+4\n", 4},
        PortReadCase{"DigitsThenLetters", true, "[Velorix - 5]\nCOM Port 1_4=12abc\n", 12},
        PortReadCase{"LettersOnly", true, "[Velorix - 5]\nCOM Port 1_4=abc\n", 0},
        PortReadCase{"EmptyValue", true, "[Velorix - 5]\nCOM Port 1_4=\n", 0},
        PortReadCase{"NineteenCharactersRead", true, "[Velorix - 5]\nCOM Port 1_4=0000000000000000004\n", 4},
        PortReadCase{"TwentiethCharacterCut", true, "[Velorix - 5]\nCOM Port 1_4=00000000000000000045\n", 4},
        PortReadCase{"HugeNumberClamped", true, "[Velorix - 5]\nCOM Port 1_4=99999999999999999999\n", INT_MAX},
        PortReadCase{"HugeNegativeClamped", true, "[Velorix - 5]\nCOM Port 1_4=-9999999999999999999\n", INT_MIN},
        PortReadCase{"CaseInsensitiveNames", true, "[VELORIX - 5]\ncom port 1_4 = 4\n", 4},
        PortReadCase{"SectionMissing", true, "[Velorix-5]\nCOM Port 1_4=4\n", 2},
        PortReadCase{"KeyMissing", true, "[Velorix - 5]\nCOM Port=4\n", 2},
        PortReadCase{"AmongOtherSections", true, "[A]\nCOM Port 1_4=9\n[Velorix - 5]\nx=1\nCOM Port 1_4=3\n[B]\n", 3}),
    [](const ::testing::TestParamInfo<PortReadCase>& info) { return std::string(info.param.name); });

struct PortWriteCase {
  const char* name;
  bool fileExists;
  std::string before;
  int port;
  std::string after;
};

class PortWrite : public ::testing::TestWithParam<PortWriteCase> {};

TEST_P(PortWrite, WritesBlankNumberBlankAndKeepsTheRest) {
  const PortWriteCase& c = GetParam();
  ScratchFolder folder;
  const std::string path = folder.file("Velquor.ini");
  if (c.fileExists) WriteFile(path, c.before);
  EXPECT_TRUE(WritePortSettingTo(path, c.port));
  EXPECT_EQ(ReadFile(path), c.after);
  EXPECT_EQ(ReadPortSettingFrom(path), c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortWrite,
    ::testing::Values(
        PortWriteCase{"FirstStart", false, "", 2, "[Velorix - 5]\nCOM Port 1_4= 2 \n"},
        PortWriteCase{"Replace", true, "[Velorix - 5]\nCOM Port 1_4= 2 \n", 3, "[Velorix - 5]\nCOM Port 1_4= 3 \n"},
        PortWriteCase{"Negative", true, "[Velorix - 5]\nCOM Port 1_4=4\n", -1, "[Velorix - 5]\nCOM Port 1_4= -1 \n"},
        PortWriteCase{"HandAddedKeysKept", true,
                      "# mine\n[Velorix - 5]\nNote = keep me\ncom port 1_4=4\n\n[Other]\nCOM Port 1_4=9\n", 1,
                      "# mine\n[Velorix - 5]\nNote = keep me\ncom port 1_4= 1 \n\n[Other]\nCOM Port 1_4=9\n"},
        PortWriteCase{"SectionAddedAfterOthers", true, "[Other]\na=b\n", 3,
                      "[Other]\na=b\n\n[Velorix - 5]\nCOM Port 1_4= 3 \n"}),
    [](const ::testing::TestParamInfo<PortWriteCase>& info) { return std::string(info.param.name); });

TEST(PortSettingNoPath, ReadsDefaultAndWritesNothing) {
  EXPECT_EQ(ReadPortSettingFrom(""), 2);
  EXPECT_FALSE(WritePortSettingTo("", 3));
}

// The path is process-wide state, so each of these runs in a child process.

TEST(SettingsPath, FirstStartInEmptyFolderCreatesTheFileOnWrite) {
  ScratchFolder folder;
  const int result = RunInChild([&] {
    if (::chdir(folder.path().c_str()) != 0) return 10;
    if (SettingsFilePath() != folder.path() + "/Velquor.ini") return 11;
    if (ReadPortSetting() != 2) return 12;
    if (Exists(folder.file("Velquor.ini"))) return 13;  // reading creates nothing
    WritePortSetting(2);
    return 0;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(ReadFile(folder.file("Velquor.ini")), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

TEST(SettingsPath, IsComputedOnceAndStaysWhenTheFolderChanges) {
  ScratchFolder start;
  ScratchFolder other;
  WriteFile(start.file("Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 4 \n");
  const int result = RunInChild([&] {
    if (::chdir(start.path().c_str()) != 0) return 10;
    if (ReadPortSetting() != 4) return 11;
    // The save dialog may leave us in the results folder.
    if (::chdir(other.path().c_str()) != 0) return 12;
    if (SettingsFilePath() != start.path() + "/Velquor.ini") return 13;
    WritePortSetting(1);
    return 0;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(ReadFile(start.file("Velquor.ini")), "[Velorix - 5]\nCOM Port 1_4= 1 \n");
  EXPECT_FALSE(Exists(other.file("Velquor.ini")));
}

TEST(SettingsPath, UnreadableFolderMeansDefaultAndNoWrite) {
  ScratchFolder parent;
  const std::string gone = parent.file("gone");
  const int result = RunInChild([&] {
    std::filesystem::create_directory(gone);
    if (::chdir(gone.c_str()) != 0) return 10;
    std::filesystem::remove(gone);  // the current folder no longer exists
    if (!SettingsFilePath().empty()) return 11;
    if (ReadPortSetting() != 2) return 12;
    WritePortSetting(3);
    return 0;
  });
  ASSERT_EQ(result, 0);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(parent.path())) ++entries;
  EXPECT_EQ(entries, 0);
}

TEST(SettingsPath, DeepFolderBeyondAnyFixedBuffer) {
  ScratchFolder root;
  std::string deep = root.path();
  for (int i = 0; i < 12; ++i) deep += "/" + std::string(40, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  const int result = RunInChild([&] {
    if (::chdir(deep.c_str()) != 0) return 10;
    if (SettingsFilePath() != deep + "/Velquor.ini") return 11;
    WritePortSetting(3);
    return ReadPortSetting() == 3 ? 0 : 12;
  });
  EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace velorix
