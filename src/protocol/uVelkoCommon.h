// The terminal-server protocol's shared unit: result texts of the transaction
// engine's own codes (above 4500). The message list, the tags and the card
// helpers live here too.
#pragma once

#include <cstdint>
#include <string>

namespace velko {

// The terminal table's text for a code; nullptr when the code has no entry.
const wchar_t* TerminalTableText(int32_t Code);

// The engine's text for a result: its extended description when it has one,
// the general table below 4501, the terminal table from 4501 on.
std::wstring TerminalResultText(int32_t Code, const std::wstring& ExtDescription);

}  // namespace velko
