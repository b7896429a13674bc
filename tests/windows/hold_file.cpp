// Holds a file open without sharing, as a spreadsheet program holds the file
// it shows, until its standard input ends. Says "held" once it holds it.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: hold_file FILE\n", stderr);
    return 2;
  }
  HANDLE file = ::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: error %lu\n", ::GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  ::CloseHandle(file);
  return 0;
}
