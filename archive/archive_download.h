#pragma once

// The archive download: asks the instrument for its archive pointer, its
// empty-cell table and then N+1 records by ring index, one request at a time,
// and hands the store to the results writer at the end.
//
// Both entry points run on one thread (the window's, or the headless runner's).
// The download does no I/O itself: it places framed requests into a
// RequestChannel and is fed the replies through OnLinkFrame.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "archive/archive_record.h"
#include "link/link_state.h"

namespace velorix {

inline constexpr int ARCHIVE_RING_SIZE = 2000;
inline constexpr int MIN_SAMPLE_COUNT = 1;
inline constexpr int MAX_SAMPLE_COUNT = 2000;

inline constexpr const char* BAD_SAMPLE_COUNT_TEXT = "Number is incorrect (1...2000)";
inline constexpr const char* WAIT_FOR_READING_SUFFIX = "  Wait for reading.";

// Where a download ended: the archive pointer it read, and the bytes of the
// slot just before it as they were then. A download of new records starts
// there once that slot still holds the same bytes.
struct DownloadMark {
  int pointer = 0;
  std::array<std::uint8_t, RECORD_BYTES> lastImage{};
};

// Why a download of new records reads the whole archive instead.
enum class WholeArchiveReason {
  None,
  NoMark,       // nothing downloaded before
  Cleared,      // the slot before the last pointer holds no result now
  Overwritten,  // it holds another record: more than 2000 tests since, or another instrument
};

// A download that is complete: slots 0..count-1 of the store hold the
// records of ring indices firstIndex, firstIndex+1, ... (after 1999 comes 0).
struct CompletedDownload {
  enum Kind { LastN, NewRecords, WholeArchive } kind = LastN;
  WholeArchiveReason reason = WholeArchiveReason::None;
  int pointer = 0;
  int firstIndex = 0;
  int count = 0;  // 0: no new records
  DownloadMark mark;  // where the next download of new records starts
};

// What belongs to the window / headless runner.
class DownloadView {
 public:
  virtual ~DownloadView() = default;
  virtual void SetProgressRange(int low, int high) = 0;
  virtual void SetProgressPos(int pos) = 0;
  virtual void SetStatusSuffix(const std::string& suffix) = 0;
  virtual void ShowMessageBox(const std::string& text) = 0;  // OK, no icon
  // Runs the results writer over slots 0..sampleCount-1. May re-enter
  // ArchiveDownload::OnLinkFrame (the CMD_END reply, a no-response notice).
  virtual void WriteResultsFile(int sampleCount) = 0;
  // The download is complete, before any file is written (or, with no new
  // records, instead of it): the moment to keep its records.
  virtual void DownloadComplete(const CompletedDownload&) {}
  // A download of new records found it must read the whole archive.
  virtual void ReadingWholeArchive(WholeArchiveReason) {}
};

class ArchiveDownload {
 public:
  ArchiveDownload(RequestChannel& link, DownloadStore& store, DownloadView& view);
  ArchiveDownload(const ArchiveDownload&) = delete;
  ArchiveDownload& operator=(const ArchiveDownload&) = delete;

  // The "Reading archive" press with the count the operator has entered.
  // Ignored while a request is being sent or awaited; a count outside 1..2000
  // shows the message box and changes nothing.
  void OnReadArchive(int sampleCount);

  // The records stored since `since` (the whole archive without one, or
  // when the slot before its pointer no longer holds what it held then).
  // Ignored while a request is being sent or awaited. Asks for the pointer,
  // the slot before the mark's pointer, the empty-cell table and then each
  // new record: K new records take K + 4 exchanges.
  void OnReadNewRecords(std::optional<DownloadMark> since);

  // One reply frame of `length` bytes, or (nullptr, 0) when the link gave up.
  // Safe to enter again from inside DownloadView::WriteResultsFile, where it
  // changes nothing, whatever the frame. Returns 0.
  int OnLinkFrame(const std::uint8_t* frame, int length);

  // A press has been accepted and neither the writer has been reached nor the
  // link has given up.
  bool Busy() const { return busy_; }

  // The count accepted at the last press (0 before the first one). Editing the
  // window's count during a download does not change it.
  int SampleCountInForce() const { return sampleCount_; }

  // How far this download has come: 1 with the pointer, 2 with the table,
  // then one more with each record stored. Replies that move nothing on
  // (another code, a pointer again mid-download) leave it as it is.
  int Progress() const { return progress_; }

  // Download state, for the window's diagnostics and for tests.
  std::int16_t RecordCount() const { return recordCount_; }
  std::int16_t StartIndex() const { return startIndex_; }
  std::int16_t NextIndex() const { return nextIndex_; }
  std::uint16_t ArchivePointer() const { return archivePointer_; }

 private:
  enum class Mode { LastN, Check, Range };
  void OnPointer(const std::uint8_t* bytes);
  void OnCheckedSlot(const std::uint8_t* bytes, int length);
  void OnRangeRecord(const std::uint8_t* bytes, int length);
  void ReadRange(int first, int count, CompletedDownload::Kind kind, WholeArchiveReason reason);
  void Complete(int count);
  bool Start();

  // Frames 01 L code [index lo, index hi] with its checksum and hands it to the link.
  void placeRequest(std::uint8_t code);
  void placeRequest(std::uint8_t code, std::int16_t index);
  void placeFrame(std::uint8_t* frame, int lengthWithoutChecksum);

  RequestChannel& link_;
  DownloadStore& store_;
  DownloadView& view_;

  std::int16_t recordCount_ = 0;
  std::int16_t startIndex_ = 0;
  std::int16_t nextIndex_ = 0;
  std::uint16_t archivePointer_ = 0;
  int progress_ = 0;
  int sampleCount_ = 0;  // N in force: 0 until a press is accepted, then 1..2000
  bool busy_ = false;
  bool writing_ = false;  // inside view_.WriteResultsFile
  Mode mode_ = Mode::LastN;
  std::optional<DownloadMark> since_;  // Check: the mark being checked
  CompletedDownload range_;            // Range: what is being read
};

}  // namespace velorix
