// The driver's result codes: the one vocabulary every layer uses, the two
// text tables behind them and the rules that pick a code's text.
//
// A result code is a 32-bit signed integer; 0 is the only success. The codes
// the driver itself produces are named here; the general table (89 codes of
// the equipment standard, EquipmentErrorTable) and the terminal table (4501
// and up) give the texts. Constant data; every function is thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace velko {

namespace rc {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kNotEnabled = 70;          // the device was not opened
inline constexpr int32_t kTimeOut = 74;             // no answer within the answer time-out
inline constexpr int32_t kNotSupported = 1003;
inline constexpr int32_t kBadParameters = 1004;
inline constexpr int32_t kNoConnection = 1007;      // the server cannot be reached
inline constexpr int32_t kBusy = 1009;              // a host call arrived while another ran
inline constexpr int32_t kBadDeviceParameters = 1020;  // the host's equipment type is not this driver's
inline constexpr int32_t kDeclined = 4003;
inline constexpr int32_t kAlreadyExists = 4004;     // "B9": that receipt number exists
inline constexpr int32_t kUndetermined = 4005;      // "TT" that the journal did not settle
inline constexpr int32_t kNotFound = 4007;          // "B4": no such receipt
inline constexpr int32_t kNumeratorBusy = 4501;     // another till holds the numerator
inline constexpr int32_t kCancelledByCashier = 4502;
inline constexpr int32_t kNumeratorUnreadable = 4568;
}  // namespace rc

// The text that stands for a code nobody knows.
inline constexpr const wchar_t* kUnknownErrorText = L"Неизвестная ошибка";

// The general table's text for a code; nullptr when the code has no entry.
const wchar_t* EquipmentErrorTableText(int32_t Code);
// The terminal table's text (4501 and up); nullptr when the code has no entry.
const wchar_t* TerminalTableText(int32_t Code);

// The text the host receives for a code of the equipment standard: an
// explicit description wins for a failure, then the general table's text,
// then DefaultText, then "Неизвестная ошибка".
std::wstring EquipmentErrorText(int32_t Code, const std::wstring& Description,
                                const std::wstring& DefaultText);

// The transaction engine's text for a code: the extended description when
// there is one, else the general table below 4501 and the terminal table
// from 4501 on, else "Неизвестная ошибка".
std::wstring TerminalResultText(int32_t Code, const std::wstring& ExtDescription);

}  // namespace velko
