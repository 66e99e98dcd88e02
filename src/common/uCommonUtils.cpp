#include "common/uCommonUtils.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace velko {
namespace {

constexpr TFormatSettings kFormats = {L',', L'.', L"dd.MM.yyyy", L':', L"hh:mm", L"hh:mm:ss"};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view TrimBlanks(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Narrows a text made only of ASCII characters; false if any other appears.
bool NarrowAscii(std::wstring_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (static_cast<uint32_t>(c) > 0x7F) return false;
    out.push_back(static_cast<char>(c));
  }
  return true;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 to the given date (proleptic Gregorian).
int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;  // days since 1970-01-01
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

const int64_t kEpoch1899 = DaysFromCivil(1899, 12, 30);

// Reads 1..max_digits decimal digits at pos; returns -1 when none.
int ReadNumber(std::wstring_view text, size_t& pos, int max_digits) {
  int value = 0, count = 0;
  while (pos < text.size() && count < max_digits && text[pos] >= L'0' && text[pos] <= L'9') {
    value = value * 10 + (text[pos] - L'0');
    ++pos;
    ++count;
  }
  return count == 0 ? -1 : value;
}

std::optional<double> ParseTime(std::wstring_view text, size_t& pos) {
  const int h = ReadNumber(text, pos, 2);
  if (h < 0 || pos >= text.size() || text[pos] != kFormats.TimeSeparator) return std::nullopt;
  ++pos;
  const int mi = ReadNumber(text, pos, 2);
  if (mi < 0) return std::nullopt;
  int s = 0;
  if (pos < text.size() && text[pos] == kFormats.TimeSeparator) {
    ++pos;
    s = ReadNumber(text, pos, 2);
    if (s < 0) return std::nullopt;
  }
  if (h > 23 || mi > 59 || s > 59) return std::nullopt;
  return (h * 3600.0 + mi * 60.0 + s) / 86400.0;
}

}  // namespace

const TFormatSettings& ProcessFormats() { return kFormats; }

std::wstring FloatToText(double value) {
  if (std::isnan(value)) return L"NAN";
  if (std::isinf(value)) return value < 0 ? L"-INF" : L"INF";
  char buf[64];
  // Locale-independent, unlike printf: the host may have changed the C locale.
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string text(buf, res.ptr);
  std::wstring out;
  size_t e = text.find('e');
  std::string mantissa = e == std::string::npos ? text : text.substr(0, e);
  for (char c : mantissa) out.push_back(c == '.' ? kFormats.DecimalSeparator : static_cast<wchar_t>(c));
  if (e != std::string::npos) {
    out.push_back(L'E');
    size_t i = e + 1;
    if (text[i] == '-') out.push_back(L'-');
    if (text[i] == '+' || text[i] == '-') ++i;
    while (i + 1 < text.size() && text[i] == '0') ++i;
    for (; i < text.size(); ++i) out.push_back(static_cast<wchar_t>(text[i]));
  }
  return out;
}

std::optional<double> TextToFloat(std::wstring_view text, wchar_t decimal_separator) {
  text = TrimBlanks(text);
  std::string narrow;
  if (text.empty() || !NarrowAscii(text, narrow)) return std::nullopt;
  for (char& c : narrow) {
    if (c == '.' && decimal_separator != L'.') return std::nullopt;
    if (c == static_cast<char>(decimal_separator)) c = '.';
  }
  const char* first = narrow.data();
  if (*first == '+') ++first;
  double value = 0;
  auto res = std::from_chars(first, narrow.data() + narrow.size(), value);
  if (res.ec != std::errc() || res.ptr != narrow.data() + narrow.size()) return std::nullopt;
  return value;
}

std::wstring CurrencyToText(int64_t units) {
  const bool negative = units < 0;
  // Work on the magnitude as unsigned so that the lowest value survives.
  uint64_t mag = negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
  std::wstring out = negative ? L"-" : L"";
  out += std::to_wstring(mag / kCurrencyScale);
  uint64_t frac = mag % kCurrencyScale;
  if (frac != 0) {
    wchar_t digits[5];
    for (int i = 3; i >= 0; --i) {
      digits[i] = static_cast<wchar_t>(L'0' + frac % 10);
      frac /= 10;
    }
    int len = 4;
    while (len > 0 && digits[len - 1] == L'0') --len;
    out.push_back(kFormats.DecimalSeparator);
    out.append(digits, static_cast<size_t>(len));
  }
  return out;
}

std::optional<int64_t> TextToCurrency(std::wstring_view text) {
  text = TrimBlanks(text);
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == L'-' || text.front() == L'+') {
    negative = text.front() == L'-';
    text.remove_prefix(1);
  }
  // Accumulate as unsigned 128-bit-safe pieces: integer part, then decimals.
  uint64_t whole = 0;
  bool any_digit = false, seen_sep = false;
  int decimals = 0;
  int round_digit = -1;     // the fifth decimal, for rounding
  bool sticky = false;      // any non-zero digit after the fifth
  for (wchar_t c : text) {
    if (c == L',' || c == L'.') {
      if (seen_sep) return std::nullopt;
      seen_sep = true;
      continue;
    }
    if (c < L'0' || c > L'9') return std::nullopt;
    any_digit = true;
    const int d = c - L'0';
    if (!seen_sep || decimals < 4) {
      if (whole > (std::numeric_limits<uint64_t>::max() - 9) / 10) return std::nullopt;
      whole = whole * 10 + static_cast<uint64_t>(d);
      if (seen_sep) ++decimals;
    } else if (round_digit < 0) {
      round_digit = d;
    } else if (d != 0) {
      sticky = true;
    }
  }
  if (!any_digit) return std::nullopt;
  for (; decimals < 4; ++decimals) {
    if (whole > std::numeric_limits<uint64_t>::max() / 10) return std::nullopt;
    whole *= 10;
  }
  if (round_digit > 5 || (round_digit == 5 && (sticky || (whole & 1) != 0))) ++whole;
  const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                  : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (whole > limit) return std::nullopt;
  return negative ? static_cast<int64_t>(0 - whole) : static_cast<int64_t>(whole);
}

