#include "shell/ini_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "fileio/file_contents.h"
#include "fileio/safe_replace.h"

namespace velorix {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

// One line of the file: `text` without its line end, `end` the line end as it
// was ("\n", "\r\n" or nothing for a last line without one).
struct Line {
  std::string text;
  std::string end;
};

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t nl = content.find('\n', start);
    Line line;
    if (nl == std::string::npos) {
      line.text = content.substr(start);
      start = content.size();
    } else {
      line.text = content.substr(start, nl - start);
      line.end = "\n";
      start = nl + 1;
    }
    if (!line.text.empty() && line.text.back() == '\r') {
      line.text.pop_back();
      line.end.insert(0, "\r");
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

// What a line means to the profile reader.
struct Parsed {
  enum Kind { Other, Section, Key } kind = Other;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // keys only, untrimmed
};

// A header needs its closing bracket; a line that opens one and never closes
// it starts no section and is no key either. Lines opening with ';' are
// comments. A key line is anything else with an equals sign.
Parsed ParseLine(std::string_view text) {
  Parsed parsed;
  const std::string_view body = Trim(text);
  if (body.empty() || body.front() == ';') return parsed;
  if (body.front() == '[') {
    const std::size_t close = body.rfind(']');
    if (close == std::string_view::npos || close == 0) return parsed;
    parsed.kind = Parsed::Section;
    parsed.name = Trim(body.substr(1, close - 1));
    return parsed;
  }
  const std::size_t eq = body.find('=');
  if (eq == std::string_view::npos) return parsed;
  parsed.kind = Parsed::Key;
  parsed.name = Trim(body.substr(0, eq));
  parsed.value = body.substr(eq + 1);
  return parsed;
}

// A key's value as read: blanks around it and one pair of matching quotes
// dropped.
std::string_view ValueText(std::string_view raw) {
  std::string_view value = Trim(raw);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return value;
}

enum class ReadResult { Ok, Missing, Failed };

// Plain POSIX reads: streams throw on some read errors (a folder in place of
// the file), and nothing here may throw.
ReadResult ReadWholeFile(const std::string& path, std::string& content) {
  // O_NONBLOCK: a named pipe in the file's place must not hold the program
  // up waiting for a writer; it is refused below like any other non-file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return ReadResult::Failed;
  }
  const int error = ReadFileContents(fd, content);
  ::close(fd);
  return error == 0 ? ReadResult::Ok : ReadResult::Failed;
}

struct Location {
  std::optional<std::size_t> sectionLine;
  std::optional<std::size_t> keyLine;
  std::size_t lastSectionLine = 0;  // last non-blank line of the section
};

Location Find(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location where;
  bool inSection = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Parsed parsed = ParseLine(lines[i].text);
    if (parsed.kind == Parsed::Section) {
      if (inSection) break;  // the first matching section ends here
      if (SameName(parsed.name, section)) {
        inSection = true;
        where.sectionLine = i;
        where.lastSectionLine = i;
      }
      continue;
    }
    if (!inSection) continue;
    if (!Trim(lines[i].text).empty()) where.lastSectionLine = i;
    if (parsed.kind == Parsed::Key && SameName(parsed.name, key)) {
      where.keyLine = i;
      break;
    }
  }
  return where;
}

// Gives the line a line end where it has none (only the file's last line can
// lack one). A last line that ends in a lone CR keeps it and gets the LF: a
// line written after a bare CR would be read as part of this line.
void EndLine(Line& line, const std::string& eol) {
  if (line.end.empty())
    line.end = eol;
  else if (line.end == "\r")
    line.end = "\r\n";
}

bool HasLineBreak(std::string_view text) {
  return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t bufferSize,
                             const std::string& path) {
  const auto cut = [bufferSize](std::string_view text) {
    const std::size_t room = bufferSize == 0 ? 0 : bufferSize - 1;
    return std::string(text.substr(0, room));
  };
  std::string content;
  if (path.empty() || ReadWholeFile(path, content) != ReadResult::Ok) return cut(defaultValue);

  const std::vector<Line> lines = SplitLines(content);
  const Location where = Find(lines, section, key);
  if (!where.keyLine) return cut(defaultValue);

  return cut(ValueText(ParseLine(lines[*where.keyLine].text).value));
}

std::vector<std::pair<std::string, std::string>> GetProfileSection(const std::string& section,
                                                                   const std::string& path) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string content;
  if (path.empty() || ReadWholeFile(path, content) != ReadResult::Ok) return entries;
  bool inSection = false;
  for (const Line& line : SplitLines(content)) {
    const Parsed parsed = ParseLine(line.text);
    if (parsed.kind == Parsed::Section) {
      if (inSection) break;
      inSection = SameName(parsed.name, section);
    } else if (inSection && parsed.kind == Parsed::Key) {
      entries.emplace_back(std::string(parsed.name), std::string(ValueText(parsed.value)));
    }
  }
  return entries;
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path) {
  if (path.empty() || HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
    return false;
  std::string content;
  if (ReadWholeFile(path, content) == ReadResult::Failed) return false;

  std::vector<Line> lines = SplitLines(content);
  const std::string eol = (!lines.empty() && lines.front().end == "\r\n") ? "\r\n" : "\n";
  const Location where = Find(lines, section, key);

  if (where.keyLine) {
    Line& line = lines[*where.keyLine];
    line.text = std::string(ParseLine(line.text).name) + "=" + value;
  } else if (where.sectionLine) {
    const std::size_t after = where.lastSectionLine;
    EndLine(lines[after], eol);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after) + 1, Line{key + "=" + value, eol});
  } else {
    if (!lines.empty()) {
      EndLine(lines.back(), eol);
      if (!Trim(lines.back().text).empty()) lines.push_back(Line{"", eol});
    }
    lines.push_back(Line{"[" + section + "]", eol});
    lines.push_back(Line{key + "=" + value, eol});
  }

  std::string out;
  out.reserve(content.size() + key.size() + value.size() + section.size() + 8);
  for (const Line& line : lines) out += line.text + line.end;
  return ReplaceFileContents(path, out);
}

}  // namespace velorix
