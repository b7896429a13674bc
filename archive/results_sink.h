#pragma once

// Where the results writer puts its bytes: one Write per chunk. The writer
// talks to this interface only, so tests can put a fault-injecting sink in
// front of a real file.

#include <functional>
#include <string>
#include <string_view>

#include "fileio/safe_replace.h"

namespace velorix {

class ResultsSink {
 public:
  virtual ~ResultsSink() = default;
  // Each call returns true on success; on failure Error() says why.
  virtual bool Open(const std::string& path) = 0;
  virtual bool Write(std::string_view chunk) = 0;
  virtual bool Close() = 0;
  // After a failure at any step: closes what is open and leaves the path as
  // it was before Open. Safe to call in any state.
  virtual void Abandon() = 0;
  virtual std::string Error() const = 0;
};

// A regular file, replaced safely (fileio/safe_replace.h): the new contents
// go to a temporary file beside it and take its place only when Close has
// written them all to disk, so a failed or interrupted write leaves an older
// file exactly as it was and no partial file anywhere. An existing file that
// another program holds an flock on is refused as in use (FILE_IN_USE_TEXT)
// and left alone. The chunks are written to disk at Close, in one pass.
class FileResultsSink : public ResultsSink {
 public:
  // `interrupted` is asked before each chunk and before the new file takes
  // the old one's place; true abandons the write (INTERRUPTED_TEXT).
  explicit FileResultsSink(std::function<bool()> interrupted = {});

  bool Open(const std::string& path) override;
  bool Write(std::string_view chunk) override;
  bool Close() override;
  void Abandon() override;
  std::string Error() const override;

 private:
  SafeReplace file_;
};

// An open stream such as standard output, which can't be replaced or taken
// back: the file is gathered in memory and written out whole at Close, so a
// download that fails or is interrupted before then emits nothing at all, not
// a partial file. Close can still fail (a closed pipe: "Broken pipe"). While
// the stream takes no more bytes (a pipe nobody reads yet), Close waits, and
// `interrupted` ends the wait (INTERRUPTED_TEXT).
class StreamResultsSink : public ResultsSink {
 public:
  explicit StreamResultsSink(int fd, std::function<bool()> interrupted = {});

  bool Open(const std::string& path) override;  // the path only names the stream
  bool Write(std::string_view chunk) override;
  bool Close() override;
  void Abandon() override;
  std::string Error() const override { return error_; }

 private:
  bool Interrupted() const { return interrupted_ && interrupted_(); }
  bool Fail(std::string text);

  int fd_;
  std::function<bool()> interrupted_;
  std::string bytes_;
  std::string error_;
};

}  // namespace velorix
