// The INI profile reader and writer against real files.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "shell/ini_profile.h"
#include "tests/shell/test_support.h"

namespace velorix {
namespace {

using testing::ReadFile;
using testing::ScratchFolder;
using testing::WriteFile;

struct ReadCase {
  const char* name;
  std::string content;  // empty name of file: no file at all
  bool fileExists;
  std::string section, key;
  std::size_t buffer;
  std::string expected;
};

class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, GivesValueOrDefault) {
  const ReadCase& c = GetParam();
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  if (c.fileExists) WriteFile(path, c.content);
  EXPECT_EQ(GetProfileString(c.section, c.key, "dflt", c.buffer, path), c.expected);
}

const std::string kLongLine((1 << 20) - 64, 'x');  // the file stays within 1 MiB

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRead,
    ::testing::Values(
        ReadCase{"NoFile", "", false, "S", "k", 20, "dflt"},
        ReadCase{"EmptyFile", "", true, "S", "k", 20, "dflt"},
        ReadCase{"Plain", "[S]\nk=v\n", true, "S", "k", 20, "v"},
        ReadCase{"BlanksAroundEverything", "  [ S ]  \n\t k \t=\t v w \t\n", true, "S", "k", 20, "v w"},
        ReadCase{"SectionCaseInsensitive", "[SeCtIoN]\nk=v\n", true, "section", "k", 20, "v"},
        ReadCase{"KeyCaseInsensitive", "[S]\nCOM Port=v\n", true, "S", "com port", 20, "v"},
        ReadCase{"SectionMissing", "[T]\nk=v\n", true, "S", "k", 20, "dflt"},
        ReadCase{"KeyMissing", "[S]\nj=v\n", true, "S", "k", 20, "dflt"},
        ReadCase{"KeyInOtherSectionOnly", "[S]\nj=1\n[T]\nk=v\n", true, "S", "k", 20, "dflt"},
        ReadCase{"KeyBeforeAnySection", "k=v\n[S]\n", true, "S", "k", 20, "dflt"},
        ReadCase{"FirstSectionWins", "[S]\nk=1\n[s]\nk=2\n", true, "S", "k", 20, "1"},
        ReadCase{"EmptyValue", "[S]\nk=\n", true, "S", "k", 20, ""},
        ReadCase{"ValueWithEquals", "[S]\nk=a=b\n", true, "S", "k", 20, "a=b"},
        ReadCase{"QuotesDropped", "[S]\nk=\" 7 \"\n", true, "S", "k", 20, " 7 "},
        ReadCase{"CommentLineIsNoKey", "[S]\n;k=1\nk=2\n", true, "S", "k", 20, "2"},
        ReadCase{"CrLfLines", "[S]\r\nk= 6 \r\n", true, "S", "k", 20, "6"},
        ReadCase{"NoLineEndAtEnd", "[S]\nk=9", true, "S", "k", 20, "9"},
        ReadCase{"CutToBufferLessOne", "[S]\nk=123456789\n", true, "S", "k", 5, "1234"},
        ReadCase{"DefaultIsCutToo", "", false, "S", "k", 3, "df"},
        ReadCase{"BufferOfOneGivesEmpty", "[S]\nk=v\n", true, "S", "k", 1, ""},
        ReadCase{"BufferOfZeroGivesEmpty", "[S]\nk=v\n", true, "S", "k", 0, ""},
        ReadCase{"UnclosedHeaderStartsNoSection", "[S\nk=v\n", true, "S", "k", 20, "dflt"},
        ReadCase{"UnclosedHeaderEndsNothing", "[S]\n[T\nk=v\n", true, "S", "k", 20, "v"},
        ReadCase{"EmptyBrackets", "[]\nk=v\n", true, "", "k", 20, "v"},
        ReadCase{"LoneBracket", "[\n]\n[S]\nk=v\n", true, "S", "k", 20, "v"},
        ReadCase{"BinaryBytes", std::string("\0\xff\x80[x\n[S]\nk=4\0z\n", 16), true, "S", "k", 20,
                 std::string("4\0z", 3)},
        ReadCase{"VeryLongLineBefore", kLongLine + "\n[S]\nk=v\n", true, "S", "k", 20, "v"},
        ReadCase{"VeryLongValue", "[S]\nk=" + kLongLine + "\n", true, "S", "k", 20,
                 std::string(19, 'x')},
        ReadCase{"FileBeyondOneMiBIsNotRead", "[S]\nk=v\n" + std::string(1 << 20, ';'), true, "S", "k", 20, "dflt"}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

struct WriteCase {
  const char* name;
  bool fileExists;
  std::string before;
  std::string section, key, value;
  std::string after;
};

class ProfileWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWrite, ChangesOnlyTheKeyLine) {
  const WriteCase& c = GetParam();
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  if (c.fileExists) WriteFile(path, c.before);
  ASSERT_TRUE(WriteProfileString(c.section, c.key, c.value, path));
  EXPECT_EQ(ReadFile(path), c.after);
  // Nothing but the file itself is left in the folder.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileWrite,
    ::testing::Values(
        WriteCase{"CreatesFile", false, "", "S", "k", " 3 ", "[S]\nk= 3 \n"},
        WriteCase{"EmptyFile", true, "", "S", "k", "v", "[S]\nk=v\n"},
        WriteCase{"ReplacesValue", true, "[S]\nk=old\n", "S", "k", "new", "[S]\nk=new\n"},
        WriteCase{"ReplacesKeepingFileSpelling", true, "[s]\n  K  =  old  \nz=1\n", "S", "k", "new",
                  "[s]\nK=new\nz=1\n"},
        WriteCase{"KeepsOtherSectionsAndKeys", true,
                  "; by hand\n[A]\nx = 1\n\n[S]\nj=2\nk=old\nl=3\n\n[B]\ny=2", "S", "k", "v",
                  "; by hand\n[A]\nx = 1\n\n[S]\nj=2\nk=v\nl=3\n\n[B]\ny=2"},
        WriteCase{"AddsKeyAtEndOfSection", true, "[S]\nj=1\n\n[B]\ny=2\n", "S", "k", "v",
                  "[S]\nj=1\nk=v\n\n[B]\ny=2\n"},
        WriteCase{"AddsKeyUnderBareHeader", true, "[S]\n[B]\n", "S", "k", "v", "[S]\nk=v\n[B]\n"},
        WriteCase{"AddsKeyAtEndOfFileWithoutLineEnd", true, "[S]\nj=1", "S", "k", "v", "[S]\nj=1\nk=v\n"},
        WriteCase{"AddsSectionAfterBlankLine", true, "[A]\nx=1", "S", "k", "v", "[A]\nx=1\n\n[S]\nk=v\n"},
        WriteCase{"KeepsCrLf", true, "[A]\r\nx=1\r\n", "S", "k", "v", "[A]\r\nx=1\r\n\r\n[S]\r\nk=v\r\n"},
        WriteCase{"UnclosedHeaderIsNotTheSection", true, "[S\nk=4\n", "S", "k", "v", "[S\nk=4\n\n[S]\nk=v\n"},
        // A file whose last line ends in a bare CR: the new lines go after
        // a full line end, or the reader would take them into that line.
        WriteCase{"AddsSectionAfterLoneCrAtEnd", true, "\r", "S", "k", "v", "\r\n[S]\nk=v\n"},
        WriteCase{"AddsKeyAfterLoneCrAtEnd", true, "[S]\nj=1\r", "S", "k", "v", "[S]\nj=1\r\nk=v\n"},
        WriteCase{"BinaryBytesKept", true, std::string("\xff\0\x01\n[S]\nk=1\n", 12), "S", "k", "2",
                  std::string("\xff\0\x01\n[S]\nk=2\n", 12)}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST(ProfileWriteFailure, EmptyPathWritesNothing) {
  EXPECT_FALSE(WriteProfileString("S", "k", "v", ""));
  EXPECT_EQ(GetProfileString("S", "k", "dflt", 20, ""), "dflt");
}

TEST(ProfileWriteFailure, LineBreakInValueIsRefused) {
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  WriteFile(path, "[S]\nk=1\n");
  EXPECT_FALSE(WriteProfileString("S", "k", "2\n[T]", path));
  EXPECT_EQ(ReadFile(path), "[S]\nk=1\n");
}

// The folder takes no temporary file, but the file itself may be written:
// it is, in place, and nothing else appears in the folder.
TEST(ProfileWrite, ReadOnlyFolderWritesTheFileInPlace) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders (see tests/e2e for the same as root)";
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  WriteFile(path, "[S]\nk=1\n");
  ::chmod(folder.path().c_str(), 0555);
  EXPECT_TRUE(WriteProfileString("S", "k", "2", path));
  ::chmod(folder.path().c_str(), 0755);
  EXPECT_EQ(ReadFile(path), "[S]\nk=2\n");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

// Also for root: the profile functions refuse a read-only file.
TEST(ProfileWriteFailure, ReadOnlyFileIsLeftAsItWas) {
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  WriteFile(path, "[S]\nk=1\n");
  ::chmod(path.c_str(), 0444);
  EXPECT_FALSE(WriteProfileString("S", "k", "2", path));
  EXPECT_EQ(ReadFile(path), "[S]\nk=1\n");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(ProfileWriteFailure, MissingFolderCreatesNothing) {
  ScratchFolder folder;
  EXPECT_FALSE(WriteProfileString("S", "k", "2", folder.file("missing/p.ini")));
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(ProfileWriteFailure, FolderInPlaceOfFile) {
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  std::filesystem::create_directory(path);
  EXPECT_FALSE(WriteProfileString("S", "k", "2", path));
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(GetProfileString("S", "k", "dflt", 20, path), "dflt");
}

// A named pipe nobody writes in the file's place: reading gives the default
// and writing is refused, at once (the alarm ends the test if not), and the
// pipe stays.
TEST(ProfileWriteFailure, NamedPipeInPlaceOfFile) {
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
  ::alarm(10);
  EXPECT_EQ(GetProfileString("S", "k", "dflt", 20, path), "dflt");
  EXPECT_FALSE(WriteProfileString("S", "k", "2", path));
  ::alarm(0);
  EXPECT_TRUE(std::filesystem::is_fifo(path));
}

// Another user's file that we may write: a replacement made by us would
// belong to us, so the file itself is written and keeps its owner.
TEST(ProfileWrite, AnotherUsersFileIsWrittenInPlaceAndKeepsItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a file of another user";
  constexpr uid_t kOtherUser = 4321, kNobody = 65534;
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  WriteFile(path, "[S]\nk=1\n");
  ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);  // a temporary file could be made
  EXPECT_EQ(testing::RunInChild([&] {
    return ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && WriteProfileString("S", "k", "2", path) ? 0 : 1;
  }), 0);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kOtherUser);
  EXPECT_EQ(st.st_gid, kOtherUser);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(ReadFile(path), "[S]\nk=2\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

// A file with a second name is written in place: both names see the new
// contents, with no tail of the old.
TEST(ProfileWrite, AFileWithTwoNamesStaysOneFile) {
  ScratchFolder folder;
  const std::string path = folder.file("a.ini");
  WriteFile(path, "[S]\nk=old, longer than the new\n");
  std::filesystem::create_hard_link(path, folder.file("b.ini"));
  ASSERT_TRUE(WriteProfileString("S", "k", "2", path));
  EXPECT_EQ(ReadFile(folder.file("b.ini")), "[S]\nk=2\n");
  EXPECT_EQ(std::filesystem::hard_link_count(path), 2u);
}

TEST(ProfileWrite, KeepsTheFilesPermissions) {
  ScratchFolder folder;
  const std::string path = folder.file("p.ini");
  WriteFile(path, "[S]\nk=1\n");
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(WriteProfileString("S", "k", "2", path));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A link is followed only as in a sticky folder, never to nothing; a file
// beyond 1 MiB is not rewritten. Rows of another user need root.
TEST(ProfileWrite, LinksAndSizeDecideWhetherTheFileIsWritten) {
  const uid_t me = ::geteuid(), other = 4321;
  const std::string big = "[S]\nk=1\n" + std::string(1 << 20, ';');
  const struct {
    const char* name;
    uid_t linkOwner, folderOwner;  // of the link in front of the file
    const char *before, *why;      // the file's contents (nullptr: none); why it is left alone ("": written)
  } cases[] = {{"own link", me, other, "[S]\nk=1\n", ""},
               {"folder owner's link", other, other, "[S]\nk=1\n", ""},
               {"another user's link", other, me, "[S]\nk=1\n", "a symbolic link of another user"},
               {"link to nothing", me, me, nullptr, "a symbolic link to nothing"},
               {"beyond 1 MiB", me, me, big.c_str(), PROFILE_TOO_LARGE_TEXT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if ((c.linkOwner != me || c.folderOwner != me) && me != 0) continue;
    ScratchFolder folder;
    const std::string target = folder.file("target.ini"), link = folder.file("links/p.ini");
    if (c.before) WriteFile(target, c.before);
    std::filesystem::create_directory(folder.file("links"));
    ASSERT_EQ(::chown(folder.file("links").c_str(), c.folderOwner, -1), 0);
    std::filesystem::create_symlink(target, link);
    ASSERT_EQ(::lchown(link.c_str(), c.linkOwner, -1), 0);
    std::string why;
    EXPECT_EQ(WriteProfileString("S", "k", "2", link, &why), *c.why == '\0');
    EXPECT_TRUE(why.starts_with(c.why)) << why;
    EXPECT_EQ(testing::Exists(target) ? ReadFile(target) : "", *c.why ? (c.before ? c.before : "") : "[S]\nk=2\n");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
  }
}

}  // namespace
}  // namespace velorix
