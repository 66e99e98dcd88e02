#include <gtest/gtest.h>

#include <deque>

#include "common/TextUtf.h"
#include "platform/ReceiptPrompt.h"
#include "platform/Services.h"
#include "support/ScriptedExchange.h"
#include "support/TempDir.h"
#include "terminal/uDriver.h"

namespace velko {
namespace {

using testing::ScriptedExchange;
using testing::TempDataFolder;

// Runs host methods by name through the driver's table, as the host does.
class HostCall {
 public:
  explicit HostCall(TBaseDriver& driver) : driver_(driver) {}
  struct Result {
    HResult hr;
    HostValue ret;
    std::shared_ptr<HostParams> params;
  };
  Result operator()(const std::wstring& name, std::vector<HostValue> params) {
    const int32_t number = driver_.GetMethodNum(name);
    EXPECT_GE(number, 0) << "no method " << std::string(name.begin(), name.end()).size();
    auto array = HostArray::Vector(std::move(params));
    HostValue ret = HostValue::FromString(L"untouched");
    const HResult hr = driver_.GetMethod(number)->DriverMethod(ret, *array);
    return {hr, ret, array};
  }
  // "ПолучитьОшибку": the code and its text.
  std::pair<int32_t, std::wstring> LastError() {
    auto r = (*this)(L"ПолучитьОшибку", {HostValue()});
    return {r.ret.ToInt32(), r.params->Items()[0].ToText()};
  }

 private:
  TBaseDriver& driver_;
};

HostValue S(const wchar_t* text) { return HostValue::FromString(text); }
HostValue E() { return HostValue(); }
std::vector<HostValue> Blank(size_t n) { return std::vector<HostValue>(n); }

class FacadeTest : public ::testing::Test {
 protected:
  FacadeTest() {
    auto exchange = std::make_unique<ScriptedExchange>();
    server_ = exchange.get();
    driver_ = std::make_unique<TDriver>(std::move(exchange));
    driver_->Create();
  }
  void Open() {
    server_->replies.push_back(ScriptedExchange::Approved());
    auto r = Call(L"Подключить", Blank(1));
    ASSERT_TRUE(r.ret.ToBool());
    server_->requests.clear();
  }

