#include "platform/TextCompare.h"

namespace velko {

bool SameTextIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCaseLatinCyrillic(a[i]) != FoldCaseLatinCyrillic(b[i])) return false;
  return true;
}

}  // namespace velko
