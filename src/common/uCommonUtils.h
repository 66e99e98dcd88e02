// The module's process-wide text formats and the conversions built on them.
//
// The driver lives inside the host's process, so it never touches the C or
// C++ global locale: these formats are the module's own, fixed when the module
// is loaded (decimal comma, "dd.MM.yyyy", "hh:mm:ss"), and every conversion
// between numbers or dates and text in the driver goes through this unit.
// All functions are thread-safe (no mutable state).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velko {

struct TFormatSettings {
  wchar_t DecimalSeparator;
  wchar_t DateSeparator;
  const wchar_t* ShortDateFormat;
  wchar_t TimeSeparator;
  const wchar_t* ShortTimeFormat;
  const wchar_t* LongTimeFormat;
};

// The formats every conversion of this module uses.
const TFormatSettings& ProcessFormats();

// A number in general format: up to 15 significant digits, no thousands
// separators, no trailing zeros, the process-wide decimal separator, and an
// exponent ("1E15", "1E-5") only where plain digits would not do.
std::wstring FloatToText(double value);

// Parses a decimal number with the given separator (blanks around it allowed).
std::optional<double> TextToFloat(std::wstring_view text, wchar_t decimal_separator);

// Currency: a 64-bit count of ten-thousandths.
constexpr int64_t kCurrencyScale = 10000;

// Exact decimal text of a currency value, general format ("100", "0,1235").
std::wstring CurrencyToText(int64_t units);
// Exact parse with "," or "." as the decimal separator; digits past the fourth
// decimal round half to even. nullopt for what is not a number or overflows.
std::optional<int64_t> TextToCurrency(std::wstring_view text);
// Rounds half to even to four decimals; nullopt when out of range or not finite.
std::optional<int64_t> DoubleToCurrency(double value);
double CurrencyToDouble(int64_t units);

// Date-time: days since 30 December 1899, the fraction being the time of day.
struct TCalendarTime {
  int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
std::optional<double> EncodeDateTime(const TCalendarTime& parts);
TCalendarTime DecodeDateTime(double value);

// "dd.MM.yyyy hh:mm:ss"; the time is left out when it is exactly midnight.
std::wstring DateTimeToText(double value);
// Accepts "dd.MM.yyyy", "dd.MM.yyyy hh:mm[:ss]" and "hh:mm[:ss]".
std::optional<double> TextToDateTime(std::wstring_view text);

// Decimal integer with optional sign and surrounding blanks; nullopt on
// anything else or on overflow of the 64-bit range.
std::optional<int64_t> TextToInt64(std::wstring_view text);

}  // namespace velko
