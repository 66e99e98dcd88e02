// Locale-aware case-insensitive equality of names (methods, settings).
//
// Windows: the platform's comparison under the user's default locale with case
// ignored. POSIX: a case fold of our own that treats Latin and Cyrillic letters
// (Ё and ё included) alike; other characters compare as they are. Never
// touches the process's locale. Thread-safe.
#pragma once

#include <string_view>

namespace velko {

bool SameTextIgnoreCase(std::wstring_view a, std::wstring_view b);

// The POSIX fold, also used by tests on every platform.
wchar_t FoldCaseLatinCyrillic(wchar_t c);

}  // namespace velko
