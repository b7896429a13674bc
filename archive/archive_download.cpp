#include "archive/archive_download.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/frame_codec.h"

namespace velorix {
namespace {

// Room for any frame the link can deliver (138 bytes) and for any length a
// caller can name in a frame's length byte.
constexpr int FRAME_COPY_BYTES = 256;

}  // namespace

ArchiveDownload::ArchiveDownload(RequestChannel& link, DownloadStore& store, DownloadView& view)
    : link_(link), store_(store), view_(view) {}

bool ArchiveDownload::Start() {
  const LinkState state = link_.State();
  return state == LINK_REPLIED || state == LINK_NO_RESPONSE;
}

void ArchiveDownload::OnReadArchive(int sampleCount) {
  if (!Start()) return;
  if (sampleCount < MIN_SAMPLE_COUNT || sampleCount > MAX_SAMPLE_COUNT) {
    view_.ShowMessageBox(BAD_SAMPLE_COUNT_TEXT);
    return;
  }
  // The count is held from here to the writer: the window's field stays
  // editable during the download, and slots 0..N must stay within the store.
  sampleCount_ = sampleCount;
  mode_ = Mode::LastN;
  recordCount_ = 0;
  progress_ = 0;
  busy_ = true;
  placeRequest(CMD_ARCHIVE_POINTER);
  view_.SetStatusSuffix(WAIT_FOR_READING_SUFFIX);
}

void ArchiveDownload::OnReadNewRecords(std::optional<DownloadMark> since) {
  if (!Start()) return;
  // Nothing is ever read here but the range asked for: whole archive at most.
  sampleCount_ = ARCHIVE_RING_SIZE;
  mode_ = Mode::Check;
  since_ = since;
  recordCount_ = 0;
  progress_ = 0;
  busy_ = true;
  placeRequest(CMD_ARCHIVE_POINTER);
  view_.SetStatusSuffix(WAIT_FOR_READING_SUFFIX);
}

int ArchiveDownload::OnLinkFrame(const std::uint8_t* frame, int length) {
  // Work on a copy of our own: the link refills its receive buffer with the
  // next frame, and the writer below may run a nested call of this handler.
  // Bytes beyond what was received read as zero.
  std::array<std::uint8_t, FRAME_COPY_BYTES> bytes{};
  if (frame == nullptr || length < 0) length = 0;
  if (length > FRAME_COPY_BYTES) length = FRAME_COPY_BYTES;
  if (length > 0) std::memcpy(bytes.data(), frame, static_cast<std::size_t>(length));

  // While the writer runs, its save dialog dispatches whatever the link
  // delivers back into this handler. The file must be written from the store
  // as this download left it, so nothing that arrives then (the end reply, a
  // late duplicate of the last reply, anything) changes the store or places a
  // request.
  if (writing_) return 0;

  if (length == 0) {
    // The link's no-response notice: the download stops where it is.
    busy_ = false;
    return 0;
  }
  if (link_.State() != LINK_REPLIED) return 0;
  // Before the first accepted press there is no count in force to act on.
  if (sampleCount_ == 0) return 0;

  switch (bytes[2]) {
    case CMD_ARCHIVE_POINTER:
      OnPointer(bytes.data());
      break;
    case CMD_EMPTY_CELLS:
      storeEmptyCells(store_, bytes.data(), length);
      progress_ = std::max(progress_, 2);
      placeRequest(CMD_READ_RECORD, nextIndex_);
      break;
    case CMD_READ_RECORD:
      if (mode_ == Mode::Check) {
        OnCheckedSlot(bytes.data(), length);
      } else if (mode_ == Mode::Range) {
        OnRangeRecord(bytes.data(), length);
      } else {
        const int n = sampleCount_;
        storeRecord(store_, recordCount_, bytes.data(), length);
        progress_ = std::max(progress_, 3 + recordCount_);
        view_.SetProgressRange(0, n);
        if (recordCount_ < n) {
          ++recordCount_;
          view_.SetProgressPos(recordCount_);
          ++nextIndex_;
          if (nextIndex_ > ARCHIVE_RING_SIZE - 1) nextIndex_ = 0;
          placeRequest(CMD_READ_RECORD, nextIndex_);
        } else {
          CompletedDownload done;
          done.pointer = archivePointer_;
          done.firstIndex = startIndex_;
          done.count = n;
          done.mark = {archivePointer_, store_.recordSlots[static_cast<std::size_t>(n - 1)].image};
          range_ = done;
          Complete(n);
        }
      }
      break;
    default:  // CMD_END and anything unknown change nothing
      break;
  }
  return 0;
}

void ArchiveDownload::OnPointer(const std::uint8_t* bytes) {
  archivePointer_ = static_cast<std::uint16_t>(bytes[3] | (bytes[4] << 8));
  progress_ = std::max(progress_, 1);
  if (mode_ == Mode::LastN) {
    const int n = sampleCount_;
    std::int16_t start = static_cast<std::int16_t>(static_cast<std::int16_t>(archivePointer_) - n);
    if (start < 0) start = static_cast<std::int16_t>(start + ARCHIVE_RING_SIZE);
    startIndex_ = start;
    nextIndex_ = startIndex_;
    placeRequest(CMD_EMPTY_CELLS);
    return;
  }
  // New records: the ring index the instrument writes next.
  const int pointer = archivePointer_ % ARCHIVE_RING_SIZE;
  mode_ = Mode::Check;
  if (!since_) {
    view_.ReadingWholeArchive(WholeArchiveReason::NoMark);
    ReadRange(pointer, ARCHIVE_RING_SIZE, CompletedDownload::WholeArchive, WholeArchiveReason::NoMark);
    return;
  }
  // Does the slot before the last pointer still hold what it held?
  const int check = (since_->pointer + ARCHIVE_RING_SIZE - 1) % ARCHIVE_RING_SIZE;
  placeRequest(CMD_READ_RECORD, static_cast<std::int16_t>(check));
}

void ArchiveDownload::OnCheckedSlot(const std::uint8_t* bytes, int length) {
  // Read as the store would keep it: bytes the reply lacks read as zero.
  ArchiveRecord checked;
  for (int i = 0; i < RECORD_BYTES && RECORD_FRAME_OFFSET + i < length; ++i)
    checked.image[static_cast<std::size_t>(i)] = bytes[RECORD_FRAME_OFFSET + i];
  const std::array<std::uint8_t, RECORD_BYTES>& image = checked.image;
  progress_ = std::max(progress_, 2);
  const int pointer = archivePointer_ % ARCHIVE_RING_SIZE;
  if (image == since_->lastImage) {
    const int fresh = (pointer - since_->pointer + ARCHIVE_RING_SIZE) % ARCHIVE_RING_SIZE;
    if (fresh == 0) {
      range_ = {};
      range_.kind = CompletedDownload::NewRecords;
      range_.pointer = archivePointer_;
      range_.firstIndex = pointer;
      range_.mark = {archivePointer_, image};
      Complete(0);
      return;
    }
    ReadRange(since_->pointer, fresh, CompletedDownload::NewRecords, WholeArchiveReason::None);
    return;
  }
  const WholeArchiveReason reason = isResult(checked) ? WholeArchiveReason::Overwritten : WholeArchiveReason::Cleared;
  view_.ReadingWholeArchive(reason);
  ReadRange(pointer, ARCHIVE_RING_SIZE, CompletedDownload::WholeArchive, reason);
}

void ArchiveDownload::ReadRange(int first, int count, CompletedDownload::Kind kind, WholeArchiveReason reason) {
  mode_ = Mode::Range;
  range_ = {};
  range_.kind = kind;
  range_.reason = reason;
  range_.pointer = archivePointer_;
  range_.firstIndex = first;
  range_.count = count;
  startIndex_ = static_cast<std::int16_t>(first);
  nextIndex_ = startIndex_;
  recordCount_ = 0;
  placeRequest(CMD_EMPTY_CELLS);
}

void ArchiveDownload::OnRangeRecord(const std::uint8_t* bytes, int length) {
  const int n = range_.count;
  storeRecord(store_, recordCount_, bytes, length);
  progress_ = std::max(progress_, 3 + recordCount_);
  view_.SetProgressRange(0, n);
  ++recordCount_;
  view_.SetProgressPos(recordCount_);
  if (recordCount_ < n) {
    ++nextIndex_;
    if (nextIndex_ > ARCHIVE_RING_SIZE - 1) nextIndex_ = 0;
    placeRequest(CMD_READ_RECORD, nextIndex_);
    return;
  }
  range_.mark = {archivePointer_, store_.recordSlots[static_cast<std::size_t>(n - 1)].image};
  Complete(n);
}

void ArchiveDownload::Complete(int count) {
  placeRequest(CMD_END);
  recordCount_ = 0;
  busy_ = false;
  // The writer may dispatch the CMD_END reply (or the link giving up on it,
  // or a stray reply) back into this handler; all find nothing to do.
  writing_ = true;
  view_.DownloadComplete(range_);
  if (count > 0) view_.WriteResultsFile(count);
  writing_ = false;
}

void ArchiveDownload::placeRequest(std::uint8_t code) {
  std::uint8_t frame[5] = {FRAME_START, 5, code, 0, 0};
  placeFrame(frame, 3);
}

void ArchiveDownload::placeRequest(std::uint8_t code, std::int16_t index) {
  const auto raw = static_cast<std::uint16_t>(index);
  std::uint8_t frame[7] = {FRAME_START, 7, code, static_cast<std::uint8_t>(raw & 0xFF),
                           static_cast<std::uint8_t>(raw >> 8), 0, 0};
  placeFrame(frame, 5);
}

void ArchiveDownload::placeFrame(std::uint8_t* frame, int lengthWithoutChecksum) {
  const int length = AppendChecksum(frame, lengthWithoutChecksum);
  link_.PlaceRequest(frame, length, REPLY_TIMEOUT_MS);
}

}  // namespace velorix
