// velko's standard output and error on Windows. Everything velko prints is
// UTF-8; a console would read those bytes in its own code page and show the
// Russian texts garbled, so where a stream is a console it is written through
// the console's wide-character output instead. Pipes and files get the UTF-8
// bytes unchanged. Set up once at start, on the main thread.
#pragma once

#include <windows.h>

#include <streambuf>
#include <string>

namespace velko::tool {

// True when `handle` is a console's screen buffer.
bool IsConsole(HANDLE handle);

// A stream buffer that writes UTF-8 text to a console as UTF-16. A character
// split across two writes waits for its remaining bytes; the text goes out at
// each line end, at flush, and when the buffer is destroyed.
class ConsoleBuffer final : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}
  ~ConsoleBuffer() override { Flush(); }
  ConsoleBuffer(const ConsoleBuffer&) = delete;
  ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  void Flush();
  HANDLE console_;
  std::string pending_;
};

// Points std::cout and std::cerr at their console's wide output when they are
// consoles, for the rest of the process.
void UseConsoleWideOutput();

}  // namespace velko::tool
