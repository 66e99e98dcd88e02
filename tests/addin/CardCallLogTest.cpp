// The call log of every host method of the complete driver that carries card
// data, called through the add-in object as the host calls it: position by
// position, before and after the call, a card position keeps only the last
// four digits of its card number and every other position reads as the host
// passed it or the driver wrote it back. Its own program: it registers the
// complete driver under "TDriver".
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "addin/AddInObj.h"
#include "common/CardMask.h"
#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "driver/u1cLib.h"
#include "platform/Services.h"
#include "support/FakeWindows.h"
#include "support/ScriptedExchange.h"
#include "support/TempDataFolder.h"
#include "terminal/uDriver.h"

namespace velko {
namespace {

using testing::ScriptedExchange;

// Card data in every answer field that can hold it, next to fields that
// must stay readable; no value holds the log's separators "; " or ")]".
class CardAnsweringExchange : public ScriptedExchange {
 public:
  int32_t ExecuteTransaction(TTransactDataList& list) override {
    if (replies.empty())
      replies.push_back(Approved({{&TagCardNumber, L"5469380012345672"},
                                  {&TagCardNumberEnc, L"5469380012345672=26121010000"},
                                  {&TagIssuerName, L"MASTER"},
                                  {&TagReceiptNumber, L"0000000042"},
                                  {&TagReferenceNumber, L"123456789012"},
                                  {&TagAuthorizationCode, L"AB1234"},
                                  {&TagAmount, L"000000010000"},
                                  {&TagReceiptText, L"СЛИП"}}));
    return ScriptedExchange::ExecuteTransaction(list);
  }
};

HostValue S(const wchar_t* text) { return HostValue::FromString(text); }
HostValue N(double value) { return HostValue::FromDouble(value); }

// Track data as a host passes it in a card position.
const wchar_t kTrack[] = L"4276380012345678=25121010000";

// The positions of one logged parameter array, "[(a; b; c)]".
std::vector<std::wstring> LoggedPositions(const std::wstring& line) {
  const size_t start = line.find(L"Params: [(");
  if (start == std::wstring::npos) return {};
  const size_t first = start + 10, end = line.find(L")]", first);
  std::vector<std::wstring> out;
  for (size_t at = first;;) {
    const size_t next = line.find(L"; ", at);
    if (next == std::wstring::npos || next > end) {
      out.push_back(line.substr(at, end - at));
      return out;
    }
    out.push_back(line.substr(at, next - at));
    at = next + 2;
  }
}

// What the log must show for one position.
std::wstring Expected(const HostValue& value, bool card) {
  if (!card || !value.IsString()) return ValueToLogText(value);
  return L"'" + MaskCardData(value.ToText()) + L"'";
}

class CardCallLogTest : public ::testing::Test {
 protected:
  CardCallLogTest() : scope_(&windows_) {
    RegisterDriverClass(L"TDriver", [] {
      return CreateDriver<TDriver>(std::unique_ptr<TTransactionExchange>(std::make_unique<CardAnsweringExchange>()));
    });
    TLog::ResetForTesting();
    TLog::SetClock([] { return LocalDateTime{2024, 1, 31, 12, 0, 0, 0}; });
    TLog::SetLogFileName(L"a_velko1c83", L"");
    EXPECT_EQ(object_.Init(nullptr), kS_OK);
  }
  ~CardCallLogTest() override { TLog::ResetForTesting(); }

  std::shared_ptr<HostArray> Call(const std::wstring& name, std::vector<HostValue> params) {
    int32_t number = -1;
    EXPECT_EQ(object_.FindMethod(name, number), kS_OK);
    auto array = HostArray::Vector(std::move(params));
    HostValue ret;
    EXPECT_EQ(object_.CallAsFunc(number, ret, *array), kS_OK);
    EXPECT_EQ(ret, HostValue::FromBool(true)) << WideToUtf8(name);
    return array;
  }

  // The log's lines that begin with the given mark ("> " before a call,
  // "< " after it), newest last.
  std::vector<std::wstring> Lines(const std::wstring& mark) const {
    const std::wstring text = Utf8ToWide(testing::ReadWholeFile(std::filesystem::path(TLog::LogFileName())));
    std::vector<std::wstring> out;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
      const std::wstring line = text.substr(start, end - start);
      if (line.find(L"\t" + mark) != std::wstring::npos) out.push_back(line);
    }
    return out;
  }

