#include <gtest/gtest.h>

#include "common/CardMask.h"
#include "common/TextUtf.h"

namespace velko {
namespace {

TEST(CardMask, MasksAllButTheLastFour) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"4111111111111111", L"************1111"},
      {L"12345", L"*2345"},
      {L"1234", L""},
      {L"", L""},
      {L"************1111", L"************1111"},  // already masked: unchanged
      {L"4111 1111", L"*****1111"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(MaskCardNumber(in), out);
}

TEST(CardMask, BinIsTheFirstSixOrNothing) {
  EXPECT_EQ(ExtractCardBIN(L"4276380012345678"), L"427638");
  EXPECT_EQ(ExtractCardBIN(L"123456"), L"123456");
  EXPECT_EQ(ExtractCardBIN(L"12345"), L"");
}

TEST(CardMask, MasksEveryFormOfACardNumberInText) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"[('4111111111111111'; 100)]", L"[('411111******1111'; 100)]"},
      {L"a1234567890123b", L"a123456***0123b"},                          // 13 digits
      {L"4111 1111 1111 1111", L"4111 11** **** 1111"},
      {L"4111-1111-1111-1111.", L"4111-11**-****-1111."},
      {L"3782 822463 10005", L"3782 82**** *0005"},                      // 4-6-5 groups
      {L"x 000123 4111111111111111 y", L"x 000123 ************1111 y"},  // inside a longer chain
      {L"000000010000411111111111111122", L"000000********************1122"},
      {L"4111111111111111=2512;5500000000000004", L"411111******1111=2512;550000******0004"},
      {L"123456789012", L"123456789012"},                                // 12: kept
      {L"2024-01-31 09:05:07 100 200", L"2024-01-31 09:05:07 100 200"},  // dates, amounts
      {L"1234  5678  9012  3456", L"1234  5678  9012  3456"},            // double blanks part runs
      {L"Сумма 100,50", L"Сумма 100,50"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(MaskCardNumbersInText(in), out) << WideToUtf8(in);
}

}  // namespace
}  // namespace velko
