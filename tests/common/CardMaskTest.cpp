#include <gtest/gtest.h>

#include "common/CardMask.h"

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
  for (const auto& [in, out] : cases) EXPECT_EQ(MaskAllButLastFour(in), out);
}

TEST(CardMask, MasksOnlyDigitRunsOfCardLength) {
  EXPECT_EQ(MaskCardNumbersInText(L"[('4111111111111111'; 100)]"), L"[('************1111'; 100)]");
  EXPECT_EQ(MaskCardNumbersInText(L"a1234567890123b"), L"a*********0123b");          // 13 digits
  EXPECT_EQ(MaskCardNumbersInText(L"1234567890123456789"), L"***************6789");   // 19 digits
  EXPECT_EQ(MaskCardNumbersInText(L"123456789012"), L"123456789012");               // 12: kept
  EXPECT_EQ(MaskCardNumbersInText(L"12345678901234567890"), L"12345678901234567890"); // 20: kept
  EXPECT_EQ(MaskCardNumbersInText(L"4111111111111111=2512;5500000000000004"),
            L"************1111=2512;************0004");
  EXPECT_EQ(MaskCardNumbersInText(L"Сумма 100,50"), L"Сумма 100,50");
}

}  // namespace
}  // namespace velko
