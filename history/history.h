#pragma once

// The history: every record the program has downloaded, kept once, with
// each download that read them, in one SQLite file (velorix-history.sqlite
// beside the settings file). Nothing the instrument said is lost: each
// record keeps its raw 32 bytes and its ring index beside the decoded
// columns, each download its empty-cell table's bytes. A download goes in
// in one transaction, so a history killed at any moment is as before or as
// after it, and two programs storing at once keep every record once (the
// same bytes at the same ring index are the same record).
//
// Where the last download ended (its pointer, and the bytes of the slot just
// before it) is read from the downloads table itself: it moves only with
// records that are in the history, and deleting a download's row moves it
// back to the download before.

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_download.h"
#include "archive/archive_record.h"

namespace velorix {

inline constexpr const char* HISTORY_FILE_NAME = "velorix-history.sqlite";

using RecordImage = std::array<std::uint8_t, RECORD_BYTES>;

// One completed download: the ring slots it read, from `firstIndex` on in
// ring order (wrapping after 1999), and its empty-cell table.
struct DownloadFacts {
  std::time_t finished = 0;
  std::string port;        // e.g. "COM2 (/dev/ttyUSB0)"
  std::string kind;        // e.g. "last 100", "new records", "whole archive"
  int pointer = 0;         // the instrument's archive pointer
  int firstIndex = 0;
  std::span<const ArchiveRecord> slotsRead;  // not "slots": a macro of Qt's
  // The slot before the pointer as read, for a download that read no slot
  // (no new records): it is where the next one picks up.
  RecordImage lastImage{};
  // The empty-cell table as it came; empty when the download did not read
  // it (no new records).
  std::span<const std::uint8_t> emptyCellBytes;
};

struct StoredDownload {
  int records = 0;  // slots that held a result
  int fresh = 0;    // of them, records the history did not have
};

struct HistorySummary {
  long long records = 0, samples = 0, emptyCellRecords = 0, undated = 0;
  std::string firstTest, lastTest;  // "YYYY-MM-DD HH:MM:SS"; empty without dated records
  long long downloads = 0;
  // The last download: when, from where, and what it read.
  std::string lastFinished, lastPort, lastKind;
  int lastPointer = 0, lastRecords = 0, lastFresh = 0;
};

// Test times as the history keeps them: "YYYY-MM-DD HH:MM:SS", so that
// ranges are plain comparisons of text. Empty `from`/`to` leave that end
// open; a range with an end leaves undated records out.
struct TestTimeRange {
  std::string from, to;
};

struct SelectedRecords {
  std::vector<ArchiveRecord> records;  // in the order they were first downloaded
  EmptyCellTable emptyCells{};         // the latest table up to the range's end
  bool hasTable = false;
};

class History {
 public:
  enum class Access { ReadOnly, ReadWrite };

  // The history at `path`: ReadWrite makes it when it is missing. The same
  // rules as for the settings file: a symbolic link is followed only where
  // the kernel's rule for sticky folders would (it belongs to this user or
  // to its folder's owner) and never to nothing; anything but a regular
  // file is refused unopened. nullptr, with `problem` saying why, when it
  // can't be used (locked for longer than a few seconds, damaged, not a
  // history file, read-only for a download, ...).
  static std::unique_ptr<History> Open(const std::string& path, Access access, std::string& problem);
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  // Stores a download and its records in one transaction; nothing on failure.
  std::optional<StoredDownload> Add(const DownloadFacts& download, std::string& problem);
  // Where the last download ended (nothing when none is stored, or on
  // failure with `problem` set).
  std::optional<DownloadMark> LastMark(std::string& problem);
  std::optional<SelectedRecords> Select(const TestTimeRange& range, std::string& problem);
  std::optional<HistorySummary> Summarize(std::string& problem);

 private:
  struct Connection;
  explicit History(std::unique_ptr<Connection> connection);
  std::unique_ptr<Connection> connection_;
};

// "YYYY-MM-DD HH:MM:SS" of a local time.
std::string HistoryTimeText(std::time_t time);

}  // namespace velorix
