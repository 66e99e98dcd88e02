#include <gtest/gtest.h>

#include <memory>

#include "common/uCommonUtils.h"
#include "driver/u1cLib.h"

namespace velko {
namespace {

HostValue S(const wchar_t* text) { return HostValue::FromString(text); }

TEST(ValueToLogText, Scalars) {
  const double date = *EncodeDateTime({2024, 1, 31, 13, 5, 9, 0});
  const std::pair<HostValue, std::wstring> cases[] = {
      {HostValue(), L"EMPTY"},
      {HostValue::Null(), L"NULL"},
      {HostValue::FromInt16(-12), L"-12"},
      {HostValue::FromInt32(16500), L"16500"},
      {HostValue::FromSingle(0.5f), L"0,5"},
      {HostValue::FromDouble(2.5), L"2,5"},
      {HostValue::FromDouble(1234567.891), L"1234567,891"},
      {HostValue::FromDouble(100.0), L"100"},
      {HostValue::FromCurrency(1005000), L"100,5"},
      {HostValue::FromDate(date), L"31.01.2024 13:05:09"},
      {S(L"a\r\nb"), L"'a\\nb'"},
      {S(L"a\nb\rc"), L"'a\nb\rc'"},  // a lone CR or LF stays as it is
      {S(L"it's"), L"'it's'"},
      {HostValue::FromString(L"x\r\n", vt::kRuntimeString), L"'x\\n'"},
      {HostValue::FromDispatch(0xABC12), L"$000ABC12"},
      {HostValue::FromBool(true), L"True"},
      {HostValue::FromBool(false), L"False"},
      {HostValue::FromUInt8(65), L"A"},
      {HostValue::ByRef(std::make_shared<HostValue>(HostValue::FromDouble(1.25))), L"1,25"},
      {HostValue::FromInteger(vt::kInt64, 5), L""},  // no form of its own
      {HostValue::FromInteger(vt::kError, 5), L""},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(ValueToLogText(value), text) << value.Type();
}

TEST(ValueToLogText, Arrays) {
  EXPECT_EQ(ValueToLogText(HostValue::FromArray(nullptr)), L"EMPTY");
  EXPECT_EQ(ValueToLogText(HostValue::FromArray(HostArray::Vector({}))), L"[()]");
  EXPECT_EQ(ValueToLogText(HostValue::FromArray(HostArray::Vector(
                {HostValue::FromInt32(1), S(L"abc"), HostValue::FromBool(true)}))),
            L"[(1; 'abc'; True)]");

  // Two by two, dimension 1 varying fastest: the inner groups are dimension 1.
  auto square = std::make_shared<HostArray>(std::vector<HostArray::Bound>{{0, 2}, {1, 2}});
  square->Items() = {S(L"a"), S(L"b"), S(L"c"), S(L"d")};
  EXPECT_EQ(ValueToLogText(HostValue::FromArray(square)), L"[(('a'; 'b')('c'; 'd'))]");

  // Three dimensions with bounds that do not start at 0.
  auto cube = std::make_shared<HostArray>(std::vector<HostArray::Bound>{{-1, 2}, {5, 1}, {1, 2}});
  for (size_t i = 0; i < cube->Size(); ++i) cube->Items()[i] = HostValue::FromInt32(static_cast<int32_t>(i));
  EXPECT_EQ(ValueToLogText(HostValue::FromArray(cube)), L"[(((0; 1))((2; 3)))]");
  EXPECT_EQ(*cube->At(std::vector<int32_t>{0, 5, 2}), HostValue::FromInt32(3));

  // Nested: an element that holds an array is rendered in place.
  auto inner = HostArray::Vector({S(L"x"), S(L"y")});
  auto outer = HostArray::Vector({HostValue::FromArray(inner), S(L"z")});
  EXPECT_EQ(ValueToLogText(HostValue::FromArray(outer)), L"[([('x'; 'y')]; 'z')]");
  EXPECT_EQ(ArrayToLogText(*outer), L"[([('x'; 'y')]; 'z')]");
}

TEST(ValueToLogText, ByReferenceValuesShowTheirTargetInItsOwnForm) {
  const auto ref = [](HostValue v) { return HostValue::ByRef(std::make_shared<HostValue>(std::move(v))); };
  EXPECT_EQ(ValueToLogText(ref(HostValue::FromDispatch(1))), L"$00000001");
  EXPECT_EQ(ValueToLogText(ref(S(L"a\r\nb"))), L"'a\\nb'");
  EXPECT_EQ(ValueToLogText(ref(HostValue::FromBool(true))), L"True");
  EXPECT_EQ(ValueToLogText(HostValue::ByRef(nullptr)), L"EMPTY");
}

}  // namespace
}  // namespace velko
