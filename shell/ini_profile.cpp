#include "shell/ini_profile.h"

#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "fileio/file_system.h"
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

// One line of the file, as views into its contents: `text` without its line
// end, `end` the line end as it was ("\n", "\r\n", or for a last line "\r"
// or nothing), `offset` where the text starts.
struct LineView {
  std::string_view text;
  std::string_view end;
  std::size_t offset = 0;

  std::size_t EndOffset() const { return offset + text.size() + end.size(); }
};

// The lines of a file one at a time: reading costs no more memory than the
// file itself, however many lines it has.
class Lines {
 public:
  explicit Lines(std::string_view content) : content_(content) {}

  bool Next(LineView& line) {
    if (pos_ >= content_.size()) return false;
    const std::size_t nl = content_.find('\n', pos_);
    const std::size_t stop = nl == std::string_view::npos ? content_.size() : nl + 1;
    line.offset = pos_;
    line.text = content_.substr(pos_, stop - pos_);
    line.end = {};
    if (!line.text.empty() && line.text.back() == '\n') line.text.remove_suffix(1);
    if (!line.text.empty() && line.text.back() == '\r') line.text.remove_suffix(1);
    line.end = content_.substr(pos_ + line.text.size(), stop - pos_ - line.text.size());
    pos_ = stop;
    return true;
  }

 private:
  std::string_view content_;
  std::size_t pos_ = 0;
};

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

ReadResult ReadWholeFile(const std::string& path, std::string& content, std::string* problem = nullptr) {
  return ReadRegularFile(path, content, MAX_PROFILE_BYTES, PROFILE_TOO_LARGE_TEXT, problem);
}

struct Location {
  std::optional<LineView> section;
  std::optional<LineView> key;
  LineView lastInSection;  // its last non-blank line (the header, if none)
  LineView last;           // the file's last line
  bool crlf = false;       // the first line ends in CR LF
};

Location Find(std::string_view content, std::string_view section, std::string_view key) {
  Location where;
  bool inSection = false;
  Lines lines(content);
  for (LineView line; lines.Next(line);) {
    if (line.offset == 0) where.crlf = line.end == "\r\n";
    where.last = line;
    const Parsed parsed = ParseLine(line.text);
    if (parsed.kind == Parsed::Section) {
      if (inSection) break;  // the first matching section ends here
      if (SameName(parsed.name, section)) {
        inSection = true;
        where.section = line;
        where.lastInSection = line;
      }
      continue;
    }
    if (!inSection) continue;
    if (!Trim(line.text).empty()) where.lastInSection = line;
    if (parsed.kind == Parsed::Key && SameName(parsed.name, key)) {
      where.key = line;
      break;
    }
  }
  return where;
}

// The end a line gets when a line is written after it (only the file's last
// line can lack one). A last line that ends in a lone CR keeps it and gets
// the LF: a line written after a bare CR would be read as part of this line.
std::string EndBeforeNewLine(std::string_view end, const std::string& eol) {
  if (end.empty()) return eol;
  if (end == "\r") return "\r\n";
  return std::string(end);
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
  const Location where = Find(content, section, key);
  if (!where.key) return cut(defaultValue);
  return cut(ValueText(ParseLine(where.key->text).value));
}

std::vector<std::pair<std::string, std::string>> GetProfileSection(const std::string& section,
                                                                   const std::string& path) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string content;
  if (path.empty() || ReadWholeFile(path, content) != ReadResult::Ok) return entries;
  bool inSection = false;
  Lines lines(content);
  for (LineView line; lines.Next(line);) {
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

std::string ProfileFileProblem(const std::string& path) {
  std::string content, problem;
  if (!path.empty()) ReadWholeFile(path, content, &problem);
  return problem;
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path, std::string* error) {
  const auto failed = [error](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  if (path.empty()) return failed(SystemErrorText(ENOENT));
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
    return failed("a line break in a name or value");
  std::string content, problem;
  if (ReadWholeFile(path, content, &problem) == ReadResult::Failed) return failed(std::move(problem));

  const Location where = Find(content, section, key);
  const std::string eol = where.crlf ? "\r\n" : "\n";
  const std::string_view all(content);
  std::string out;
  out.reserve(content.size() + key.size() + value.size() + section.size() + 8);
  if (where.key) {
    out.append(all.substr(0, where.key->offset));
    out.append(ParseLine(where.key->text).name).append("=").append(value).append(where.key->end);
    out.append(all.substr(where.key->EndOffset()));
  } else if (where.section) {
    const LineView& after = where.lastInSection;
    out.append(all.substr(0, after.offset + after.text.size())).append(EndBeforeNewLine(after.end, eol));
    out.append(key).append("=").append(value).append(eol);
    out.append(all.substr(after.EndOffset()));
  } else {
    if (!content.empty()) {
      const LineView& last = where.last;
      out.append(all.substr(0, last.offset + last.text.size())).append(EndBeforeNewLine(last.end, eol));
      if (!Trim(last.text).empty()) out.append(eol);
    }
    out.append("[").append(section).append("]").append(eol).append(key).append("=").append(value).append(eol);
  }
  // Written without asking anyone: a link another user planted is not followed.
  SafeReplace::Options options;
  options.ownLinksOnly = true;
  std::string why;
  if (!ReplaceFileContents(path, out, &why, options)) return failed(std::move(why));
  return true;
}

}  // namespace velorix
