// The settings file reader and writer on arbitrary file contents.
//
// Input layout:
//   byte 0   bits 0-1  where the names come from: 0 the program's own section
//                      and key, 1 made from the input, 2-3 taken from a key
//                      line of the file (the n-th, n = byte 1)
//            bit 2     the value may hold line breaks (the write must refuse it)
//            bit 3     the key is spelt in other letter case than in the file
//   byte 1   which key line of the file, for names from the file
//   byte 2   buffer size for the cut read
//   then     section name (count byte, bytes), key name (count byte, bytes),
//            value (count byte, bytes), and the rest is the file's content.
//
// Names made from the input are what a program would pass: no line breaks,
// no blanks or tabs at either end, a key without '=' that does not begin
// with '[' or ';' (such a key could never be read back from any file).
//
// Properties:
//  - reading never fails, for any section and key, before and after;
//  - a refused write (a line break in the value) leaves the file byte for
//    byte as it was;
//  - after WriteProfileString(section, key, value) the read gives the value
//    (blanks and tabs at its ends and one pair of enclosing quotes dropped, as
//    the reader always does) and a read with a small buffer gives its start;
//  - every other key reads as before;
//  - the file changed in one place only: every line but the key's own is
//    unchanged byte for byte; new lines go in at a line boundary (a last line
//    without line end may get one).

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "shell/ini_profile.h"

namespace {

using velorix::fuzz::InputReader;

constexpr const char* kDefault = "\x01(default)";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string FlipCase(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// What a read gives for a written value: the ends trimmed, then one pair of
// matching quotes around it removed.
std::string AsRead(std::string_view value) {
  value = Trim(value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

bool ValidSection(std::string_view s) {
  return s.find_first_of("\r\n") == std::string_view::npos && Trim(s) == s;
}

bool ValidKey(std::string_view k) {
  return !k.empty() && k.find_first_of("\r\n=") == std::string_view::npos && Trim(k) == k && k.front() != '[' &&
         k.front() != ';';
}

// A name from the input, made valid: line breaks and '=' become '_', blanks
// at the ends go.
std::string MakeName(const std::vector<std::uint8_t>& bytes, bool key) {
  std::string name(bytes.begin(), bytes.end());
  for (char& c : name)
    if (c == '\r' || c == '\n' || (key && c == '=')) c = '_';
  name = std::string(Trim(name));
  if (key) {
    while (!name.empty() && (name.front() == '[' || name.front() == ';' || IsBlank(name.front()))) name.erase(0, 1);
    if (name.empty()) name = "k";
  }
  return name;
}

struct Line {
  std::string_view text;  // without its line end
  std::size_t start;      // offset of the line in the file
};

std::vector<Line> LinesOf(std::string_view file) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < file.size()) {
    std::size_t end = file.find('\n', start);
    if (end == std::string_view::npos) end = file.size();
    std::string_view text = file.substr(start, end - start);
    if (!text.empty() && text.back() == '\r' && end < file.size()) text.remove_suffix(1);
    lines.push_back({text, start});
    start = end + 1;
  }
  return lines;
}

// Section and key names the file itself holds: each line with '=' in a
// section, under the nearest header above it.
std::vector<std::pair<std::string, std::string>> NamesInFile(std::string_view file) {
  std::vector<std::pair<std::string, std::string>> names;
  std::string section;
  bool inSection = false;
  for (const Line& line : LinesOf(file)) {
    const std::string_view body = Trim(line.text);
    if (!body.empty() && body.front() == '[') {
      const std::size_t close = body.rfind(']');
      if (close != std::string_view::npos && close > 0) {
        section = std::string(Trim(body.substr(1, close - 1)));
        inSection = true;
      }
      continue;
    }
    const std::size_t eq = body.find('=');
    if (!inSection || eq == std::string_view::npos) continue;
    const std::string key(Trim(body.substr(0, eq)));
    if (ValidKey(key) && ValidSection(section)) names.emplace_back(section, key);
  }
  return names;
}

class ScratchFile {
 public:
  ScratchFile() {
    // Where scripts/fuzz says, else memory-backed when the machine has it:
    // each write renames a new file into place and syncs it.
    const char* base = ::getenv("VELORIX_FUZZ_SCRATCH");
    if (base == nullptr) base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
    if (base == nullptr) base = ::getenv("TMPDIR");
    if (base == nullptr) base = "/tmp";
    std::string pattern = std::string(base) + "/velorix-ini-fuzz.XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "no scratch folder in %s", base);
    dir_ = pattern;
    path_ = dir_ + "/Velquor.ini";
  }
  ~ScratchFile() {
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }

  void Put(const std::string& content) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot write %s", path_.c_str());
    FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), f) == content.size(), "short write");
    std::fclose(f);
  }

  std::string Get() const {
    std::string content;
    std::FILE* f = std::fopen(path_.c_str(), "rb");
    FUZZ_CHECK(f != nullptr, "the settings file is gone");
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
    std::fclose(f);
    return content;
  }

 private:
  std::string dir_, path_;
};

ScratchFile& Scratch() {
  static ScratchFile file;
  return file;
}

