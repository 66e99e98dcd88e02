#include <gtest/gtest.h>

#include "common/TextUtf.h"

namespace velko {
namespace {

TEST(TextUtf, RoundTripsCyrillicAndAstralCharacters) {
  const std::wstring text = L"Оплата ёЁ € \U0001F600";
  const std::string utf8 = WideToUtf8(text);
  EXPECT_EQ(utf8, "Оплата ёЁ € \xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide(utf8), text);
}

TEST(TextUtf, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("a\xD0"), L"a\uFFFD");            // truncated sequence
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");    // overlong form
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80").substr(0, 1), L"\uFFFD");  // encoded surrogate
}

}  // namespace
}  // namespace velko
