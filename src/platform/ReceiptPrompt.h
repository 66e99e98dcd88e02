// The cashier's prompt for a receipt number, shown when a cancellation or a
// completion arrives without one. Modal: the operation waits for the answer.
//
// Windows: a real dialog window ("Введите номер квитанции:") with a digits-only
// edit, OK as the default button and Cancel as the cancel button, on the
// calling thread. POSIX: a prompt on the terminal that accepts digits, an empty
// line or the end of input meaning Cancel. Tests install their own through
// Services(). Call on the host's thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velko {

class ReceiptPrompt {
 public:
  virtual ~ReceiptPrompt() = default;
  // The typed receipt number (possibly empty) on OK; nullopt on Cancel.
  virtual std::optional<std::wstring> AskReceiptNumber() = 0;
};

ReceiptPrompt& PlatformReceiptPrompt();

// A prompt that answers from a script, for tests: each call takes the next
// answer (nullopt for Cancel); an exhausted script answers Cancel.
class ScriptedReceiptPrompt : public ReceiptPrompt {
 public:
  std::optional<std::wstring> AskReceiptNumber() override {
    ++asked;
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  std::vector<std::optional<std::wstring>> answers;
  int asked = 0;
};

}  // namespace velko