  TempDataFolder data_{"engine"};
  ScriptedExchange* server_;
  std::unique_ptr<TDriver> driver_;
  HostCall::Result Call(const std::wstring& name, std::vector<HostValue> params) {
    return HostCall(*driver_)(name, std::move(params));
  }
  std::pair<int32_t, std::wstring> LastError() { return HostCall(*driver_).LastError(); }
};

TEST_F(FacadeTest, MethodTableOfTheCompleteDriver) {
  struct Entry {
    int32_t number;
    const wchar_t* name;
    const wchar_t* alias;
    int32_t params;
  };
  const Entry table[] = {
      {0, L"ShowSettingsDlg", L"ОтобразитьФормуНастроек", 0},
      {1, L"GetVersion", L"ПолучитьНомерВерсии", 0},
      {2, L"ПолучитьОписание", L"GetDescription", 7},
      {3, L"ПолучитьОшибку", L"GetLastError", 1},
      {4, L"ПолучитьПараметры", L"GetParameters", 1},
      {5, L"УстановитьПараметр", L"SetParameter", 2},
      {6, L"Подключить", L"Open", 1},
      {7, L"Отключить", L"Close", 1},
      {8, L"ПолучитьДополнительныеДействия", L"GetAdditionalActions", 1},
      {9, L"ВыполнитьДополнительноеДействие", L"DoAdditionalAction", 1},
      {10, L"ТестУстройства", L"DeviceTest", 2},
      {11, L"PayByPaymentCard", L"ОплатитьПлатежнойКартой", 7},
      {12, L"ReturnPaymantByPaymantCard", L"ВернутьПлатежПоПлатежнойКарте", 7},
      {13, L"CancelPaymentByPaymentCard", L"ОтменитьПлатежПоПлатежнойКарте", 7},
      {14, L"AuthorizePreSales", L"ПреавторизацияПоПлатежнойКарте", 7},
      {15, L"AuthorizeCompletion", L"ЗавершитьПреавторизациюПоПлатежнойКарте", 7},
      {16, L"CancelAuthorisationByPaymentCard", L"ОтменитьПреавторизациюПоПлатежнойКарте", 7},
      {17, L"EmergencyReversal", L"АварийнаяОтменаОперации", 1},
      {18, L"Settelment", L"ИтогиДняПоКартам", 2},
      {19, L"PrintSlipOnTerminal", L"ПечатьКвитанцийНаТерминале", 0},
      {20, L"ReadCard", L"СчитатьКарту", 3},
      {21, L"GiftCardActivate", L"АктивацияПодарочнойКарты", 6},
      {22, L"GetLoyaltyBalance", L"ПолучитьБалансПоБонусам", 2},
      {23, L"LoyaltySale", L"ОплатитьБонусами", 6},
      {24, L"LoyaltyRefund", L"ВернутьПлатежБонусами", 6},
      {25, L"Payment", L"Платеж", 7},
  };
  ASSERT_EQ(driver_->MethsCount(), 26);
  for (const Entry& e : table) {
    const PMethodStruct m = driver_->GetMethod(e.number);
    EXPECT_EQ(m->Name, e.name);
    EXPECT_EQ(m->Alias, e.alias);
    EXPECT_EQ(m->ParamsCount, e.params);
    EXPECT_EQ(driver_->GetMethodNum(e.alias), e.number);
  }
  EXPECT_TRUE(driver_->AutoKeepFocus());
  EXPECT_FALSE(driver_->CapSettingsDlg());
}

TEST_F(FacadeTest, UnderTheOldestHostThereAreThreeMore) {
  HostNameOverride host(L"1CV7.EXE");
  ScopedServiceOverride scope(nullptr, &host);
  TDriver old(std::make_unique<ScriptedExchange>());
  old.Create();
  EXPECT_EQ(old.MethsCount(), 29);
  EXPECT_EQ(old.GetMethodNum(L"ПолучитьОписание"), 5);
  EXPECT_EQ(old.GetMethodNum(L"Платеж"), 28);
}

TEST_F(FacadeTest, DescriptionAndLastErrorAfterConstruction) {
  auto r = Call(L"GetDescription", Blank(7));
  EXPECT_TRUE(r.ret.ToBool());
  const auto& p = r.params->Items();
  EXPECT_EQ(p[0].ToText(), L"VELKO32");
  EXPECT_EQ(p[1].ToText(), L"Драйвер эквайринг-терминала VELKO32 \"1С:Совместимо\"");
  EXPECT_EQ(p[2].ToText(), L"ЭквайринговыйТерминал");
  EXPECT_EQ(p[3], HostValue::FromInt32(2004));
  EXPECT_EQ(p[4], HostValue::FromBool(false));
  EXPECT_EQ(p[5], HostValue::FromBool(true));
  EXPECT_EQ(p[6].ToText(), std::wstring(kDriverDownloadURL)) << "the build's page; none by default";
  EXPECT_EQ(LastError(), std::make_pair(0, std::wstring(L"Нет ошибок")));
  EXPECT_EQ(LastError(), std::make_pair(0, std::wstring(L"Нет ошибок")));
}

TEST_F(FacadeTest, ParameterDescriptionListsTheEightSettings) {
  auto r = Call(L"ПолучитьПараметры", Blank(1));
  EXPECT_TRUE(r.ret.ToBool());
  const std::wstring xml = r.params->Items()[0].ToText();
  EXPECT_EQ(xml.rfind(L"<?xml version=\"1.0\"?>", 0), 0u);
  const wchar_t* expected[] = {
      L"<Parameter Name=\"DebugLogEnabled\" Caption=\"Отладочный лог\" TypeValue=\"Boolean\" DefaultValue=\"false\"/>",
      L"<Parameter Name=\"CurrencyCode\" Caption=\"Код валюты\" TypeValue=\"String\" DefaultValue=\"643\"/>",
      L"<Parameter Name=\"ECRNumber\" Caption=\"Номер ККМ\" TypeValue=\"Number\" DefaultValue=\"1\"/>",
      L"<Parameter Name=\"ServerAddress\" Caption=\"Адрес сервера\" TypeValue=\"String\" DefaultValue=\"127.0.0.1\"/>",
      L"<Parameter Name=\"ServerPort\" Caption=\"Порт сервера\" TypeValue=\"Number\" DefaultValue=\"16500\"/>",
      L"<Parameter Name=\"AnswerTimeOut\" Caption=\"Время ожидания ответа\" TypeValue=\"Number\" DefaultValue=\"180\"/>",
      L"<Parameter Name=\"PrintOnTerminal\" Caption=\"Печать квитанции на Pinpad\" TypeValue=\"Boolean\" DefaultValue=\"false\"/>",
      L"<Parameter Name=\"MerchantID\" Caption=\"Номер мерчанта\" TypeValue=\"String\" DefaultValue=\"\"/>",
  };
  size_t at = 0;
  for (const wchar_t* element : expected) {
    const size_t found = xml.find(element, at);
    ASSERT_NE(found, std::wstring::npos) << std::wstring(element).size();
    at = found + 1;
  }
}

TEST(ParameterDescription, EscapesWhatXmlRequires) {
  TSettingStruct s;
  s.ID = L"A&B";
  s.Name = L"<\"x\">";
  s.ValueType = TDataType::dtString;
  s.Default = HostValue::FromString(L"a\r\nb");
  const std::wstring xml = BuildParameterDescription({s});
  EXPECT_NE(xml.find(L"Name=\"A&amp;B\" Caption=\"&lt;&quot;x&quot;&gt;\""), std::wstring::npos);
  EXPECT_NE(xml.find(L"DefaultValue=\"a&#xD;&#xA;b\""), std::wstring::npos);
  EXPECT_NE(BuildParameterDescription({}).find(L"<Page Caption=\"Параметры\"></Page>"), std::wstring::npos);
}

TEST_F(FacadeTest, PaymentHandsBackTheAnswer) {
  Open();
  server_->replies = {ScriptedExchange::Approved(
      {{&TagAmount, L"000000010000"}, {&TagReceiptNumber, L"0000000002"}, {&TagReferenceNumber, L"123456789012"},
       {&TagCardNumber, L"4111111111111111"}, {&TagAuthorizationCode, L"AB1234"}, {&TagReceiptText, L"СЛИП"}})};
  auto r = Call(L"ОплатитьПлатежнойКартой", {S(L"keep"), S(L"ENCDATA"), HostValue::FromInt32(100), E(), E(), E(), E()});
  EXPECT_EQ(r.hr, kS_OK);
  EXPECT_EQ(r.ret, HostValue::FromBool(true));
  const auto& p = r.params->Items();
  EXPECT_EQ(p[0], S(L"keep"));
  EXPECT_EQ(p[1], S(L"************1111"));
  EXPECT_EQ(p[2], HostValue::FromDouble(100.0));
  EXPECT_EQ(p[3], S(L"0000000002"));
  EXPECT_EQ(p[4], S(L"123456789012"));
  EXPECT_EQ(p[5], S(L"AB1234"));
  EXPECT_EQ(p[6], S(L"СЛИП"));
  ASSERT_EQ(server_->requests.size(), 1u);
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests[0], TagCardNumberEnc), L"ENCDATA");
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests[0], TagAmount), L"000000010000");

  server_->replies = {ScriptedExchange::Response(L"05", L"ОТКАЗ")};
  r = Call(L"PayByPaymentCard", {E(), S(L""), HostValue::FromDouble(100.5), E(), E(), E(), E()});
  EXPECT_EQ(r.ret, HostValue::FromBool(false));
  EXPECT_EQ(r.params->Items()[2], HostValue::FromDouble(0.0)) << "a declined answer carries no amount";
  EXPECT_EQ(LastError(), std::make_pair(4003, std::wstring(L"Код ответа: 05 - ОТКАЗ")));
}

