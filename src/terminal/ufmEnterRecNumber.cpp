#include "terminal/ufmEnterRecNumber.h"

#include "platform/ReceiptPrompt.h"
#include "platform/Services.h"

namespace velko {

bool TfrmEnterRecNumber::ShowModal() {
  // The platform's prompts ask again themselves; a prompt that answers
  // something else anyway is asked again here, never trimmed into another
  // receipt's number.
  for (;;) {
    auto answer = Services().Prompt->AskReceiptNumber();
    if (!answer) return false;
    if (ReceiptNumberTextIsValid(*answer)) {
      FRecNumber = *answer;
      return true;
    }
  }
}

}  // namespace velko
