#pragma once

#include <cstddef>
#include <limits>
#include <string>

namespace velorix {

// Everything in the open file `fd`, read from its first byte whatever its
// offset, into `bytes`. 0, or the error number of the read that failed;
// EFBIG when the file holds more than `limit` bytes (then `bytes` holds
// the first limit + 1 of them at most).
int ReadFileContents(int fd, std::string& bytes, std::size_t limit = std::numeric_limits<std::size_t>::max() - 1);

}  // namespace velorix
