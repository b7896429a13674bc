#pragma once

// What every face does with the history (history/history.h): keep each
// completed download, find where the last one ended for a download of new
// records, and tell the operator once when the history can't be used. The
// history never costs a download or its file: whatever is wrong with it is
// said, and the download goes on without it.

#include <ctime>
#include <optional>
#include <string>

#include "archive/archive_download.h"
#include "archive/archive_record.h"
#include "history/history.h"

namespace velorix {

// velorix-history.sqlite beside the settings file (in the folder current at
// the first call of SettingsFilePath); empty when that folder can't be had.
std::string DefaultHistoryPath();

// Plain words for why a download of new records reads the whole archive.
std::string WholeArchiveText(WholeArchiveReason reason);

// "No new records since the last download (archive pointer 1234)".
std::string NothingNewText(int pointer);

class DownloadHistory {
 public:
  explicit DownloadHistory(std::string path);

  const std::string& Path() const { return path_; }

  // Where the last stored download ended; nothing when there is none or the
  // history can't be read (Notice() then says why).
  std::optional<DownloadMark> LastMark();

  // Stores the download (slots 0..count-1 of the store, its table) with the
  // port it came from. Nothing when it could not be stored.
  std::optional<StoredDownload> Keep(const DownloadStore& store, const CompletedDownload& download,
                                     const std::string& port, std::time_t now);

  // The line to show about the history's trouble, once: empty when all went
  // well or it was said before.
  std::string TakeNotice();

 private:
  std::unique_ptr<History> OpenForWriting();
  void Note(const std::string& problem);

  std::string path_;
  std::string notice_;
  bool told_ = false;
};

}  // namespace velorix
