// The safe-replace routine's decisions on a real file system, seen by an
// ordinary user: which paths can take an output file, what the check says
// about them and that opening them for replacement agrees; and the cases
// where the file must be written in place to stay what it is (another user's
// file, a file with a second name). The results and settings files that go
// through this are tested end to end in tests/e2e/disk_fault_test.cpp.

#include "fileio/safe_replace.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velorix {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOrdinaryUser = 65534;  // nobody
constexpr uid_t kOtherUser = 4321;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// For its lifetime this thread meets the file system as an ordinary user
// (when the tests run as root: file owner and group kOrdinaryUser, which also
// drops the powers that override file permissions and owners).
class AsOrdinaryUser {
 public:
  AsOrdinaryUser() : root_(::geteuid() == 0) {
    if (!root_) return;
    ::setfsgid(kOrdinaryUser);
    ::setfsuid(kOrdinaryUser);
  }
  ~AsOrdinaryUser() {
    if (!root_) return;
    ::setfsuid(0);
    ::setfsgid(0);
  }
  AsOrdinaryUser(const AsOrdinaryUser&) = delete;
  AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;

 private:
  bool root_;
};

class SafeReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velorix-fileio-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::permissions(dir_, fs::perms::all);
  }
  void TearDown() override {
    std::error_code ignored;
    for (const auto& e : fs::recursive_directory_iterator(dir_, ignored))
      if (e.is_directory(ignored) && !e.is_symlink(ignored))
        fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
  }
  fs::path dir_;
};

enum class Place {
  NewInWritableFolder,
  WritableFile,
  MissingFolder,
  FileAsFolder,
  Folder,
  NamedPipe,
  LinkToNamedPipe,
  DanglingLink,
  LinkLoop,
  ReadOnlyFile,
  NewInReadOnlyFolder,
  WritableFileInReadOnlyFolder,
  EmptyPath,
};

