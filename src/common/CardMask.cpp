#include "common/CardMask.h"

namespace velko {

std::wstring MaskAllButLastFour(std::wstring_view number) {
  if (number.size() <= 4) return L"";
  std::wstring out(number.size() - 4, L'*');
  out.append(number.substr(number.size() - 4));
  return out;
}

std::wstring MaskCardNumbersInText(std::wstring_view text) {
  constexpr size_t kShortestCard = 13, kLongestCard = 19;
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] < L'0' || text[i] > L'9') {
      out.push_back(text[i++]);
      continue;
    }
    size_t end = i;
    while (end < text.size() && text[end] >= L'0' && text[end] <= L'9') ++end;
    const std::wstring_view run = text.substr(i, end - i);
    if (run.size() >= kShortestCard && run.size() <= kLongestCard)
      out.append(MaskAllButLastFour(run));
    else
      out.append(run);
    i = end;
  }
  return out;
}

}  // namespace velko
