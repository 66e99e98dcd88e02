// Conversions between the driver's wide texts and UTF-8.
//
// Texts inside the driver are std::wstring: UTF-16 on Windows (so a BSTR maps
// directly) and UTF-32 elsewhere. UTF-8 is what the debug log, the settings
// file on POSIX and the velko command's JSON use. Invalid input never throws:
// a malformed sequence becomes U+FFFD. Thread-safe (no state).
#pragma once

#include <string>
#include <string_view>

namespace velko {

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// The length of the longest prefix of `bytes` that does not end inside a
// UTF-8 sequence: what a writer that converts in pieces may convert now, the
// rest waiting for the bytes that complete it. Malformed bytes count as
// complete (the conversion replaces them).
size_t Utf8CompletePrefix(std::string_view bytes);

// ASCII-only helpers for literals and numbers.
std::wstring AsciiToWide(std::string_view text);

}  // namespace velko
