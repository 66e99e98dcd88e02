// TfrmEnterRecNumber: asks the cashier for the receipt number of the
// transaction to cancel or complete, through the platform's prompt (a modal
// dialog on Windows, the terminal elsewhere). Host's thread only.
#pragma once

#include <string>

namespace velko {

class TfrmEnterRecNumber {
 public:
  // True when the cashier confirmed; RecNumber then holds what was typed:
  // one to ten digits, at most 4294967295 (an empty OK is asked again).
  bool ShowModal();
  const std::wstring& RecNumber() const { return FRecNumber; }

 private:
  std::wstring FRecNumber;
};

}  // namespace velko