TEST_F(FacadeTest, CancellationAsksForAMissingReceiptNumber) {
  Open();
  ScriptedReceiptPrompt prompt;
  ScopedServiceOverride scope(nullptr, nullptr, &prompt);
  // "12/5" is not receipt 125, and an empty OK cancels no receipt: the
  // cashier is asked again.
  prompt.answers = {std::nullopt, std::wstring(L"12/5"), std::wstring(L""), std::wstring(L"123")};

  auto r = Call(L"ОтменитьПлатежПоПлатежнойКарте", {E(), E(), HostValue::FromInt32(10), S(L""), S(L"RRN000000001"), S(L""), E()});
  EXPECT_EQ(r.ret, HostValue::FromBool(false));
  EXPECT_EQ(LastError(), std::make_pair(4502, std::wstring(L"Операция отменена пользователем")));
  EXPECT_TRUE(server_->requests.empty());

  r = Call(L"ОтменитьПлатежПоПлатежнойКарте", {E(), E(), HostValue::FromInt32(10), S(L""), S(L"RRN000000001"), S(L""), E()});
  EXPECT_EQ(r.ret, HostValue::FromBool(true));
  ASSERT_EQ(server_->requests.size(), 1u);
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests[0], TagOperationType), L"VOI");
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests[0], TagReceiptNumber), L"0000000123");
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests[0], TagReferenceNumber), L"") << "never sent";
  EXPECT_EQ(prompt.asked, 4);
  EXPECT_EQ(driver_->CallLogNote(), L"EnteredRecNumber: 123") << "what was typed reaches the call log";

  // A given receipt number needs no prompt; completion asks like cancellation.
  driver_->SetCallLogNote({});
  r = Call(L"AuthorizeCompletion", {E(), E(), HostValue::FromInt32(10), S(L"0000000042"), E(), S(L"AUTH01"), E()});
  EXPECT_EQ(prompt.asked, 4);
  EXPECT_EQ(driver_->CallLogNote(), L"");
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests.back(), TagInvoiceNumber), L"000042");
  r = Call(L"ЗавершитьПреавторизациюПоПлатежнойКарте", {E(), E(), HostValue::FromInt32(10), S(L""), E(), E(), E()});
  EXPECT_EQ(r.ret, HostValue::FromBool(false));
  EXPECT_EQ(prompt.asked, 5);

  // A dialog that could not be shown is no cashier's cancellation: the
  // description says what happened and what to do.
  prompt.not_asked = L"нет рабочего стола";
  const size_t sent = server_->requests.size();
  r = Call(L"ОтменитьПлатежПоПлатежнойКарте", {E(), E(), HostValue::FromInt32(10), S(L""), E(), E(), E()});
  EXPECT_EQ(r.ret, HostValue::FromBool(false));
  EXPECT_EQ(LastError(), std::make_pair(4502, std::wstring(kReceiptNumberNotAsked) + L"нет рабочего стола"));
  EXPECT_EQ(server_->requests.size(), sent);
}