  testing::TempDataFolder data_{"card_call_log"};
  testing::FakeWindowService windows_;
  ScopedServiceOverride scope_;
  TAddInObject object_;
};

TEST_F(CardCallLogTest, CardPositionsAreMaskedAndNoOthers) {
  const struct {
    const wchar_t* method;
    std::vector<HostValue> params;
    std::set<size_t> card;
  } rows[] = {
      {L"ОплатитьПлатежнойКартой", {S(L"p0"), S(kTrack), N(100), S(L"p3"), S(L"p4"), S(L"p5"), S(L"p6")}, {1}},
      {L"ВернутьПлатежПоПлатежнойКарте", {S(L"p0"), S(kTrack), N(40.5), S(L"p3"), S(L"p4"), S(L"p5"), S(L"p6")}, {1}},
      {L"ОтменитьПлатежПоПлатежнойКарте",
       {S(L"p0"), S(kTrack), N(100), S(L"0000000042"), S(L"p4"), S(L"AB1234"), S(L"p6")}, {1}},
      {L"ПреавторизацияПоПлатежнойКарте", {S(L"p0"), S(kTrack), N(100), S(L"p3"), S(L"p4"), S(L"p5"), S(L"p6")}, {1}},
      {L"ЗавершитьПреавторизациюПоПлатежнойКарте",
       {S(L"p0"), S(kTrack), N(100), S(L"0000000042"), S(L"p4"), S(L"AB1234"), S(L"p6")}, {1}},
      {L"ОтменитьПреавторизациюПоПлатежнойКарте",
       {S(L"p0"), S(kTrack), N(100), S(L"0000000042"), S(L"p4"), S(L"AB1234"), S(L"p6")}, {1}},
      {L"СчитатьКарту", {S(kTrack), S(L"p1"), S(kTrack)}, {0, 2}},
      {L"АктивацияПодарочнойКарты", {N(100), S(kTrack), S(L"p2"), S(L"p3"), S(L"p4"), S(L"p5")}, {1}},
      {L"ОплатитьБонусами", {S(kTrack), S(L"p1"), S(L"p2"), S(L"p3"), S(L"p4"), S(L"p5")}, {0}},
      {L"ВернутьПлатежБонусами", {S(kTrack), N(10), S(L"p2"), S(L"p3"), S(L"p4"), S(L"p5")}, {0}},
      {L"Платеж", {S(L"p0"), S(kTrack), N(75), S(L"p3"), S(L"p4"), S(L"p5"), S(L"p6")}, {1}},
  };

  // Every method whose table entry carries card data has its row here.
  TBaseDriver& driver = *object_.Driver();
  std::set<std::wstring> covered;
  for (const auto& row : rows) covered.insert(row.method);
  for (int32_t i = 0; i < driver.MethsCount(); ++i) {
    const TMethodStruct& method = *driver.GetMethod(i);
    if (method.CardParams == 0) continue;
    EXPECT_TRUE(covered.count(method.Name) || covered.count(method.Alias)) << WideToUtf8(method.Name);
  }

  Call(L"Подключить", {HostValue()});
  TLog::SetLogLevel(3);
  for (const auto& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.method));
    const size_t before_count = Lines(L"> ").size(), after_count = Lines(L"< ").size();
    const std::shared_ptr<HostArray> after = Call(row.method, row.params);
    const std::vector<std::wstring> before_lines = Lines(L"> "), after_lines = Lines(L"< ");
    ASSERT_EQ(before_lines.size(), before_count + 1);
    ASSERT_EQ(after_lines.size(), after_count + 1);
    const std::vector<std::wstring> logged_in = LoggedPositions(before_lines.back()),
                                    logged_out = LoggedPositions(after_lines.back());
    ASSERT_EQ(logged_in.size(), row.params.size()) << WideToUtf8(before_lines.back());
    ASSERT_EQ(logged_out.size(), row.params.size()) << WideToUtf8(after_lines.back());
    for (size_t k = 0; k < row.params.size(); ++k) {
      const bool card = row.card.count(k) != 0;
      EXPECT_EQ(logged_in[k], Expected(row.params[k], card)) << "position " << k << " before the call";
      EXPECT_EQ(logged_out[k], Expected(after->Items()[k], card)) << "position " << k << " after the call";
    }
    // The card's digits never reach the log in clear.
    EXPECT_EQ(before_lines.back().find(L"4276380012345678"), std::wstring::npos);
    EXPECT_EQ(after_lines.back().find(L"5469380012345672"), std::wstring::npos);
  }
}

}  // namespace
}  // namespace velko
