#pragma once

// Where the results writer puts its bytes: one Write per chunk, nothing
// buffered here. The writer talks to this interface only, so tests can put a
// fault-injecting sink in front of a real file.

#include <string>
#include <string_view>

namespace velorix {

class ResultsSink {
 public:
  virtual ~ResultsSink() = default;
  // Each call returns true on success; on failure Error() says why.
  virtual bool Open(const std::string& path) = 0;
  virtual bool Write(std::string_view chunk) = 0;
  virtual bool Close() = 0;
  // After a failure at any step: closes what is open and removes the file if
  // this sink created it or emptied it. Safe to call in any state.
  virtual void Abandon() = 0;
  virtual std::string Error() const = 0;
};

// A regular file through POSIX calls. Open creates the file (0666, less the
// umask) or opens the existing one, takes an exclusive non-blocking flock and
// only then empties it, so a file another writer holds locked is refused as
// in use and left as it was. Write issues one write() per chunk (continuing
// only after a partial write or an interrupt).
class PosixResultsSink : public ResultsSink {
 public:
  PosixResultsSink() = default;
  PosixResultsSink(const PosixResultsSink&) = delete;
  PosixResultsSink& operator=(const PosixResultsSink&) = delete;
  ~PosixResultsSink() override;

  bool Open(const std::string& path) override;
  bool Write(std::string_view chunk) override;
  bool Close() override;
  void Abandon() override;
  std::string Error() const override { return error_; }

 private:
  bool Fail(int errorNumber);

  int fd_ = -1;
  std::string path_;         // where the file is to be removed on Abandon
  bool removable_ = false;   // a regular file that this sink created or emptied
  std::string error_;
};

// The text of the system's error number, e.g. "Permission denied".
std::string SystemErrorText(int errorNumber);

inline constexpr const char* FILE_IN_USE_TEXT = "The file is in use by another program";

}  // namespace velorix
