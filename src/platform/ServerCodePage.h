// The single-byte code page of the terminal server's messages.
//
// Every character of a message value travels as one byte. Windows uses the
// machine's ANSI code page, as the terminal server on the same machine does,
// or the code page whose number VELKO_SERVER_CODEPAGE gives ("1251", "CP1251").
// POSIX has no such thing: Windows-1251 (what the Russian-language systems the
// driver serves use) unless the environment variable VELKO_SERVER_CODEPAGE
// names another single-byte code page that iconv knows; the emulator reads the
// same variable, so both ends agree.
//
// Conversions never fail: a character the code page cannot hold becomes "?",
// and a byte the code page leaves undefined (0x98 in Windows-1251) maps to the
// control character of the same number and back, so raw bytes survive a round
// trip. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace velko {

inline constexpr const char* kServerCodePageVariable = "VELKO_SERVER_CODEPAGE";

std::string WideToServerCodePage(std::wstring_view text);
std::wstring ServerCodePageToWide(std::string_view bytes);

// The code page in use, for messages and tests ("WINDOWS-1251", "CP1252").
std::string ServerCodePageName();

}  // namespace velko
