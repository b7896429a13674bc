// Faults on the disk, end to end: the program without a window against the
// simulated instrument, writing its results file into a folder that is
// missing, read-only or full, over an older file, through a symbolic link,
// over another user's file, to things that are no files, while it is being
// interrupted, under names with blanks and non-ASCII characters; and keeping
// its settings file in a folder it cannot write or read. For each case: what
// the operator sees (standard error, exit status) and what is on disk
// afterwards.
//
// Read-only and full folders are small tmpfs file systems mounted in a mount
// namespace of the test's own (a read-only mount stops root as well, where a
// chmod would not). Where the machine allows no such mounts those cases are
// skipped, saying why. Modes set with chmod are made to count for a test run
// as root by starting the program without the capabilities that override
// file permissions (ChildSetup::honourFilePermissions).

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "headless_run.h"

namespace velorix::e2etest {
namespace {

const std::string kStoredPortThree = "[Velorix - 5]\nCOM Port 1_4= 3 \n";

// Empty when this process may mount file systems of its own; otherwise why
// not. The first call moves the process into a mount namespace of its own
// with every mount private, so what is mounted here is seen by this process
// and its children only, and goes away with them.
const std::string& WhyNoPrivateMounts() {
  static const std::string why = []() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("mounts cannot be made private: ") + std::strerror(errno);
    char pattern[] = "/tmp/velorix-mount-check-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return std::string("mkdtemp: ") + std::strerror(errno);
    std::string result;
    if (::mount("tmpfs", pattern, "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
      result = std::string("no tmpfs mount: ") + std::strerror(errno);
    else
      ::umount2(pattern, MNT_DETACH);
    ::rmdir(pattern);
    return result;
  }();
  return why;
}

class DiskRun : public HeadlessRun {
 protected:
  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    HeadlessRun::TearDown();
  }

  // A 64 KiB file system at `at` (skips the test where that cannot be had).
  void MountSmall(const fs::path& at) {
    if (!WhyNoPrivateMounts().empty()) GTEST_SKIP() << WhyNoPrivateMounts();
    fs::create_directories(at);
    ASSERT_EQ(::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755"), 0)
        << std::strerror(errno);
    mounts_.push_back(at);
  }
  void MakeReadOnly(const fs::path& at) {
    ASSERT_EQ(::mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
  }
  // Fills the file system at `folder` with the file `name` until no byte fits.
  void FillUp(const fs::path& folder, const std::string& name) {
    const int fd = ::open((folder / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    for (;;) {
      const ssize_t n = ::write(fd, block.data(), block.size());
      if (n > 0) continue;
      const int error = errno;
      EXPECT_EQ(error, ENOSPC) << std::strerror(error);
      break;
    }
    ::close(fd);
  }

  std::vector<fs::path> mounts_;
};

// ---------------------------------------------------------------------------
// The results file.

// FullDevice: the output is /dev/full, where every write would fail for want
// of space; it needs no mount. NoNewFiles: the folder has mode 0555, so no
// new file can be made in it (with dropCapabilities, also for root).
// FullNoNewFiles: both: a full file system whose folder takes no new file.
enum class Folder { Missing, ReadOnly, Full, Writable, NoNewFiles, FullNoNewFiles, FullDevice };

// What the output path is before the run (with Folder::FullDevice: the device).
enum class Target {
  File,             // the old file (if any) as it is
  ReadOnlyFile,     // the old file with mode 0444
  OtherOwnersFile,  // the old file belongs to kOtherUser, mode 0664 (root only)
  LinkToFile,       // a symbolic link to ../shared/<name>, which holds the old file
};

constexpr uid_t kOtherUser = 4321;

// When the file is not written, an older file is still there as it was, and
// else there is no file at all. A path that can't take the file is refused
// before the instrument is asked (exit 2); a full disk is found out when the
// file is written (exit 1).
struct ResultsCase {
  const char* name;
  Folder folder;
  int count;
  bool excel;
  std::string oldFile;  // already at the output path before the run ("" = none)
  // The system's text for why the file was not written; nullptr when it is
  // (or when the run was interrupted).
  const char* reason = nullptr;
  Target target = Target::File;
  bool dropCapabilities = false;  // ChildSetup::honourFilePermissions
  bool interrupted = false;       // ChildSetup::sigtermAtFirstExclusiveCreate
};

void PrintTo(const ResultsCase& c, std::ostream* os) { *os << c.name; }

class ResultsOnDisk : public DiskRun, public ::testing::WithParamInterface<ResultsCase> {};

TEST_P(ResultsOnDisk, TheWholeFileOrTheOldOneAndTheOperatorIsTold) {
  const ResultsCase& c = GetParam();
  const fs::path results = dir_ / "results";
  const fs::path shared = dir_ / "shared";
  const std::string name = c.excel ? "out.xls" : "out.doc";
  const fs::path output = c.folder == Folder::FullDevice ? fs::path("/dev/full") : results / name;
  const fs::path realFile = c.target == Target::LinkToFile ? shared / name : output;
  if (c.folder == Folder::FullDevice && !fs::is_character_file(output))
    GTEST_SKIP() << "this machine has no /dev/full";
  if (c.target == Target::OtherOwnersFile && ::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  if (c.folder == Folder::ReadOnly || c.folder == Folder::Full || c.folder == Folder::FullNoNewFiles) {
    MountSmall(results);
    if (IsSkipped() || HasFatalFailure()) return;
  } else if (c.folder != Folder::Missing && c.folder != Folder::FullDevice) {
    fs::create_directory(results);
  }
  if (c.target == Target::LinkToFile) {
    fs::create_directory(shared);
    fs::create_symlink(fs::path("..") / "shared" / name, output);
  }
  if (!c.oldFile.empty()) WriteFile(realFile, c.oldFile);
  if (c.target == Target::ReadOnlyFile)
    fs::permissions(output, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  if (c.target == Target::OtherOwnersFile) {
    ASSERT_EQ(::chown(output.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::chmod(output.c_str(), 0664), 0);
  }
  if (c.folder == Folder::FullNoNewFiles) FillUp(results, ".filler");
  if (c.folder == Folder::NoNewFiles || c.folder == Folder::FullNoNewFiles)
    fs::permissions(results, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  if (c.folder == Folder::ReadOnly) {
    MakeReadOnly(results);
    if (HasFatalFailure()) return;
  }
  const fs::path work = dir_ / "work";
  fs::create_directory(work);

  const fs::path log = dir_ / "frames.log";
  simtest::SimProcess sim({"--quiet", "--log", log.string()});
  ChildSetup setup;
  setup.honourFilePermissions = c.dropCapabilities;
  setup.sigtermAtFirstExclusiveCreate = c.interrupted;
  const RunResult run = RunIn(work, sim.SlavePath(),
                              {"--count", std::to_string(c.count), "--format", c.excel ? "xls" : "doc",
                               "--output", output.string()},
                              setup);
  if (c.folder == Folder::NoNewFiles || c.folder == Folder::FullNoNewFiles)
    fs::permissions(results, fs::perms::owner_all, fs::perm_options::add);
  std::vector<std::string> entries = FolderEntries(results);
  std::erase(entries, ".filler");

  sim.Stop();
  const bool written = c.reason == nullptr && !c.interrupted;
  const bool refused = c.reason != nullptr && c.folder != Folder::Full && c.folder != Folder::FullNoNewFiles;
  if (written) {
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.NotableLines(), (std::vector<std::string>{kConnected, kWritten,
                                                            WroteLine(output.string(), kPointer, c.count)}))
        << run.err;
  } else if (refused) {
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(run.ErrLines(), std::vector<std::string>{"The results file can't be written: " + output.string() +
                                                       ": " + c.reason})
        << run.err;
    EXPECT_EQ(ReadLines(log), std::vector<std::string>{}) << "the instrument was asked";
  } else {
    const std::string told = c.interrupted
                                 ? "Interrupted by SIGTERM; no file was written."
                                 : "The results file was not written: " + output.string() + ": " + c.reason;
    EXPECT_EQ(run.exitStatus, c.interrupted ? 128 + SIGTERM : 1) << run.err;
    EXPECT_EQ(run.NotableLines(), (std::vector<std::string>{kConnected, told})) << run.err;
    EXPECT_EQ(run.sigtermSent, c.interrupted) << "the program never created a file";
  }
  // The new file, or the older one as it was, or none, and never a temporary
  // file; a device is left alone (not removed, not replaced).
  if (c.folder == Folder::FullDevice) {
    EXPECT_TRUE(fs::is_character_file(output));
  } else {
    EXPECT_EQ(entries, written || !c.oldFile.empty() ? std::vector<std::string>{name} : std::vector<std::string>{});
    EXPECT_EQ(ReadFile(realFile), written ? ExpectedFile(kPointer, c.count, c.excel) : c.oldFile);
  }

  // The file stays what it was: a link stays a link to the same file, and
  // owner and mode are kept.
  if (c.target == Target::LinkToFile) {
    EXPECT_TRUE(fs::is_symlink(output));
    EXPECT_EQ(FolderEntries(shared), std::vector<std::string>{name});
  }
  if (c.target == Target::OtherOwnersFile || c.target == Target::ReadOnlyFile) {
    struct stat after {};
    ASSERT_EQ(::stat(output.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, c.target == Target::ReadOnlyFile ? 0444u : 0664u);
    EXPECT_EQ(after.st_uid, c.target == Target::OtherOwnersFile ? kOtherUser : ::geteuid());
    EXPECT_EQ(after.st_gid, c.target == Target::OtherOwnersFile ? kOtherUser : ::getegid());
  }

  // The settings file is written in the program's own folder, unless the
  // run was refused before it started.
  if (refused)
    EXPECT_EQ(FolderEntries(work), std::vector<std::string>{});
  else
    EXPECT_EQ(ReadFile(work / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

// An older results file, longer than any download of a few records.
std::string LongOldFile() {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "old line " + std::to_string(i) + "\tof an earlier download\n";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, ResultsOnDisk,
    ::testing::Values(
        // The folder does not exist: "The results file can't be written:
        // <path>: No such file or directory", exit 2 before the instrument is
        // asked; the folder is not made.
        ResultsCase{"folder_missing", Folder::Missing, 5, true, "", "No such file or directory"},
        // A read-only file system: "...: Read-only file system", exit 2; the
        // folder stays empty.
        ResultsCase{"folder_read_only", Folder::ReadOnly, 5, false, "", "Read-only file system"},
        // The same with an older results file at the path: it is left exactly
        // as it was.
        ResultsCase{"folder_read_only_old_file_kept", Folder::ReadOnly, 5, true, "old results\n",
                    "Read-only file system"},
        // 2000 records (about 150 KB) into 64 KiB: "The results file was not
        // written: <path>: No space left on device", exit 1 once the download
        // is done; the part that fitted is removed, the folder is empty.
        ResultsCase{"disk_full", Folder::Full, 2000, true, "", "No space left on device"},
        // The same over an older results file: the older file is kept byte
        // for byte, and no temporary file is left beside it.
        ResultsCase{"disk_full_over_an_old_file", Folder::Full, 2000, false, std::string(8000, 'o'),
                    "No space left on device"},
        // The same where the folder takes no new file, so the file itself is
        // written: what does not fit is undone, the older file is kept byte
        // for byte.
        ResultsCase{"disk_full_folder_takes_no_new_file", Folder::FullNoNewFiles, 2000, true,
                    std::string(8000, 'o'), "No space left on device", Target::File, true},
        // A device is no file to replace: "/dev/full: Not a regular file (a
        // character device)", exit 2; the device is left alone.
        ResultsCase{"device", Folder::FullDevice, 5, true, "", "Not a regular file (a character device)"},
        // A read-only older results file: "...: Permission denied", exit 2; the
        // old file is kept as it was ...
        ResultsCase{"old_file_read_only", Folder::Writable, 5, true, "old results\n", "Permission denied",
                    Target::ReadOnlyFile, true},
        // ... also when root runs the program.
        ResultsCase{"old_file_read_only_even_for_root", Folder::Writable, 5, true, "old results\n",
                    "Permission denied", Target::ReadOnlyFile},
        // A longer older file is replaced by the five-record file: "File is
        // written.", exit 0, and the file holds the new contents exactly, with
        // no tail of the old one.
        ResultsCase{"longer_old_file_replaced", Folder::Writable, 5, true, LongOldFile()},
        ResultsCase{"longer_old_report_replaced", Folder::Writable, 5, false, LongOldFile()},
        // The path is a symbolic link: the file it names gets the results and
        // the link stays a link.
        ResultsCase{"symbolic_link_followed", Folder::Writable, 5, true, LongOldFile(), nullptr, Target::LinkToFile},
        // Another user's file (root runs the program): replaced, and it still
        // belongs to that user with its mode.
        ResultsCase{"other_owners_file_keeps_its_owner", Folder::Writable, 5, false, "old results\n", nullptr,
                    Target::OtherOwnersFile},
        // The folder takes no new file but the file may be written: it is
        // written in place, and nothing else appears in the folder.
        ResultsCase{"folder_takes_no_new_file", Folder::NoNewFiles, 5, true, LongOldFile(), nullptr, Target::File,
                    true},
        // SIGTERM while the file is being written: "Interrupted by SIGTERM; no
        // file was written.", exit 1; the older file is kept byte for byte
        // and no temporary file is left.
        ResultsCase{"interrupted_while_writing", Folder::Writable, 5, true, LongOldFile(), nullptr, Target::File,
                    false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Results paths with blanks and non-ASCII characters (UTF-8 names): the file
// is written at exactly that path, byte for byte; the operator sees "File is
// written." and the path in the last line, exit 0, or, for a missing folder,
// the path named exactly and exit 2.

struct NameCase {
  const char* name;
  const char* folder;  // relative to the program's folder
  const char* file;
  bool excel;
  bool folderExists;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class ResultsPathNames : public HeadlessRun, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ResultsPathNames, TheFileIsWrittenAtExactlyThatPath) {
  const NameCase& c = GetParam();
  const fs::path folder = dir_ / fs::path(c.folder);
  if (c.folderExists) fs::create_directories(folder);
  const std::string output = std::string(c.folder) + "/" + c.file;

  simtest::SimProcess sim({"--quiet"});
  const RunResult run =
      RunIn(dir_, sim.SlavePath(), {"--count", "7", "--format", c.excel ? "xls" : "doc", "--output", output});

  if (c.folderExists) {
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.NotableLines(),
              (std::vector<std::string>{kConnected, kWritten, WroteLine((dir_ / output).string(), kPointer, 7)}))
        << run.err;
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{c.file});
    EXPECT_EQ(ReadFile(folder / fs::path(c.file)), ExpectedFile(kPointer, 7, c.excel));
  } else {
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(run.ErrLines(), std::vector<std::string>{"The results file can't be written: " + output +
                                                       ": No such file or directory"})
        << run.err;
    EXPECT_FALSE(fs::exists(folder));
  }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, ResultsPathNames,
    ::testing::Values(
        NameCase{"blanks_and_accents", "Prüfung März/Ergebnisse – Zelle 1", "Résultat n° 1.xls", true, true},
        NameCase{"cjk_quotes_and_shell_characters", "測定 結果/it's \"$HOME\" & ; more", "データ 1 *.doc", false,
                 true},
        NameCase{"missing_folder_named_exactly", "Prüfung März/nicht da", "Résultat 1.xls", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The settings file where the program cannot write it, or cannot even read
// it. The program works all the same and says nothing about it: exit 0, the
// exact results file, standard error as in any download. The settings file
// is left exactly as it was, and no temporary file is left beside it.
// It holds port 3, so a program that can read it tries COM3 (missing) first,
// then COM1 (missing), then COM2 (the instrument); on exit it would write 2.

enum class SettingsPlace {
  ReadOnlyMount,     // the folder is a read-only file system
  FullMount,         // the folder's file system is full
  ReadOnlyFile,      // the file has mode 0444 (and root runs the program with all its powers)
  UnreadableFolder,  // the folder has mode 0000: the file can be neither read nor written
  RemovedFolder,     // the program's folder is removed before it starts: no settings file at all
};

struct SettingsCase {
  const char* name;
  SettingsPlace place;
  bool storedPortRead;  // the program reads port 3 from the file
  // Why the file is left as it is, said first if it was not read, else last.
  std::string why;
  std::string historyWhy;  // the history beside it: why it is not used ("": it is)
};

void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

class SettingsOnDisk : public DiskRun, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsOnDisk, TheProgramWorksAndTheFileIsLeftAsItWas) {
  const SettingsCase& c = GetParam();
  const fs::path work = dir_ / "work";
  const fs::path results = dir_ / "results";
  fs::create_directory(results);
  ChildSetup setup;
  std::vector<std::string> entriesBefore;

  switch (c.place) {
    case SettingsPlace::ReadOnlyMount:
      MountSmall(work);
      if (IsSkipped() || HasFatalFailure()) return;
      WriteFile(work / "Velquor.ini", kStoredPortThree);
      MakeReadOnly(work);
      if (HasFatalFailure()) return;
      break;
    case SettingsPlace::FullMount:
      MountSmall(work);
      if (IsSkipped() || HasFatalFailure()) return;
      WriteFile(work / "Velquor.ini", kStoredPortThree);
      FillUp(work, "filler");
      break;
    case SettingsPlace::ReadOnlyFile:
      fs::create_directory(work);
      WriteFile(work / "Velquor.ini", kStoredPortThree);
      fs::permissions(work / "Velquor.ini", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
      break;
    case SettingsPlace::UnreadableFolder:
      fs::create_directory(work);
      WriteFile(work / "Velquor.ini", kStoredPortThree);
      setup.honourFilePermissions = true;
      break;
    case SettingsPlace::RemovedFolder:
      fs::create_directory(work);
      setup.removeCurrentFolder = true;
      break;
  }
  if (c.place != SettingsPlace::RemovedFolder) entriesBefore = FolderEntries(work);
  if (c.place == SettingsPlace::UnreadableFolder) setup.lockCurrentFolder = true;

  simtest::SimProcess sim({"--quiet"});
  const fs::path output = results / "out.xls";
  const RunResult run =
      RunIn(work, sim.SlavePath(), {"--count", "4", "--format", "xls", "--output", output.string()}, setup);
  if (c.place == SettingsPlace::UnreadableFolder) fs::permissions(work, fs::perms::owner_all);

  const std::string ini = "The settings file " + (work / "Velquor.ini").string();
  std::vector<std::string> notable;
  if (c.storedPortRead) notable = {"COM3 (/nonexistent/com3): missing", "COM1 (/nonexistent/com1): missing"};
  else if (!c.why.empty()) notable = {ini + " is not used: " + c.why
                                      + "; COM2 is tried first, and the file is left as it is."};
  notable.push_back(kConnected);
  // The history beside the settings file meets the same folder, and says so.
  if (!c.historyWhy.empty())
    notable.push_back("The history " +
                      (c.place == SettingsPlace::RemovedFolder ? std::string() : (work / kHistoryFile).string() + " ") +
                      "is not used: " + c.historyWhy + "; the download goes on without it.");
  notable.push_back(kWritten);
  if (c.storedPortRead) notable.push_back(ini + " was left as it is: " + c.why + ".");
  notable.push_back(WroteLine(output.string(), kPointer, 4));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.NotableLines(), notable) << run.err;
  EXPECT_EQ(ReadFile(output), ExpectedFile(kPointer, 4, true));

  if (c.place == SettingsPlace::RemovedFolder) {
    EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"results"});
  } else {
    if (c.historyWhy.empty()) entriesBefore.push_back(kHistoryFile);
    EXPECT_EQ(FolderEntries(work), entriesBefore);
    EXPECT_EQ(ReadFile(work / "Velquor.ini"), kStoredPortThree);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, SettingsOnDisk,
    ::testing::Values(SettingsCase{"folder_read_only", SettingsPlace::ReadOnlyMount, true, "Read-only file system",
                                   "Read-only file system"},
                      SettingsCase{"disk_full", SettingsPlace::FullMount, true, "No space left on device",
                                   "No space left on device"},
                      SettingsCase{"file_read_only_even_for_root", SettingsPlace::ReadOnlyFile, true,
                                   "Permission denied", ""},
                      SettingsCase{"folder_unreadable", SettingsPlace::UnreadableFolder, false, "Permission denied",
                                   "Permission denied"},
                      SettingsCase{"folder_removed", SettingsPlace::RemovedFolder, false, "",
                                   "the current folder can't be had"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velorix::e2etest
