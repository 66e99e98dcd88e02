// The cashier's prompt for a receipt number, shown when a cancellation or a
// completion arrives without one. Modal: the operation waits for the answer.
//
// Windows: a real dialog window ("Введите номер квитанции:") with a digits-only
// edit, OK as the default button and Cancel as the cancel button, on the
// calling thread. POSIX: a prompt on the terminal, an empty line or the end of
// input meaning Cancel. Both ask again for a text that is not a receipt number
// (ReceiptNumberTextIsValid), so that what the cashier sees is what is sent.
// Tests install their own through Services(). Call on the host's thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velko {

// The largest receipt number: the numerator's counter is 32 bits wide, and
// the engine refuses a larger number rather than send it for another receipt.
inline constexpr unsigned long long kMaxTypedReceiptNumber = 4294967295;

// Up to ten digits and at most kMaxTypedReceiptNumber. Nothing else: no
// signs, blanks or separators, and not the empty text (an OK on an empty field
// would cancel no receipt at all).
inline bool ReceiptNumberTextIsValid(const std::wstring& text) {
  constexpr size_t kMaxDigits = 10;
  if (text.empty() || text.size() > kMaxDigits) return false;
  unsigned long long value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<unsigned long long>(c - L'0');
  }
  return value <= kMaxTypedReceiptNumber;
}

// What the prompts say when they ask again.
inline constexpr const wchar_t* kReceiptNumberHint =
    L"Номер квитанции: только цифры, не более 10 цифр, не больше 4294967295";

// What the dialog says when OK is pressed on an empty field.
inline constexpr const wchar_t* kReceiptNumberMissing = L"Введите номер квитанции или нажмите «Отмена»";

class ReceiptPrompt {
 public:
  virtual ~ReceiptPrompt() = default;
  // The typed receipt number on OK; nullopt on Cancel, and when the question
  // could not be put at all (see NotAskedReason).
  virtual std::optional<std::wstring> AskReceiptNumber() = 0;
  // Why the last AskReceiptNumber answered nullopt without asking (no window
  // could be shown); empty when the cashier cancelled.
  virtual std::wstring NotAskedReason() const { return {}; }
  // False where nobody can be asked (a host that offers an add-in no text
  // input): the operation then ends as cancelled, its description saying
  // that the receipt number must be given with the call.
  virtual bool CanAsk() const { return true; }
};

// What a prompt that cannot ask answers: always Cancel.
class UnavailableReceiptPrompt : public ReceiptPrompt {
 public:
  std::optional<std::wstring> AskReceiptNumber() override { return std::nullopt; }
  bool CanAsk() const override { return false; }
};

// The description of an operation cancelled because no receipt number was
// given and none could be asked for.
inline constexpr const wchar_t* kReceiptNumberRequired =
    L"Не указан номер квитанции: на этой платформе драйвер не может запросить его у кассира, "
    L"передайте номер квитанции операции в параметре метода";

ReceiptPrompt& PlatformReceiptPrompt();

// The description of an operation whose receipt-number dialog could not be
// shown, followed by what stood in the way.
inline constexpr const wchar_t* kReceiptNumberNotAsked =
    L"Окно ввода номера квитанции не удалось показать, передайте номер квитанции операции в параметре метода: ";

// A prompt that answers from a script, for tests: each call takes the next
// answer (nullopt for Cancel); an exhausted script answers Cancel. With
// not_asked set, every nullopt is a question that could not be put.
class ScriptedReceiptPrompt : public ReceiptPrompt {
 public:
  std::wstring NotAskedReason() const override { return not_asked; }
  std::optional<std::wstring> AskReceiptNumber() override {
    ++asked;
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  std::vector<std::optional<std::wstring>> answers;
  std::wstring not_asked;
  int asked = 0;
};

}  // namespace velko
