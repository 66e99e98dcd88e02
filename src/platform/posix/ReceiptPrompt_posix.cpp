#include <cstdio>
#include <iostream>
#include <string>

#include "common/TextUtf.h"
#include "platform/ReceiptPrompt.h"

namespace velko {
namespace {

bool AllDigits(const std::string& text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Asks on the terminal; the prompt goes to standard error so that a program
// whose standard output is read by another (velko call) keeps that clean.
class TerminalReceiptPrompt : public ReceiptPrompt {
 public:
  std::optional<std::wstring> AskReceiptNumber() override {
    for (;;) {
      std::fprintf(stderr, "Введите номер квитанции: ");
      std::fflush(stderr);
      std::string line;
      if (!std::getline(std::cin, line)) return std::nullopt;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) return std::nullopt;
      if (AllDigits(line)) return Utf8ToWide(line);
      std::fprintf(stderr, "Номер квитанции состоит только из цифр.\n");
    }
  }
};

}  // namespace

ReceiptPrompt& PlatformReceiptPrompt() {
  static TerminalReceiptPrompt prompt;
  return prompt;
}

}  // namespace velko
