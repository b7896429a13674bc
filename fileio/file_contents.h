#pragma once

#include <string>

namespace velorix {

// Everything in the open file `fd`, read from its first byte whatever its
// offset, into `bytes`. 0, or the error number of the read that failed.
int ReadFileContents(int fd, std::string& bytes);

}  // namespace velorix