// The error box that a wrong amount raises speaks the cashier's language and
// names the parameter and its value.
TEST_F(FacadeTest, AnAmountThatIsNoNumberIsNamedInTheError) {
  const struct {
    const wchar_t* method;
    size_t count, position;
    HostValue amount;
    std::string message;
  } cases[] = {
      {L"ОплатитьПлатежнойКартой", 7, 2, S(L"abc"), "Сумма (параметр 2) \"abc\" не является числом"},
      {L"ОтменитьПлатежПоПлатежнойКарте", 7, 2, S(L"12,5 руб."), "Сумма (параметр 2) \"12,5 руб.\" не является числом"},
      {L"LoyaltyRefund", 6, 1, HostValue::FromDouble(1e300), "вне допустимого диапазона"},
      {L"GiftCardActivate", 6, 0, HostValue::FromArray(HostArray::Vector({S(L"1")})), "Сумма (параметр 0) (значение без текста) не является числом"},
  };
  for (const auto& c : cases) {
    std::vector<HostValue> params = Blank(c.count);
    params[c.position] = c.amount;
    try {
      Call(c.method, std::move(params));
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const HostValueError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
  EXPECT_TRUE(server_->requests.empty());
}

TEST(ReceiptNumberText, WhatTheCashierTypesIsWhatIsSentOrRefused) {
  // The prompt takes exactly the numbers the engine sends as typed: one
  // range from the prompt to the wire.
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"", false},           {L"0000000123", true},   {L"2147483647", true}, {L"2147483648", false},
      {L"4294967295", false}, {L"4294967296", false}, {L"00000000001", false}, {L"12/5", false},
      {L"-1", false},        {L" 12", false},
      {L"１２", false},  // full-width digits are not digits here
  };
  for (const auto& [text, valid] : cases) {
    const std::wstring typed(text);
    EXPECT_EQ(ReceiptNumberTextIsValid(typed), valid) << WideToUtf8(typed);
    if (!valid) continue;
    EXPECT_EQ(TVelkoDriver::RecNumberText(typed), std::wstring(10 - typed.size(), L'0') + typed);
  }
}

TEST_F(FacadeTest, DeviceTestAfterATimeOutSaysSo) {
  Open();
  server_->replies = {ScriptedExchange::Approved(), ScriptedExchange::Failure(74)};
  auto r = Call(L"ТестУстройства", Blank(2));
  EXPECT_EQ(r.ret, HostValue::FromBool(false));
  EXPECT_EQ(r.params->Items()[0], S(L"Истек таймаут ожидания"));
  EXPECT_EQ(r.params->Items()[1], S(L""));
  EXPECT_TRUE(driver_->Enabled()) << "the test does not update the flag";

  server_->replies = {ScriptedExchange::Failure(1007)};
  r = Call(L"DeviceTest", Blank(2));
  EXPECT_EQ(r.params->Items()[0], S(L"Неизвестная ошибка")) << "the facade's hook for a failed open";
}

