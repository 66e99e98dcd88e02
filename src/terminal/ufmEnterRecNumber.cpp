#include "terminal/ufmEnterRecNumber.h"

#include "platform/Services.h"

namespace velko {

bool TfrmEnterRecNumber::ShowModal() {
  auto answer = Services().Prompt->AskReceiptNumber();
  if (!answer) return false;
  // The edit takes digits only; a number pasted by other means is cut to them.
  FRecNumber.clear();
  for (wchar_t c : *answer)
    if (c >= L'0' && c <= L'9') FRecNumber.push_back(c);
  return true;
}

}  // namespace velko
