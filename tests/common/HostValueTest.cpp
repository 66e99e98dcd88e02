#include <gtest/gtest.h>

#include <limits>

#include "common/HostValue.h"

namespace velko {
namespace {

TEST(HostValue, ConvertsToTextUnderTheProcessFormats) {
  const std::pair<HostValue, const wchar_t*> cases[] = {
      {HostValue(), L""},
      {HostValue::FromInt32(-42), L"-42"},
      {HostValue::FromDouble(2.5), L"2,5"},
      {HostValue::FromCurrency(1005000), L"100,5"},
      {HostValue::FromBool(true), L"True"},
      {HostValue::FromBool(false), L"False"},
      {HostValue::FromDate(2.5), L"01.01.1900 12:00:00"},
      {HostValue::FromString(L"текст"), L"текст"},
      {HostValue::FromInteger(vt::kUInt64, -1), L"18446744073709551615"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(value.ToText(), text) << value.Type();
  EXPECT_THROW(HostValue::Null().ToText(), HostValueError);
  EXPECT_THROW(HostValue::FromArray(nullptr).ToText(), HostValueError);
}

TEST(HostValue, ConvertsToBoolean) {
  EXPECT_FALSE(HostValue().ToBool());
  EXPECT_TRUE(HostValue::FromInt32(2).ToBool());
  EXPECT_FALSE(HostValue::FromDouble(0.0).ToBool());
  EXPECT_TRUE(HostValue::FromString(L"TRUE").ToBool());
  EXPECT_FALSE(HostValue::FromString(L"false").ToBool());
  EXPECT_TRUE(HostValue::FromString(L"1").ToBool());
  EXPECT_THROW(HostValue::FromString(L"да").ToBool(), HostValueError);
  EXPECT_THROW(HostValue::Null().ToBool(), HostValueError);
}

TEST(HostValue, ConvertsToInt32WithRangeChecks) {
  EXPECT_EQ(HostValue::FromString(L"16500").ToInt32(), 16500);
  EXPECT_EQ(HostValue::FromDouble(2.5).ToInt32(), 2);   // ties to even
  EXPECT_EQ(HostValue::FromDouble(3.5).ToInt32(), 4);
  EXPECT_EQ(HostValue::FromCurrency(25000).ToInt32(), 2);
  EXPECT_EQ(HostValue::FromCurrency(-35000).ToInt32(), -4);
  EXPECT_EQ(HostValue::FromBool(true).ToInt32(), -1);
  EXPECT_EQ(HostValue::FromString(L"7,6").ToInt32(), 8);
  EXPECT_THROW(HostValue::FromDouble(3e9).ToInt32(), HostValueError);
  EXPECT_THROW(HostValue::FromString(L"12abc").ToInt32(), HostValueError);
  EXPECT_THROW(HostValue::FromDouble(std::numeric_limits<double>::infinity()).ToInt32(),
               HostValueError);
}

TEST(HostValue, ConvertsToCurrencyExactly) {
  EXPECT_EQ(HostValue::FromDouble(0.123456).ToCurrency(), 1235);
  EXPECT_EQ(HostValue::FromInt32(100).ToCurrency(), 1000000);
  EXPECT_EQ(HostValue::FromString(L"10,005").ToCurrency(), 100050);
  EXPECT_EQ(HostValue::FromString(L"10.005").ToCurrency(), 100050);
  EXPECT_EQ(HostValue::FromCurrency(-5).ToCurrency(), -5);
  EXPECT_THROW(HostValue::FromString(L"сто").ToCurrency(), HostValueError);
  EXPECT_THROW(HostValue::FromDouble(1e300).ToCurrency(), HostValueError);
  EXPECT_THROW(HostValue::FromInteger(vt::kInt64, INT64_MAX).ToCurrency(), HostValueError);
}

TEST(HostValue, ConvertsToDoubleAndDate) {
  EXPECT_EQ(HostValue::FromString(L"1,5").ToDouble(), 1.5);
  EXPECT_EQ(HostValue::FromString(L"1.5").ToDouble(), 1.5);
  EXPECT_EQ(HostValue::FromCurrency(15000).ToDouble(), 1.5);
  EXPECT_EQ(HostValue::FromString(L"01.01.1900 12:00").ToDate(), 2.5);
  EXPECT_EQ(HostValue::FromDouble(3.0).ToDate(), 3.0);
  EXPECT_THROW(HostValue::FromString(L"вчера").ToDate(), HostValueError);
}

TEST(HostValue, ByReferenceValuesReadTheirTarget) {
  auto target = std::make_shared<HostValue>(HostValue::FromInt32(5));
  const HostValue ref = HostValue::ByRef(target);
  EXPECT_TRUE(ref.IsByRef());
  EXPECT_EQ(ref.ToInt32(), 5);
  *target = HostValue::FromString(L"x");
  EXPECT_EQ(ref.ToText(), L"x");
  EXPECT_TRUE(ref.IsString());
  EXPECT_EQ(HostValue::ByRef(nullptr).ToText(), L"");
}

TEST(HostArray, AddressesEveryRankWithDimensionOneFastest) {
  HostArray grid({{1, 2}, {-1, 3}});
  EXPECT_EQ(grid.Dims(), 2);
  EXPECT_EQ(grid.LowBound(2), -1);
  EXPECT_EQ(grid.HighBound(2), 1);
  ASSERT_NE(grid.At({2, -1}), nullptr);
  *grid.At({2, -1}) = HostValue::FromInt32(7);
  EXPECT_EQ(grid.Items()[1], HostValue::FromInt32(7));
  EXPECT_EQ(grid.At({3, 0}), nullptr);
  EXPECT_EQ(grid.At({1, 2}), nullptr);
  EXPECT_EQ(grid.At({1}), nullptr);  // wrong rank

  auto vec = HostArray::Vector({HostValue::FromInt32(1), HostValue::FromString(L"a")});
  EXPECT_EQ(vec->At(1)->ToText(), L"a");
  EXPECT_EQ(vec->At(2), nullptr);
  EXPECT_EQ(vec->At(-1), nullptr);
}

TEST(HostValue, CopiesOfArraysCompareByContent) {
  auto a = HostArray::Vector({HostValue::FromInt32(1)});
  auto b = HostArray::Vector({HostValue::FromInt32(1)});
  EXPECT_EQ(HostValue::FromArray(a), HostValue::FromArray(b));
  *b->At(0) = HostValue::FromInt32(2);
  EXPECT_FALSE(HostValue::FromArray(a) == HostValue::FromArray(b));
  EXPECT_EQ(HostValue::FromArray(nullptr), HostValue::FromArray(nullptr));
}

}  // namespace
}  // namespace velko
