#include "platform/TextCompare.h"

namespace velko {

wchar_t FoldCaseLatinCyrillic(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + (L'a' - L'A'));
  if (c >= 0x0410 && c <= 0x042F) return static_cast<wchar_t>(c + 0x20);  // А..Я -> а..я
  if (c >= 0x0400 && c <= 0x040F) return static_cast<wchar_t>(c + 0x50);  // Ѐ..Џ, Ё -> ё
  return c;
}

}  // namespace velko
