#include "fileio/file_contents.h"

#include <unistd.h>

#include <cerrno>

namespace velorix {

int ReadFileContents(int fd, std::string& bytes) {
  bytes.clear();
  char chunk[8192];
  for (off_t offset = 0;;) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    bytes.append(chunk, static_cast<std::size_t>(n));
    offset += n;
  }
}

}  // namespace velorix