std::optional<int64_t> DoubleToCurrency(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double scaled = value * static_cast<double>(kCurrencyScale);
  // nearbyint follows the default rounding mode: to nearest, ties to even.
  const double rounded = std::nearbyint(scaled);
  if (rounded >= 9223372036854775808.0 || rounded < -9223372036854775808.0) return std::nullopt;
  return static_cast<int64_t>(rounded);
}

double CurrencyToDouble(int64_t units) {
  return static_cast<double>(units) / static_cast<double>(kCurrencyScale);
}

std::optional<double> EncodeDateTime(const TCalendarTime& p) {
  if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12 || p.Day < 1 ||
      p.Day > DaysInMonth(p.Year, p.Month) || p.Hour < 0 || p.Hour > 23 || p.Minute < 0 ||
      p.Minute > 59 || p.Second < 0 || p.Second > 59 || p.Millisecond < 0 || p.Millisecond > 999)
    return std::nullopt;
  const double days = static_cast<double>(DaysFromCivil(p.Year, p.Month, p.Day) - kEpoch1899);
  const double time =
      (p.Hour * 3600000.0 + p.Minute * 60000.0 + p.Second * 1000.0 + p.Millisecond) / 86400000.0;
  // Before the epoch the fraction still counts forward from midnight (OLE dates).
  return days < 0 ? days - time : days + time;
}

TCalendarTime DecodeDateTime(double value) {
  TCalendarTime out{};
  if (!std::isfinite(value) || std::fabs(value) > 3e6) value = 0;
  double day = std::trunc(value);
  double frac = std::fabs(value - day);
  int64_t ms = static_cast<int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) {
    ms -= 86400000;
    day += value < 0 ? -1 : 1;
  }
  CivilFromDays(static_cast<int64_t>(day) + kEpoch1899, out.Year, out.Month, out.Day);
  out.Hour = static_cast<int>(ms / 3600000);
  out.Minute = static_cast<int>(ms / 60000 % 60);
  out.Second = static_cast<int>(ms / 1000 % 60);
  out.Millisecond = static_cast<int>(ms % 1000);
  return out;
}

std::wstring DateTimeToText(double value) {
  const TCalendarTime t = DecodeDateTime(value);
  wchar_t buf[48];
  std::swprintf(buf, 48, L"%02d.%02d.%04d", t.Day, t.Month, t.Year);
  std::wstring out = buf;
  if (t.Hour != 0 || t.Minute != 0 || t.Second != 0 || t.Millisecond != 0) {
    std::swprintf(buf, 48, L" %02d:%02d:%02d", t.Hour, t.Minute, t.Second);
    out += buf;
  }
  return out;
}

std::optional<double> TextToDateTime(std::wstring_view text) {
  text = TrimBlanks(text);
  size_t pos = 0;
  // A time alone: "hh:mm[:ss]".
  {
    size_t p = 0;
    const int first = ReadNumber(text, p, 2);
    if (first >= 0 && p < text.size() && text[p] == kFormats.TimeSeparator) {
      auto t = ParseTime(text, pos);
      if (!t || pos != text.size()) return std::nullopt;
      return t;
    }
  }
  const int d = ReadNumber(text, pos, 2);
  if (d < 0 || pos >= text.size() || text[pos] != kFormats.DateSeparator) return std::nullopt;
  ++pos;
  const int m = ReadNumber(text, pos, 2);
  if (m < 0 || pos >= text.size() || text[pos] != kFormats.DateSeparator) return std::nullopt;
  ++pos;
  const size_t year_start = pos;
  int y = ReadNumber(text, pos, 4);
  if (y < 0) return std::nullopt;
  if (pos - year_start <= 2) y += y < 50 ? 2000 : 1900;  // two-digit years
  auto date = EncodeDateTime({y, m, d, 0, 0, 0, 0});
  if (!date) return std::nullopt;
  if (pos == text.size()) return date;
  if (!IsBlank(text[pos])) return std::nullopt;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  auto t = ParseTime(text, pos);
  if (!t || pos != text.size()) return std::nullopt;
  return *date < 0 ? *date - *t : *date + *t;
}

std::optional<int64_t> TextToInt64(std::wstring_view text) {
  text = TrimBlanks(text);
  std::string narrow;
  if (text.empty() || !NarrowAscii(text, narrow)) return std::nullopt;
  const char* first = narrow.data();
  if (*first == '+') ++first;
  int64_t value = 0;
  auto res = std::from_chars(first, narrow.data() + narrow.size(), value);
  if (res.ec != std::errc() || res.ptr != narrow.data() + narrow.size()) return std::nullopt;
  return value;
}

}  // namespace velko
