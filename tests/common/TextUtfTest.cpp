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

TEST(TextUtf, CompletePrefixStopsBeforeAnUnfinishedSequence) {
  const struct {
    std::string bytes;
    size_t complete;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"Н", 2},                       // a finished two-byte letter
      {"Н\xD0", 2},                   // the next letter's first byte only
      {"a\xE2\x82", 1},               // two bytes of three
      {"\xF0\x9F\x98", 0},            // three bytes of four
      {"\xF0\x9F\x98\x80", 4},        // the whole four
      {"a\x80\x80\x80\x80", 5},        // stray continuation bytes: left to the conversion
      {"a\xFF", 2},                    // not a lead byte at all
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8CompletePrefix(c.bytes), c.complete) << c.bytes.size();
}

}  // namespace
}  // namespace velko
