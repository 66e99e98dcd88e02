#include "common/CardMask.h"

namespace velko {

std::wstring MaskCardNumber(std::wstring_view number) {
  if (number.size() <= 4) return L"";
  std::wstring out(number.size() - 4, L'*');
  out.append(number.substr(number.size() - 4));
  return out;
}

std::wstring ExtractCardBIN(std::wstring_view number) {
  constexpr size_t kBinLength = 6;
  return number.size() >= kBinLength ? std::wstring(number.substr(0, kBinLength)) : L"";
}

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

}  // namespace

std::wstring MaskCardNumbersInText(std::wstring_view text) {
  constexpr size_t kShortestCard = 13, kKeptFirst = 6, kKeptLast = 4;
  std::wstring out(text);
  size_t i = 0;
  while (i < text.size()) {
    if (!IsDigit(text[i])) {
      ++i;
      continue;
    }
    // A chain: runs of digits joined by single blanks or dashes, as a card
    // number is typed ("4111 1111 1111 1111", "4111-111111-11111").
    size_t end = i, digits = 0;
    for (;;) {
      while (end < text.size() && IsDigit(text[end])) ++end, ++digits;
      if (end + 1 < text.size() && (text[end] == L' ' || text[end] == L'-') && IsDigit(text[end + 1]))
        ++end;
      else
        break;
    }
    if (digits >= kShortestCard) {
      size_t seen = 0;
      for (size_t k = i; k < end; ++k) {
        if (!IsDigit(text[k])) continue;
        if (seen >= kKeptFirst && seen < digits - kKeptLast) out[k] = L'*';
        ++seen;
      }
    }
    i = end;
  }
  return out;
}

}  // namespace velko
