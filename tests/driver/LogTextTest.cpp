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

// The card positions of a call are masked whole but for the last four digits
// of the card number, whatever the host passed there; the rest stays as the
// call log always shows it.
TEST(ParamsToLogText, CardPositionsAreMaskedWhateverTheirType) {
  const auto ref = [](HostValue v) { return HostValue::ByRef(std::make_shared<HostValue>(std::move(v))); };
  const std::pair<HostValue, std::wstring> cases[] = {
      {S(L"4276380012345678"), L"'************5678'"},
      {S(L"427638001234"), L"'********1234'"},
      {S(L";4276380012345678=25121010000000000123?"), L"'*************5678**********************'"},
      {S(L"\uFF14\uFF12\uFF17\uFF16 3800 1234 5678"), L"'***************5678'"},
      {HostValue::FromDouble(4276380012345678.0), L"************5678"},
      {HostValue::FromCurrency(427638001234LL * 10000), L"********1234"},
      {HostValue::FromInt32(123456789), L"*****6789"},
      {ref(S(L"4276380012345678")), L"'************5678'"},
      {HostValue::FromArray(HostArray::Vector({S(L"4276380012345678")})), L"***************5678***"},
      {HostValue(), L"EMPTY"},
      {S(L""), L"''"},
  };
  for (const auto& [card, text] : cases) {
    auto params = HostArray::Vector({HostValue::FromInt32(1), card, HostValue::FromInt32(100),
                                     S(L"123456789012")});
    EXPECT_EQ(ParamsToLogText(*params, 1u << 1), L"[(1; " + text + L"; 100; '123456789012')]");
    EXPECT_EQ(ParamsToLogText(*params, 0), ArrayToLogText(*params)) << "no card positions: as always";
  }
}

}  // namespace
}  // namespace velko
