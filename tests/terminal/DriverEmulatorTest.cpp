// Every host method of the complete driver that reaches the server, called
// through its table entry as the host calls it, against the in-process
// terminal-server emulator over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "common/TextUtf.h"
#include "emulator/TerminalEmulator.h"
#include "platform/ReceiptPrompt.h"
#include "platform/Services.h"
#include "protocol/uVelkoCommManager.h"
#include "support/TempDataFolder.h"
#include "terminal/uDriver.h"

namespace velko {
namespace {

using emulator::TerminalEmulator;

HostValue S(const std::wstring& text) { return HostValue::FromString(text); }
HostValue N(double value) { return HostValue::FromDouble(value); }
HostValue E() { return HostValue(); }

bool IsMasked(const HostValue& value) {
  const std::wstring text = value.ToText();
  return text.size() >= 13 && text.find_first_not_of(L'*') == text.size() - 4;
}

class DriverEmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu_.Start();
    driver_ = CreateDriver<TDriver>();
    Call(L"УстановитьПараметр", {S(L"ServerPort"), HostValue::FromInt32(emu_.Port())});
    Call(L"УстановитьПараметр", {S(L"AnswerTimeOut"), HostValue::FromInt32(5)});
  }

  struct Outcome {
    HostValue ret;
    std::shared_ptr<HostParams> params;
    int32_t code;
    std::wstring text;
  };

  Outcome Call(const std::wstring& name, std::vector<HostValue> params) {
    const int32_t number = driver_->GetMethodNum(name);
    EXPECT_GE(number, 0);
    const PMethodStruct method = driver_->GetMethod(number);
    params.resize(static_cast<size_t>(method->ParamsCount));
    auto array = HostArray::Vector(std::move(params));
    HostValue ret;
    EXPECT_EQ(method->DriverMethod(ret, *array), kS_OK);
    auto error = HostArray::Vector({E()});
    HostValue code;
    driver_->GetMethod(driver_->GetMethodNum(L"ПолучитьОшибку"))->DriverMethod(code, *error);
    return {ret, array, code.ToInt32(), error->Items()[0].ToText()};
  }

  testing::TempDataFolder data_{"driver"};
  TerminalEmulator emu_;
  std::unique_ptr<TDriver> driver_;
};

TEST_F(DriverEmulatorTest, ClosedDriverAnswers70) {
  for (const wchar_t* name : {L"PayByPaymentCard", L"ИтогиДняПоКартам", L"СчитатьКарту", L"Платеж"}) {
    Outcome o = Call(name, {});
    EXPECT_EQ(o.ret, HostValue::FromBool(false)) << std::wstring(name).size();
    EXPECT_EQ(o.code, 70);
    EXPECT_EQ(o.text, L"Устройство не включено");
  }
  EXPECT_EQ(emu_.RequestCount(), 0u);
}

