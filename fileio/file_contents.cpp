#include "fileio/file_contents.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velorix {

int ReadFileContents(int fd, std::string& bytes, std::size_t limit) {
  bytes.clear();
  char chunk[8192];
  for (off_t offset = 0;;) {
    if (bytes.size() > limit) return EFBIG;
    const ssize_t n = ::pread(fd, chunk, std::min(sizeof chunk, limit + 1 - bytes.size()), offset);
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
