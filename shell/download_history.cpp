#include "shell/download_history.h"

#include <cerrno>

#include "fileio/safe_replace.h"
#include "shell/printable.h"
#include "shell/settings.h"

namespace velorix {
namespace {

std::string KindText(const CompletedDownload& download) {
  switch (download.kind) {
    case CompletedDownload::LastN:
      return "last " + std::to_string(download.count);
    case CompletedDownload::NewRecords:
      return "new records";
    case CompletedDownload::WholeArchive:
      break;
  }
  switch (download.reason) {
    case WholeArchiveReason::Cleared: return "whole archive: it had been cleared";
    case WholeArchiveReason::Overwritten: return "whole archive: the last record read was overwritten";
    default: return "whole archive: nothing downloaded before";
  }
}

}  // namespace

std::string DefaultHistoryPath() {
  // Where the settings file is, even when the current folder has changed
  // since (the save dialog may change it).
  const std::string& settings = SettingsFilePath();
  const std::size_t name = std::char_traits<char>::length(SETTINGS_FILE_NAME);
  if (settings.size() < name) return {};
  return settings.substr(0, settings.size() - name) + HISTORY_FILE_NAME;
}

std::string WholeArchiveText(WholeArchiveReason reason) {
  switch (reason) {
    case WholeArchiveReason::Cleared:
      return "The instrument's archive was cleared since the last download (the slot of the last record "
             "read holds no result now): reading the whole archive.";
    case WholeArchiveReason::Overwritten:
      return "The last record read before is no longer in the instrument's archive: more than 2000 tests "
             "were made since, or this is another instrument (or its archive was cleared and filled "
             "again). Reading the whole archive, so that nothing is lost; the history keeps each record "
             "once.";
    case WholeArchiveReason::NoMark:
      return "Nothing downloaded before: reading the whole archive.";
    case WholeArchiveReason::None:
      break;
  }
  return {};
}

std::string NothingNewText(int pointer) {
  return "No new records since the last download (archive pointer " + std::to_string(pointer) + ")";
}

DownloadHistory::DownloadHistory(std::string path) : path_(std::move(path)) {}

void DownloadHistory::Note(const std::string& problem) {
  if (!notice_.empty() || told_) return;
  notice_ = "The history " + (path_.empty() ? std::string() : Printable(path_) + " ") + "is not used: " +
            Printable(problem) + "; the download goes on without it.";
}

std::string DownloadHistory::TakeNotice() {
  if (told_ || notice_.empty()) return {};
  told_ = true;
  return notice_;
}

std::optional<DownloadMark> DownloadHistory::LastMark() {
  std::string problem;
  if (path_.empty()) return std::nullopt;
  // Only read here: a history that is not there yet is no trouble.
  std::unique_ptr<History> history = History::Open(path_, History::Access::ReadOnly, problem);
  if (!history) {
    if (problem != SystemErrorText(ENOENT)) Note(problem);
    return std::nullopt;
  }
  std::optional<DownloadMark> mark = history->LastMark(problem);
  if (!problem.empty()) Note(problem);
  return mark;
}

std::optional<StoredDownload> DownloadHistory::Keep(const DownloadStore& store, const CompletedDownload& download,
                                                    const std::string& port, std::time_t now) {
  if (path_.empty()) {
    Note("the current folder can't be had");
    return std::nullopt;
  }
  std::string problem;
  std::unique_ptr<History> history = History::Open(path_, History::Access::ReadWrite, problem);
  if (!history) {
    Note(problem);
    return std::nullopt;
  }
  DownloadFacts facts;
  facts.finished = now;
  facts.port = port;
  facts.kind = KindText(download);
  facts.pointer = download.pointer;
  facts.firstIndex = download.firstIndex;
  facts.slotsRead = DownloadedRecords(store, download.count).records;
  facts.lastImage = download.mark.lastImage;
  if (download.count > 0) facts.emptyCellBytes = store.emptyCellBytes;
  std::optional<StoredDownload> stored = history->Add(facts, problem);
  if (!stored) Note(problem);
  return stored;
}

}  // namespace velorix