TEST_F(DriverEmulatorTest, EveryServerMethodThroughTheTable) {
  ScriptedReceiptPrompt prompt;
  ScopedServiceOverride scope(nullptr, nullptr, &prompt);
  ASSERT_EQ(Call(L"Подключить", {}).ret, HostValue::FromBool(true));

  // Card data as the pinpad reads it, then a payment with it.
  Outcome card = Call(L"СчитатьКарту", {});
  ASSERT_EQ(card.ret, HostValue::FromBool(true)) << card.text;
  const std::wstring data = card.params->Items()[0].ToText();
  EXPECT_FALSE(data.empty());
  EXPECT_FALSE(card.params->Items()[1].ToText().empty()) << "issuer";
  EXPECT_TRUE(IsMasked(card.params->Items()[2]));

  Outcome pay = Call(L"ОплатитьПлатежнойКартой", {S(L"pos0"), S(data), N(150)});
  ASSERT_EQ(pay.ret, HostValue::FromBool(true)) << pay.text;
  EXPECT_EQ(pay.code, 0);
  EXPECT_EQ(pay.text.rfind(L"Код ответа: 00", 0), 0u) << "the server's own wording";
  const auto& p = pay.params->Items();
  EXPECT_EQ(p[0], S(L"pos0"));
  EXPECT_TRUE(IsMasked(p[1]));
  EXPECT_EQ(p[2], N(150));
  EXPECT_EQ(p[3].ToText().size(), 10u);
  EXPECT_EQ(p[4].ToText().size(), 12u);
  EXPECT_EQ(p[5].ToText().size(), 6u);
  EXPECT_FALSE(p[6].ToText().empty()) << "slip";
  const std::wstring paid_receipt = p[3].ToText();

  struct Case {
    std::wstring name;
    std::vector<HostValue> params;
    bool ok;
    std::function<void(const Outcome&)> check;
  };
  const std::vector<Case> cases = {
      {L"ВернутьПлатежПоПлатежнойКарте", {E(), S(data), N(50)}, true,
       [](const Outcome& o) {
         EXPECT_TRUE(IsMasked(o.params->Items()[1]));
         EXPECT_EQ(o.params->Items()[2], N(50)) << "the amount is not written back";
         EXPECT_EQ(o.params->Items()[3].ToText().size(), 10u);
       }},
      {L"ОтменитьПлатежПоПлатежнойКарте", {E(), E(), N(150), S(paid_receipt), E(), E()}, true,
       [](const Outcome& o) { EXPECT_FALSE(o.params->Items()[6].ToText().empty()); }},
      {L"ПреавторизацияПоПлатежнойКарте", {E(), S(data), N(300)}, true,
       [](const Outcome& o) { EXPECT_EQ(o.params->Items()[5].ToText().size(), 6u); }},
      {L"ЗавершитьПреавторизациюПоПлатежнойКарте", {E(), E(), N(300), S(L"0000000006"), E(), E()}, true,
       nullptr},
      {L"ОтменитьПреавторизациюПоПлатежнойКарте", {E(), E(), N(300), S(L"0000000999"), E(), E()}, false,
       [](const Outcome& o) { EXPECT_EQ(o.code, 4007); }},
      {L"АктивацияПодарочнойКарты", {N(1000)}, true,
       [](const Outcome& o) { EXPECT_EQ(o.params->Items()[2].ToText().size(), 10u); }},
      {L"ПолучитьБалансПоБонусам", {}, true,
       [](const Outcome& o) { EXPECT_GT(o.params->Items()[0].ToDouble(), 0.0); }},
      {L"ОплатитьБонусами", {S(data)}, true,
       [](const Outcome& o) {
         EXPECT_TRUE(IsMasked(o.params->Items()[0]));
         EXPECT_GT(o.params->Items()[1].ToDouble(), 0.0) << "the server decides the bonus amount";
       }},
      {L"ВернутьПлатежБонусами", {S(data), N(10)}, true,
       [](const Outcome& o) { EXPECT_TRUE(IsMasked(o.params->Items()[0])); }},
      {L"Платеж", {S(L"pos0"), S(data), N(75.25)}, true,
       [](const Outcome& o) {
         EXPECT_EQ(o.params->Items()[0], S(L"pos0"));
         EXPECT_EQ(o.params->Items()[2], N(75.25));
       }},
      {L"АварийнаяОтменаОперации", {}, true, nullptr},
      {L"ИтогиДняПоКартам", {}, true,
       [](const Outcome& o) { EXPECT_FALSE(o.params->Items()[1].ToText().empty()); }},
      // Last: the device test opens and closes the device itself.
      {L"ТестУстройства", {}, true,
       [](const Outcome& o) { EXPECT_EQ(o.params->Items()[1], S(L"")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.name));
    Outcome o = Call(c.name, c.params);
    EXPECT_EQ(o.ret, HostValue::FromBool(c.ok)) << o.code;
    if (c.ok) {
      EXPECT_EQ(o.code, 0) << WideToUtf8(o.text);
    }
    if (c.check) c.check(o);
  }
  EXPECT_EQ(prompt.asked, 0) << "every receipt number was given";
}

TEST_F(DriverEmulatorTest, EveryAnswerTimeOutEndsInBoundedTime) {
  // Negative ends the wait at its first wake-up; the largest value the
  // setting can hold still waits for an answer that comes late.
  struct Case {
    double seconds;
    const char* script;
    int32_t code;
  };
  const Case cases[] = {
      {-1, R"({"op":"SRV","action":"silent","times":0})", 74},
      {0, R"({"op":"SRV","action":"silent","times":0})", 74},
      {1, R"({"op":"SRV","action":"silent","times":0})", 74},
      {4294967295.0, R"({"op":"SRV","action":"answer","delay_ms":1500})", 0},
  };
  for (const Case& c : cases) {
    emu_.LoadScript(c.script);
    ASSERT_EQ(Call(L"УстановитьПараметр", {S(L"AnswerTimeOut"), N(c.seconds)}).code, 0) << c.seconds;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(L"Подключить", {E()}).code, c.code) << c.seconds;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20)) << c.seconds;
  }
}

}  // namespace
}  // namespace velko