TEST_F(FacadeTest, PrintSlipOnTerminalFollowsTheSettingWithoutOpening) {
  Call(L"ПолучитьОписание", Blank(7));
  auto r = Call(L"PrintSlipOnTerminal", {});
  EXPECT_EQ(r.ret, HostValue::FromBool(false));
  Call(L"УстановитьПараметр", {S(L"PrintOnTerminal"), HostValue::FromBool(true)});
  driver_->SetLastResultDescription(L"keep");
  r = Call(L"ПечатьКвитанцийНаТерминале", {});
  EXPECT_EQ(r.ret, HostValue::FromBool(true));
  EXPECT_EQ(driver_->LastResultDescriptionField(), L"keep");
  EXPECT_TRUE(server_->requests.empty());
}

TEST_F(FacadeTest, ExtraMethodsReadAndWriteTheirPositions) {
  auto r = Call(L"СчитатьКарту", {S(L"a"), S(L"b"), S(L"c")});
  EXPECT_EQ(r.ret, HostValue::FromBool(false));
  EXPECT_EQ(LastError().first, 70);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.params->Items()[i], S(L"")) << i;

  Open();
  server_->replies = {ScriptedExchange::Approved(
      {{&TagCardNumber, L"5500000000000004"}, {&TagReceiptNumber, L"0000000003"}, {&TagReferenceNumber, L"R1"}})};
  r = Call(L"LoyaltyRefund", {S(L"CARDDATA"), HostValue::FromInt32(50), S(L"x2"), S(L"x3"), S(L"x4"), S(L"x5")});
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests.back(), TagCardNumberEnc), L"CARDDATA");
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests.back(), TagAmount), L"000000005000");
  EXPECT_EQ(r.params->Items()[0], S(L"************0004"));
  EXPECT_EQ(r.params->Items()[2], S(L"0000000003"));
  EXPECT_EQ(r.params->Items()[3], S(L"R1"));
  EXPECT_EQ(r.params->Items()[1], HostValue::FromInt32(50)) << "the amount is not written back";

  server_->replies = {ScriptedExchange::Approved({{&TagAmount, L"000000001500"}})};
  r = Call(L"Платеж", {S(L"untouched"), S(L"CARD"), HostValue::FromInt32(15), E(), E(), E(), E()});
  EXPECT_EQ(r.params->Items()[0], S(L"untouched"));
  EXPECT_EQ(r.params->Items()[2], HostValue::FromDouble(15.0));
  EXPECT_EQ(ScriptedExchange::ValueOf(server_->requests.back(), TagOperationType), L"PAY");

  server_->replies = {ScriptedExchange::Approved({{&TagAmount, L"000000012345"}, {&TagReceiptText, L"Бонусы"}})};
  r = Call(L"ПолучитьБалансПоБонусам", Blank(2));
  EXPECT_EQ(r.params->Items()[0], HostValue::FromDouble(123.45));
  EXPECT_EQ(r.params->Items()[1], S(L"Бонусы"));
}

TEST_F(FacadeTest, BaseClassOperationsAreNotSupported) {
  auto base = CreateDriver<TBaseDriverAuthorizator>();
  HostCall call(*base);
  for (const wchar_t* name : {L"PayByPaymentCard", L"ReturnPaymantByPaymantCard", L"CancelPaymentByPaymentCard",
                              L"AuthorizePreSales", L"AuthorizeCompletion", L"CancelAuthorisationByPaymentCard",
                              L"EmergencyReversal", L"Settelment"}) {
    auto r = call(name, {S(L"p0"), S(L"4111111111111111"), HostValue::FromDouble(0.123456), E(), E(), E(), E()});
    EXPECT_EQ(r.ret, HostValue::FromBool(false));
    EXPECT_EQ(r.params->Items()[0], S(L"p0"));
    EXPECT_EQ(call.LastError(), std::make_pair(1003, std::wstring(L"Команда не поддерживается устройством")));
  }
  auto r = call(L"ИтогиДняПоКартам", {S(L"p0"), S(L"old")});
  EXPECT_EQ(r.params->Items()[1], S(L""));
  r = call(L"ВыполнитьДополнительноеДействие", {S(L"any")});
  EXPECT_EQ(call.LastError().first, 1003);
  r = call(L"ОплатитьПлатежнойКартой", {E(), S(L"1234"), HostValue::FromDouble(100.5), E(), E(), E(), E()});
  EXPECT_EQ(r.params->Items()[1], S(L"")) << "four characters mask to nothing";
  EXPECT_EQ(r.params->Items()[2], HostValue::FromDouble(100.5));
}

}  // namespace
}  // namespace velko
