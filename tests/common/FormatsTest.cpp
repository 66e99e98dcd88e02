#include <gtest/gtest.h>

#include <clocale>

#include "common/uCommonUtils.h"

namespace velko {
namespace {

TEST(Formats, FloatToTextUsesGeneralFormatWithDecimalComma) {
  const std::pair<double, const wchar_t*> cases[] = {
      {2.5, L"2,5"},           {1234567.891, L"1234567,891"}, {100.0, L"100"},
      {-0.25, L"-0,25"},       {0.0, L"0"},                   {1e15, L"1E15"},
      {0.00001, L"1E-5"},      {123456789012345.0, L"123456789012345"},
      {0.1 + 0.2, L"0,3"},  // 15 significant digits hide the binary noise
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(FloatToText(value), text) << value;
}

TEST(Formats, TextToFloatHonoursTheSeparatorItIsGiven) {
  EXPECT_EQ(TextToFloat(L"1,5", L','), 1.5);
  EXPECT_EQ(TextToFloat(L" 180,5 ", L','), 180.5);
  EXPECT_FALSE(TextToFloat(L"1.5", L','));
  EXPECT_EQ(TextToFloat(L"1.5", L'.'), 1.5);
  EXPECT_FALSE(TextToFloat(L"", L','));
  EXPECT_FALSE(TextToFloat(L"1,5x", L','));
  EXPECT_FALSE(TextToFloat(L"1,2,3", L','));
}

TEST(Formats, CurrencyTextIsExact) {
  const std::pair<const wchar_t*, int64_t> parses[] = {
      {L"100", 1000000},        {L"10,005", 100050},     {L"10.015", 100150},
      {L"0,123456", 1235},      {L"0,12345", 1234},      {L"0,12355", 1236},  // ties to even
      {L"0,123451", 1235},      {L"-1,5", -15000},       {L" 7 ", 70000},
      {L"922337203685477,5807", INT64_MAX},
  };
  for (const auto& [text, units] : parses) EXPECT_EQ(TextToCurrency(text), units) << text;
  for (const wchar_t* bad : {L"", L"abc", L"1,2,3", L"922337203685477,5808", L"1e5", L","})
    EXPECT_FALSE(TextToCurrency(bad)) << bad;
  EXPECT_EQ(CurrencyToText(1235), L"0,1235");
  EXPECT_EQ(CurrencyToText(1000000), L"100");
  EXPECT_EQ(CurrencyToText(-15000), L"-1,5");
  EXPECT_EQ(CurrencyToText(INT64_MIN), L"-922337203685477,5808");
}

TEST(Formats, DoubleToCurrencyRoundsHalfToEven) {
  EXPECT_EQ(DoubleToCurrency(0.123456), 1235);
  EXPECT_EQ(DoubleToCurrency(100.0), 1000000);
  EXPECT_EQ(DoubleToCurrency(-2.5), -25000);
  EXPECT_EQ(DoubleToCurrency(0.00025), 2);  // 2.5 ten-thousandths: even
  EXPECT_EQ(DoubleToCurrency(0.00035), 4);  // 3.5 ten-thousandths: even
  EXPECT_FALSE(DoubleToCurrency(1e300));
  EXPECT_FALSE(DoubleToCurrency(std::numeric_limits<double>::quiet_NaN()));
}

TEST(Formats, DatesRoundTripInTheProcessFormat) {
  const auto d = EncodeDateTime({2026, 12, 9, 14, 5, 30, 0});
  ASSERT_TRUE(d);
  EXPECT_EQ(DateTimeToText(*d), L"09.12.2026 14:05:30");
  EXPECT_EQ(TextToDateTime(L"09.12.2026 14:05:30"), d);
  EXPECT_EQ(DateTimeToText(*EncodeDateTime({2026, 1, 2, 0, 0, 0, 0})), L"02.01.2026");
  EXPECT_EQ(DateTimeToText(0.0), L"30.12.1899");
  EXPECT_EQ(DateTimeToText(2.25), L"01.01.1900 06:00:00");
  EXPECT_EQ(DateTimeToText(-1.25), L"29.12.1899 06:00:00");  // OLE dates before the epoch
  EXPECT_EQ(TextToDateTime(L"01.01.1900"), 2.0);
  EXPECT_EQ(TextToDateTime(L"12:00"), 0.5);
  for (const wchar_t* bad : {L"", L"31.02.2026", L"2026-12-09", L"09.12.2026 25:00", L"abc"})
    EXPECT_FALSE(TextToDateTime(bad)) << bad;
}

TEST(Formats, NeverDependOnTheCLocale) {
  // The host may switch the C locale; the module's own formats must not move.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_NUMERIC, "German") == nullptr)
    GTEST_SKIP() << "no second locale installed on this machine";
  EXPECT_EQ(FloatToText(2.5), L"2,5");
  EXPECT_EQ(TextToFloat(L"2.5", L'.'), 2.5);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(Formats, TextToInt64) {
  EXPECT_EQ(TextToInt64(L" 16500 "), 16500);
  EXPECT_EQ(TextToInt64(L"-7"), -7);
  EXPECT_FALSE(TextToInt64(L"1,5"));
  EXPECT_FALSE(TextToInt64(L"99999999999999999999"));
}

}  // namespace
}  // namespace velko
