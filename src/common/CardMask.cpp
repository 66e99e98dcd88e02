#include "common/CardMask.h"

#include <algorithm>
#include <iterator>

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

bool IsDecimalDigit(wchar_t c) {
  // The zero of every run of ten decimal digits (general category Nd) in the
  // basic multilingual plane, ascending.
  static constexpr wchar_t kZeros[] = {
      0x0030, 0x0660, 0x06F0, 0x07C0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0BE6, 0x0C66,
      0x0CE6, 0x0D66, 0x0DE6, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x1090, 0x17E0, 0x1810, 0x1946,
      0x19D0, 0x1A80, 0x1A90, 0x1B50, 0x1BB0, 0x1C40, 0x1C50, 0xA620, 0xA8D0, 0xA900, 0xA9D0,
      0xA9F0, 0xAA50, 0xABF0, 0xFF10};
  const auto* after = std::upper_bound(std::begin(kZeros), std::end(kZeros), c);
  return after != std::begin(kZeros) && c - *(after - 1) < 10;
}

std::wstring MaskCardData(std::wstring_view value) {
  constexpr size_t kKeptLast = 4;
  const size_t number_end = std::min(value.find_first_of(L"=^"), value.size());
  std::wstring out(value.size(), L'*');
  size_t kept = 0;
  for (size_t k = number_end; k-- > 0 && kept < kKeptLast;) {
    if (!IsDecimalDigit(value[k])) continue;
    out[k] = value[k];
    ++kept;
  }
  return out;
}

namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

// Punctuation a card number's groups may be written with. Not among them:
// quotes, ";", ":" and brackets, which separate values in the call log.
bool IsGroupPunctuation(wchar_t c) {
  static constexpr std::wstring_view kMarks =
      L"-./_,=+\\|~#^"
      L"\x00B7\x2010\x2011\x2012\x2013\x2014\x2015\x2212\x30FB"
      L"\xFF0C\xFF0D\xFF0E\xFF0F\xFF3F";
  return kMarks.find(c) != std::wstring_view::npos;
}

bool IsJoiner(wchar_t c) { return IsBlank(c) || IsGroupPunctuation(c); }

}  // namespace

std::wstring MaskCardNumbersInText(std::wstring_view text) {
  constexpr size_t kShortestCard = 13, kKeptFirst = 6, kKeptLast = 4, kLongestJoin = 3;
  std::wstring out(text);
  size_t i = 0;
  while (i < text.size()) {
    if (!IsDecimalDigit(text[i])) {
      ++i;
      continue;
    }
    // A chain: runs of digits joined by short runs of blanks or punctuation,
    // as a card number is typed ("4111 1111 1111 1111", "4111 - 1111 ...").
    size_t end = i, digits = 0;
    for (;;) {
      while (end < text.size() && IsDecimalDigit(text[end])) ++end, ++digits;
      size_t join = end;
      while (join < text.size() && join - end < kLongestJoin && IsJoiner(text[join])) ++join;
      if (join > end && join < text.size() && IsDecimalDigit(text[join]))
        end = join;
      else
        break;
    }
    if (digits >= kShortestCard) {
      size_t seen = 0;
      for (size_t k = i; k < end; ++k) {
        if (!IsDecimalDigit(text[k])) continue;
        if (seen >= kKeptFirst && seen < digits - kKeptLast) out[k] = L'*';
        ++seen;
      }
    }
    i = end;
  }
  return out;
}

}  // namespace velko
