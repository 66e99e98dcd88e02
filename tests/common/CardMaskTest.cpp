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
      // Track 2 in free text: the expiry and what follows go with the number.
      {L";4276380012345678=25121010000000000123?", L";427638**********=****************0123?"},
      // Groups joined by up to three blanks or punctuation marks.
      {L"4276	3800	1234	5678", L"4276	38**	****	5678"},
      {L"4276.3800.1234.5678", L"4276.38**.****.5678"},
      {L"4276/3800/1234/5678", L"4276/38**/****/5678"},
      {L"4276_3800_1234_5678", L"4276_38**_****_5678"},
      {L"4276 3800 1234 5678", L"4276 38** **** 5678"},
      {L"4276 - 3800 - 1234 - 5678", L"4276 - 38** - **** - 5678"},
      {L"1234  5678  9012  3456", L"1234  56**  ****  3456"},
      {L"1234    5678    9012    3456", L"1234    5678    9012    3456"},  // four blanks part groups
      // Full-width and other Unicode decimal digits.
      {L"４２７６３８００１２３４５６７８",
       L"４２７６３８******５６７８"},
      {L"٤٢٧٦ ٣٨٠٠ ١٢٣٤ ٥٦٧٨",
       L"٤٢٧٦ ٣٨** **** ٥٦٧٨"},
      // What must stay readable: references, receipts, amounts, times.
      {L"123456789012", L"123456789012"},                                // 12: kept
      {L"2024-01-31 09:05:07 100 200", L"2024-01-31 09:05:07 100 200"},
      {L"2026.12.09 19:11:31.123\t> X", L"2026.12.09 19:11:31.123\t> X"},
      {L"[(''; 100; '0000000012'; '123456789012'; 'A1B2C3')]",
       L"[(''; 100; '0000000012'; '123456789012'; 'A1B2C3')]"},
      {L"[(100; 200; 300; 400; 500; 600)]", L"[(100; 200; 300; 400; 500; 600)]"},
      {L"Сумма 100,50", L"Сумма 100,50"},
      {L"411111******1111", L"411111******1111"},                        // already masked
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(MaskCardNumbersInText(in), out) << WideToUtf8(in);
}

// A value known to be card data keeps only the last four digits of its card
// number, whatever its form or length.
TEST(CardMask, MasksCardDataWholeButTheLastFourDigits) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"4276380012345678", L"************5678"},
      {L"427638001234", L"********1234"},                                  // 12 digits
      {L"4276 3800 1234 5678", L"***************5678"},
      {L";4276380012345678=25121010000000000123?", L"*************5678**********************"},
      {L"%B4276380012345678^IVANOV/IVAN^2512101000?", L"**************5678************************"},
      {L"４２７６３８００１２３４５６７８",
       L"************５６７８"},
      {L"************5678", L"************5678"},
      {L"5678", L"5678"},
      {L"ENC:9F1A2B3C", L"****9*1*2*3*"},
      {L"", L""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(MaskCardData(in), out) << WideToUtf8(in);
}

}  // namespace
}  // namespace velko
