// Our own INI reader and writer in UTF-8, behaving as the Windows service does
// for what the driver stores: "[SECTION]" headers, "key=value" lines, names
// compared without regard to letter case, blanks around names and values
// ignored, lines starting with ";" kept as they are.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/TextUtf.h"
#include "platform/IniFile.h"
#include "platform/TextCompare.h"
#include "platform/UniqueResource.h"
#include "platform/posix/FileTrust_posix.h"

namespace velko {
namespace {

std::wstring Trim(std::wstring_view text) {
  auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::wstring(text);
}

// The file's lines without their line ends; false when it cannot be read.
// A file that is not the till's (a link, another account's, one others may
// change) is not read.
bool LoadLines(const std::string& path, std::vector<std::wstring>& lines) {
  const unique_fd in(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in || UntrustedOpenFile(in.get(), path)) return false;
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  const std::wstring text = Utf8ToWide(content);
  // A byte-order mark (as Windows editors write it) is no part of the first line.
  size_t start = !text.empty() && text.front() == L'\uFEFF' ? 1 : 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return true;
}

// A section header's name, or false when the line is no header.
bool SectionName(const std::wstring& line, std::wstring& name) {
  const std::wstring trimmed = Trim(line);
  if (trimmed.size() < 2 || trimmed.front() != L'[') return false;
  const size_t close = trimmed.find(L']');
  if (close == std::wstring::npos) return false;
  name = Trim(std::wstring_view(trimmed).substr(1, close - 1));
  return true;
}

// A "key=value" line's key and value, or false for anything else.
bool KeyLine(const std::wstring& line, std::wstring& key, std::wstring& value) {
  const std::wstring trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == L';') return false;
  const size_t eq = trimmed.find(L'=');
  if (eq == std::wstring::npos) return false;
  key = Trim(std::wstring_view(trimmed).substr(0, eq));
  value = Trim(std::wstring_view(trimmed).substr(eq + 1));
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::wstring ReadIniString(const std::wstring& file, const std::wstring& section,
                           const std::wstring& key, const std::wstring& fallback) {
  std::vector<std::wstring> lines;
  if (!LoadLines(WideToUtf8(file), lines)) return fallback;
  bool inside = false;
  for (const std::wstring& line : lines) {
    std::wstring name, k, v;
    if (SectionName(line, name)) {
      inside = SameTextIgnoreCase(name, section);
    } else if (inside && KeyLine(line, k, v) && SameTextIgnoreCase(k, key)) {
      if (v.size() > kIniValueMaxLength) v.resize(kIniValueMaxLength);
      return v;
    }
  }
  return fallback;
}

bool WriteIniString(const std::wstring& file, const std::wstring& section,
                    const std::wstring& key, const std::wstring& value) {
  const std::string path = WideToUtf8(file);
  std::vector<std::wstring> lines;
  struct stat st {};
  const bool existed = ::lstat(path.c_str(), &st) == 0;
  // LoadLines refuses a file that is not the till's: it is not overwritten.
  if (existed && !LoadLines(path, lines)) return false;

  // Find the section, the key in it, and the last non-blank line of the section.
  std::ptrdiff_t section_line = -1, key_line = -1, last_line = -1;
  bool inside = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::wstring name, k, v;
    if (SectionName(lines[i], name)) {
      if (inside) break;
      inside = SameTextIgnoreCase(name, section);
      if (inside) section_line = last_line = static_cast<std::ptrdiff_t>(i);
    } else if (inside) {
      if (!Trim(lines[i]).empty()) last_line = static_cast<std::ptrdiff_t>(i);
      if (KeyLine(lines[i], k, v) && SameTextIgnoreCase(k, key)) {
        key_line = static_cast<std::ptrdiff_t>(i);
        break;
      }
    }
  }
  const std::wstring entry = key + L"=" + value;
  if (key_line >= 0) {
    lines[static_cast<size_t>(key_line)] = entry;
  } else if (section_line >= 0) {
    lines.insert(lines.begin() + last_line + 1, entry);
  } else {
    lines.push_back(L"[" + section + L"]");
    lines.push_back(entry);
  }

  std::string bytes;
  for (const std::wstring& line : lines) bytes += WideToUtf8(line) + "\r\n";

  // Write beside the file and rename over it: readers see the old file or the
  // new one, never a part.
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  // The folder may be shared with every user: a stale or planted name is
  // never followed or reused.
  unique_fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out) return false;
  bool ok = WriteAll(out.get(), bytes);
  if (ok && existed) ok = ::fchmod(out.get(), st.st_mode & 07777) == 0;
  if (ok) ok = ::fsync(out.get()) == 0;
  ok = (::close(out.release()) == 0) && ok;  // a failed close may be a failed write
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool ProtectIniFile(const std::wstring& file) {
  const std::string path = WideToUtf8(file);
  unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd && errno == EEXIST) fd.reset(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return false;
  // Another account's file, a second name of some other file, or one that
  // others may change is not this till's settings file.
  return !UntrustedOpenFile(fd.get(), path) && ::fchmod(fd.get(), 0644) == 0;
}

}  // namespace velko