struct TargetCase {
  const char* name;
  Place place;
  const char* refusal;  // "" when the path can take the output
  bool inPlace = false;  // ... written in place
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

class OutputTarget : public SafeReplaceTest, public ::testing::WithParamInterface<TargetCase> {};

// The check and the replacement agree on every path: what the check accepts
// can be replaced, what it refuses is refused with the same reason. Refusals
// change nothing on disk, and cancelling leaves everything as it was.
TEST_P(OutputTarget, TheCheckAndTheReplacementAgree) {
  const TargetCase& c = GetParam();
  AsOrdinaryUser user;  // who makes the files and then writes them
  const fs::path folder = dir_ / "folder";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::all);
  fs::path path = folder / "out.xls";
  switch (c.place) {
    case Place::NewInWritableFolder: break;
    case Place::WritableFile: WriteAll(path, "old"); fs::permissions(path, fs::perms::all); break;
    case Place::MissingFolder: path = dir_ / "missing" / "out.xls"; break;
    case Place::FileAsFolder: WriteAll(folder / "file", "old"); path = folder / "file" / "out.xls"; break;
    case Place::Folder: fs::create_directory(path); break;
    case Place::NamedPipe: ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0); break;
    case Place::LinkToNamedPipe:
      ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0666), 0);
      fs::create_symlink("pipe", path);
      break;
    case Place::DanglingLink: fs::create_symlink("target.xls", path); break;
    case Place::LinkLoop: fs::create_symlink("out.xls", path); break;
    case Place::ReadOnlyFile: WriteAll(path, "old"); fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read); break;
    case Place::NewInReadOnlyFolder: fs::permissions(folder, fs::perms::all & ~(fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)); break;
    case Place::WritableFileInReadOnlyFolder:
      WriteAll(path, "old");
      fs::permissions(path, fs::perms::all);
      fs::permissions(folder, fs::perms::all & ~(fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write));
      break;
    case Place::EmptyPath: path.clear(); break;
  }
  std::error_code ec;
  const std::vector<std::string> before = Entries(folder);
  const std::string oldContents = fs::is_regular_file(path, ec) ? ReadAll(path) : "";

  EXPECT_EQ(CheckOutputTarget(path.string()), c.refusal);
  SafeReplace file;
  const bool opened = file.Open(path.string());
  EXPECT_EQ(opened, std::string(c.refusal).empty());
  EXPECT_EQ(file.Error(), c.refusal);
  if (opened) {
    EXPECT_EQ(file.WritesInPlace(), c.inPlace);
    EXPECT_TRUE(file.Write("new"));
    file.Cancel();
  }
  EXPECT_EQ(Entries(folder), before);
  EXPECT_EQ(fs::is_regular_file(path, ec) ? ReadAll(path) : "", oldContents);

  if (opened) {
    ASSERT_TRUE(ReplaceFileContents(path.string(), "new"));
    EXPECT_EQ(ReadAll(path), "new");
    EXPECT_EQ(fs::is_symlink(path), c.place == Place::DanglingLink);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, OutputTarget,
    ::testing::Values(
        TargetCase{"new_file_in_a_writable_folder", Place::NewInWritableFolder, ""},
        TargetCase{"writable_file", Place::WritableFile, ""},
        TargetCase{"missing_folder", Place::MissingFolder, "No such file or directory"},
        TargetCase{"file_in_place_of_a_folder", Place::FileAsFolder, "Not a directory"},
        TargetCase{"folder", Place::Folder, "Is a directory"},
        TargetCase{"named_pipe", Place::NamedPipe, "Not a regular file (a named pipe)"},
        TargetCase{"link_to_a_named_pipe", Place::LinkToNamedPipe, "Not a regular file (a named pipe)"},
        TargetCase{"dangling_link_names_the_new_file", Place::DanglingLink, ""},
        TargetCase{"link_loop", Place::LinkLoop, "Too many levels of symbolic links"},
        TargetCase{"read_only_file", Place::ReadOnlyFile, "Permission denied"},
        TargetCase{"new_file_in_a_read_only_folder", Place::NewInReadOnlyFolder, "Permission denied"},
        TargetCase{"writable_file_in_a_read_only_folder", Place::WritableFileInReadOnlyFolder, "", true},
        TargetCase{"empty_path", Place::EmptyPath, "No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

// Another user's file that we may write: a replacement made by us would
// belong to us, so the file itself is written and keeps its owner.
TEST_F(SafeReplaceTest, AnotherUsersFileIsWrittenInPlaceAndKeepsItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a file of another user";
  const fs::path path = dir_ / "shared.ini";
  WriteAll(path, "[S]\nk=1\n");
  ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  {
    AsOrdinaryUser user;
    SafeReplace file;
    ASSERT_TRUE(file.Open(path.string())) << file.Error();
    EXPECT_TRUE(file.WritesInPlace());
    ASSERT_TRUE(file.Write("[S]\nk=2\n") && file.Commit()) << file.Error();
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kOtherUser);
  EXPECT_EQ(st.st_gid, kOtherUser);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(ReadAll(path), "[S]\nk=2\n");
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"shared.ini"});
}

// A file with a second name: a rename would leave the other name with the old
// contents; written in place, both names see the new ones. Shorter contents
// leave no tail of the old.
TEST_F(SafeReplaceTest, AFileWithTwoNamesStaysOneFile) {
  const fs::path path = dir_ / "a.ini";
  WriteAll(path, "old contents, longer than the new ones\n");
  fs::create_hard_link(path, dir_ / "b.ini");
  ASSERT_TRUE(ReplaceFileContents(path.string(), "new\n"));
  EXPECT_EQ(ReadAll(path), "new\n");
  EXPECT_EQ(ReadAll(dir_ / "b.ini"), "new\n");
  EXPECT_EQ(fs::hard_link_count(path), 2u);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"a.ini", "b.ini"}));
}

}  // namespace
}  // namespace velorix
