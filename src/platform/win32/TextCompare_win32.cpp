#include <windows.h>

#include "platform/TextCompare.h"

namespace velko {

bool SameTextIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.empty() || b.empty()) return a.empty() && b.empty();
  return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

}  // namespace velko