std::string Read(const std::string& section, const std::string& key, std::size_t bufferSize = 1 << 20) {
  return velorix::GetProfileString(section, key, kDefault, bufferSize, Scratch().path());
}

// The one changed place: `before` and `after` agree up to `prefix` bytes and
// in their last `suffix` bytes. Whatever lies between must touch the key's
// own line only, or be new lines inserted at a line boundary.
void CheckOnePlaceChanged(const std::string& before, const std::string& after, const std::string& key) {
  std::size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
    ++suffix;
  const std::string_view oldPart = std::string_view(before).substr(prefix, before.size() - prefix - suffix);
  const std::string_view newPart = std::string_view(after).substr(prefix, after.size() - prefix - suffix);
  FUZZ_CHECK(oldPart.find('\n') == std::string_view::npos, "more than one line of the file changed");
  if (oldPart.empty() && newPart.empty()) return;  // written as it was

  // New lines at a line boundary, or a line end and new lines after a last line without one.
  if (oldPart.empty() &&
      (prefix == 0 || before[prefix - 1] == '\n' ||
       (prefix == before.size() && (newPart.front() == '\n' || newPart.substr(0, 2) == "\r\n"))))
    return;

  // Otherwise the change lies within one line, which must be the key's line.
  std::size_t lineStart = before.rfind('\n', prefix == 0 ? 0 : prefix - 1);
  lineStart = (lineStart == std::string::npos || prefix == 0) ? 0 : lineStart + 1;
  std::size_t lineEnd = before.find('\n', prefix);
  if (lineEnd == std::string::npos) lineEnd = before.size();
  const std::string_view line = std::string_view(before).substr(lineStart, lineEnd - lineStart);
  const std::size_t eq = line.find('=');
  FUZZ_CHECK(eq != std::string_view::npos && SameName(Trim(line.substr(0, eq)), key),
             "a line other than the key's changed: \"%.*s\"", static_cast<int>(std::min<std::size_t>(line.size(), 200)),
             line.data());
  FUZZ_CHECK(newPart.find('\n') == std::string_view::npos, "the key's line became several");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  const std::uint8_t pick = in.Byte();
  const std::size_t cutSize = in.Byte() % 24;
  std::string section = MakeName(in.Bytes(in.Byte() % 32), false);
  std::string key = MakeName(in.Bytes(in.Byte() % 32), true);
  std::vector<std::uint8_t> valueBytes = in.Bytes(in.Byte());
  const std::vector<std::uint8_t> rest = in.Rest();
  const std::string before(rest.begin(), rest.end());

  const auto inFile = NamesInFile(before);
  switch (flags & 3) {
    case 0:
      section = "Velorix - 5";
      key = "COM Port 1_4";
      break;
    case 1:
      break;
    default:
      if (!inFile.empty()) std::tie(section, key) = inFile[pick % inFile.size()];
      break;
  }
  if (flags & 8) key = FlipCase(key);
  std::string value(valueBytes.begin(), valueBytes.end());
  if (!(flags & 4))
    for (char& c : value)
      if (c == '\r' || c == '\n') c = ' ';
  FUZZ_CHECK(ValidSection(section) && ValidKey(key), "the harness made an invalid name");

  ScratchFile& file = Scratch();
  file.Put(before);

  // Reads before the write, for the key and for every key the file holds.
  std::vector<std::pair<std::string, std::string>> others;
  for (const auto& [s, k] : inFile)
    if (!(SameName(s, section) && SameName(k, key))) others.emplace_back(s, k);
  if (others.size() > 16) others.resize(16);
  std::vector<std::string> othersBefore;
  for (const auto& [s, k] : others) othersBefore.push_back(Read(s, k));
  (void)Read(section, key);
  (void)Read(section, key, cutSize);

  const bool lineBreak = value.find_first_of("\r\n") != std::string::npos;
  const bool written = velorix::WriteProfileString(section, key, value, file.path());
  const std::string after = file.Get();

  if (lineBreak) {
    FUZZ_CHECK(!written, "a value with a line break was written");
    FUZZ_CHECK(after == before, "a refused write changed the file");
    return 0;
  }
  FUZZ_CHECK(written, "the write failed on a writable file");

  const std::string expected = AsRead(value);
  const std::string got = Read(section, key);
  FUZZ_CHECK(got == expected, "wrote \"%s\" under [%s] %s, read back \"%s\"", value.c_str(), section.c_str(),
             key.c_str(), got.c_str());
  const std::string cut = Read(section, key, cutSize);
  FUZZ_CHECK(cut == expected.substr(0, cutSize == 0 ? 0 : cutSize - 1), "a read into %zu characters gave \"%s\"",
             cutSize, cut.c_str());

  for (std::size_t i = 0; i < others.size(); ++i) {
    const std::string now = Read(others[i].first, others[i].second);
    FUZZ_CHECK(now == othersBefore[i], "[%s] %s read \"%s\" before the write and \"%s\" after",
               others[i].first.c_str(), others[i].second.c_str(), othersBefore[i].c_str(), now.c_str());
  }

  CheckOnePlaceChanged(before, after, key);
  return 0;
}
