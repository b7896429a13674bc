#include "archive/results_sink.h"

#include "fileio/file_system.h"

namespace velorix {

FileResultsSink::FileResultsSink(std::function<bool()> interrupted)
    : file_(SafeReplace::Options{true, std::move(interrupted)}) {}

bool FileResultsSink::Open(const std::string& path) { return file_.Open(path); }

bool FileResultsSink::Write(std::string_view chunk) { return file_.Write(chunk); }

bool FileResultsSink::Close() { return file_.Commit(); }

void FileResultsSink::Abandon() { file_.Cancel(); }

std::string FileResultsSink::Error() const { return file_.Error(); }

StreamResultsSink::StreamResultsSink(int fd, std::function<bool()> interrupted)
    : fd_(fd), interrupted_(std::move(interrupted)) {}

bool StreamResultsSink::Open(const std::string& /*path*/) {
  bytes_.clear();
  error_.clear();
  return !Interrupted() || Fail(INTERRUPTED_TEXT);
}

bool StreamResultsSink::Write(std::string_view chunk) {
  if (Interrupted()) return Fail(INTERRUPTED_TEXT);
  bytes_.append(chunk);
  return true;
}

bool StreamResultsSink::Close() {
  if (std::string error = WriteWholeStream(fd_, bytes_, interrupted_); !error.empty()) return Fail(std::move(error));
  bytes_.clear();
  return true;
}

void StreamResultsSink::Abandon() { bytes_.clear(); }

bool StreamResultsSink::Fail(std::string text) {
  error_ = std::move(text);
  return false;
}

}  // namespace velorix
