#include <cstdio>
#include <iostream>
#include <string>

#include "common/TextUtf.h"
#include "platform/ReceiptPrompt.h"

namespace velko {
namespace {

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
      const std::wstring text = Utf8ToWide(line);
      if (ReceiptNumberTextIsValid(text)) return text;
      std::fprintf(stderr, "%s.\n", WideToUtf8(kReceiptNumberHint).c_str());
    }
  }
};

}  // namespace

ReceiptPrompt& PlatformReceiptPrompt() {
  static TerminalReceiptPrompt prompt;
  return prompt;
}

}  // namespace velko
