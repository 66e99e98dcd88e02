#include "ConsoleOutput.h"

#include <iostream>
#include <optional>

#include "common/TextUtf.h"

namespace velko::tool {

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

ConsoleBuffer::int_type ConsoleBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  pending_.push_back(ch);
  if (ch == '\n') Flush();
  return c;
}

std::streamsize ConsoleBuffer::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<size_t>(count));
  if (pending_.find('\n') != std::string::npos) Flush();
  return count;
}

int ConsoleBuffer::sync() {
  Flush();
  return 0;
}

void ConsoleBuffer::Flush() {
  const size_t complete = Utf8CompletePrefix(pending_);
  if (complete == 0) return;
  const std::wstring wide = Utf8ToWide(std::string_view(pending_).substr(0, complete));
  pending_.erase(0, complete);
  const wchar_t* next = wide.data();
  size_t left = wide.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(left < 8192 ? left : 8192);
    if (!::WriteConsoleW(console_, next, piece, &written, nullptr) || written == 0) return;  // the console went
    next += written;
    left -= written;
  }
}

namespace {

// Installs a console buffer into `stream` while the process runs; the original
// buffer comes back, after the last text is written, when the process ends.
class ConsoleRedirect {
 public:
  ConsoleRedirect(std::ostream& stream, DWORD which) : stream_(stream) {
    const HANDLE handle = ::GetStdHandle(which);
    if (!IsConsole(handle)) return;
    buffer_.emplace(handle);
    stream_.flush();
    original_ = stream_.rdbuf(&*buffer_);
  }
  ~ConsoleRedirect() {
    if (!buffer_) return;
    stream_.flush();
    stream_.rdbuf(original_);
  }
  ConsoleRedirect(const ConsoleRedirect&) = delete;
  ConsoleRedirect& operator=(const ConsoleRedirect&) = delete;

 private:
  std::ostream& stream_;
  std::optional<ConsoleBuffer> buffer_;
  std::streambuf* original_ = nullptr;
};

}  // namespace

void UseConsoleWideOutput() {
  static ConsoleRedirect out(std::cout, STD_OUTPUT_HANDLE);
  static ConsoleRedirect err(std::cerr, STD_ERROR_HANDLE);
}

}  // namespace velko::tool
