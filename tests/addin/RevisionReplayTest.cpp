// The equipment libraries of the host's configurations, replayed call by call
// against the add-in object of the class each one needs, with the complete
// driver behind it and the terminal-server emulator over loopback: edition A
// at revisions 3004 and 4000 (its whole connection order, then a cashier's
// day), edition B (never asks the revision) and IRP's old-revision branch
// (English names, seven outputs of the description) against a_velko1c83.
//
// Each step names what the host passes and what it reads back at every
// position: a position the step does not list must come back as the host
// passed it. Each replay also checks every method's parameter count as the
// host asks it, and whether a step reached the server at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "addin/AddInObj.h"
#include "common/TextUtf.h"
#include "emulator/EmulatedServer.h"
#include "emulator/TerminalEmulator.h"
#include "platform/Services.h"
#include "support/FakeWindows.h"
#include "support/TempDataFolder.h"
#include "terminal/uDriver.h"

namespace velko {
namespace {

HostValue S(const std::wstring& text) { return HostValue::FromString(text); }
HostValue N(double value) { return HostValue::FromDouble(value); }
HostValue B(bool value) { return HostValue::FromBool(value); }
HostValue I(int32_t value) { return HostValue::FromInt32(value); }

// What the host passes at one position: a value, or one the host read back
// from an earlier step.
struct Arg {
  HostValue value;
  std::string saved;
  Arg(HostValue v) : value(std::move(v)) {}  // NOLINT: a table of plain values reads best
  Arg(const wchar_t* text) : value(S(text)) {}
  Arg(double number) : value(N(number)) {}
};
Arg Saved(std::string name) {
  Arg arg(HostValue{});
  arg.saved = std::move(name);
  return arg;
}

// A check of a value the host reads back.
struct Check {
  std::string what;
  std::function<bool(const HostValue&)> ok;
};
Check Is(HostValue expected) {
  return {"== " + WideToUtf8(expected.ToText()), [expected](const HostValue& v) { return v == expected; }};
}
Check Digits(size_t count) {
  return {std::to_string(count) + " digits", [count](const HostValue& v) {
            const std::wstring t = v.IsString() ? v.ToText() : L"";
            return t.size() == count && t.find_first_not_of(L"0123456789") == std::wstring::npos;
          }};
}
Check Masked() {
  return {"a masked card number", [](const HostValue& v) {
            const std::wstring t = v.IsString() ? v.ToText() : L"";
            return t.size() >= 13 && t.find_first_not_of(L'*') == t.size() - 4;
          }};
}
Check Filled() {
  return {"a text", [](const HostValue& v) { return v.IsString() && !v.ToText().empty(); }};
}
// An XML text holding every one of these pieces.
Check Xml(std::vector<std::wstring> pieces) {
  return {"XML with " + WideToUtf8(pieces.front()), [pieces](const HostValue& v) {
            if (!v.IsString()) return false;
            const std::wstring t = v.ToText();
            if (t.rfind(L"<?xml version=\"1.0\"?>", 0) != 0) return false;
            for (const std::wstring& piece : pieces)
              if (t.find(piece) == std::wstring::npos) return false;
            return true;
          }};
}

struct Read {
  int32_t position;
  Check check;
  std::string save{};  // the value is kept under this name for a later step
};

struct Step {
  std::wstring method;
  std::vector<Arg> params;  // padded with empty values to the method's count
  Check ret;
  std::vector<Read> reads{};
  bool sends = false;        // a request reaches the server
  int32_t code = 0;          // "ПолучитьОшибку" afterwards
  std::wstring text{};       // and the start of its text, when given
  std::string merchant{};    // the merchant the request carries, when given
};

// Every method of a class with the parameter count the host must get.
using ParamCounts = std::vector<std::pair<std::wstring, int32_t>>;

const ParamCounts kExtras = {{L"СчитатьКарту", 3},     {L"АктивацияПодарочнойКарты", 6},
                             {L"ПолучитьБалансПоБонусам", 2}, {L"ОплатитьБонусами", 6},
                             {L"ВернутьПлатежБонусами", 6}, {L"Платеж", 7}};

ParamCounts WithBaseAndExtras(ParamCounts own) {
  ParamCounts all = {{L"ОтобразитьФормуНастроек", 0}, {L"ПолучитьНомерВерсии", 0}};
  all.insert(all.end(), own.begin(), own.end());
  all.insert(all.end(), kExtras.begin(), kExtras.end());
  return all;
}

const ParamCounts kSystem3000 = {
    {L"ПолучитьРевизиюИнтерфейса", 0}, {L"ПолучитьОписание", 1},  {L"ПолучитьОшибку", 1},
    {L"ПолучитьПараметры", 1},         {L"УстановитьПараметр", 2}, {L"Подключить", 1},
    {L"Отключить", 1},                 {L"ПолучитьДополнительныеДействия", 1},
    {L"ВыполнитьДополнительноеДействие", 1}, {L"ТестУстройства", 2}};
const ParamCounts kPreAuthorisation7 = {{L"ПреавторизацияПоПлатежнойКарте", 7},
                                        {L"ЗавершитьПреавторизациюПоПлатежнойКарте", 7},
                                        {L"ОтменитьПреавторизациюПоПлатежнойКарте", 7}};
const ParamCounts kService = {
    {L"АварийнаяОтменаОперации", 1}, {L"ИтогиДняПоКартам", 2}, {L"ПечатьКвитанцийНаТерминале", 0}};

ParamCounts Join(std::initializer_list<ParamCounts> parts) {
  ParamCounts all;
  for (const ParamCounts& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const ParamCounts kCounts2004 = WithBaseAndExtras(Join(
    {{{L"GetDescription", 7}, {L"GetLastError", 1}, {L"GetParameters", 1}, {L"SetParameter", 2}, {L"Open", 1},
      {L"Close", 1}, {L"GetAdditionalActions", 1}, {L"DoAdditionalAction", 1}, {L"DeviceTest", 2},
      {L"PayByPaymentCard", 7}, {L"ReturnPaymentByPaymentCard", 7}, {L"CancelPaymentByPaymentCard", 7}},
     kPreAuthorisation7,
     {{L"EmergencyReversal", 1}, {L"Settlement", 2}, {L"PrintSlipOnTerminal", 0}}}));
const ParamCounts kCounts3004 = WithBaseAndExtras(Join(
    {kSystem3000,
     {{L"ОплатитьПлатежнойКартой", 7}, {L"ВернутьПлатежПоПлатежнойКарте", 7}, {L"ОтменитьПлатежПоПлатежнойКарте", 7}},
     kPreAuthorisation7, kService, {{L"ПараметрыТерминала", 2}}}));
const ParamCounts kCounts4000 = WithBaseAndExtras(Join(
    {kSystem3000, {{L"УстановитьЛокализацию", 2}},
     {{L"ОплатитьПлатежнойКартой", 9}, {L"ВернутьПлатежПоПлатежнойКарте", 9}, {L"ОтменитьПлатежПоПлатежнойКарте", 10},
      {L"ОплатитьПлатежнойКартойCВыдачейНаличных", 10}},
     kPreAuthorisation7, kService, {{L"ПараметрыТерминала", 2}}}));

class RevisionReplayTest : public ::testing::Test {
 protected:
  RevisionReplayTest() : scope_(&windows_) {
    RegisterDriverClassTDriver();
    emu_.Start();
  }

  void CheckParamCounts(TAddInObject& object, const ParamCounts& counts) {
    int32_t methods = 0;
    ASSERT_EQ(object.GetNMethods(methods), kS_OK);
    EXPECT_EQ(methods, static_cast<int32_t>(counts.size())) << "every method of the class is in the table";
    std::set<int32_t> numbers;
    for (const auto& [name, count] : counts) {
      int32_t number = -1, params = -1;
      ASSERT_EQ(object.FindMethod(name, number), kS_OK);
      ASSERT_GE(number, 0) << WideToUtf8(name);
      numbers.insert(number);
      ASSERT_EQ(object.GetNParams(number, params), kS_OK);
      EXPECT_EQ(params, count) << WideToUtf8(name);
    }
    EXPECT_EQ(numbers.size(), counts.size()) << "no two names of the table are one method";
  }

  // The numerator's files: an operation that uses a receipt number changes them.
  std::map<std::string, std::string> Numerator() const {
    std::map<std::string, std::string> files;
    const auto folder = data_.Root() / "velko32";
    if (std::filesystem::exists(folder))
      for (const auto& entry : std::filesystem::directory_iterator(folder))
        files[entry.path().filename().string()] = testing::ReadWholeFile(entry.path());
    return files;
  }

  void Replay(const wchar_t* class_name, const std::vector<Step>& steps, const ParamCounts& counts) {
    const TAddInClass* cls = FindAddInClass(class_name);
    ASSERT_NE(cls, nullptr);
    TAddInObject object(*cls);
    ASSERT_EQ(object.Init(nullptr), kS_OK);
    ASSERT_NE(object.Driver(), nullptr);
    CheckParamCounts(object, counts);

    std::map<std::string, HostValue> saved;
    for (const Step& step : steps) {
      SCOPED_TRACE(WideToUtf8(step.method));
      int32_t number = -1, count = -1;
      ASSERT_EQ(object.FindMethod(step.method, number), kS_OK);
      ASSERT_GE(number, 0);
      ASSERT_EQ(object.GetNParams(number, count), kS_OK);
      ASSERT_LE(step.params.size(), static_cast<size_t>(count));
      std::vector<HostValue> passed(static_cast<size_t>(count));
      for (size_t i = 0; i < step.params.size(); ++i)
        passed[i] = step.params[i].saved.empty() ? step.params[i].value : saved.at(step.params[i].saved);
      auto params = HostArray::Vector(passed);
      const size_t requests = emu_.RequestCount();
      const auto numerator = Numerator();

      HostValue ret;
      ASSERT_EQ(object.CallAsFunc(number, ret, *params), kS_OK);
      EXPECT_TRUE(step.ret.ok(ret)) << "returned " << WideToUtf8(ret.ToText()) << ", wanted " << step.ret.what;

      std::set<int32_t> listed;
      for (const Read& read : step.reads) {
        listed.insert(read.position);
        const HostValue& got = params->Items().at(static_cast<size_t>(read.position));
        EXPECT_TRUE(read.check.ok(got)) << "position " << read.position << ": " << WideToUtf8(got.ToText())
                                        << ", wanted " << read.check.what;
        if (!read.save.empty()) saved[read.save] = got;
      }
      for (int32_t i = 0; i < count; ++i) {
        if (listed.count(i)) continue;
        EXPECT_EQ(params->Items()[static_cast<size_t>(i)], passed[static_cast<size_t>(i)])
            << "position " << i << " comes back as the host passed it";
      }

      EXPECT_EQ(emu_.RequestCount() > requests, step.sends) << "whether the step reached the server";
      if (!step.sends) {
        EXPECT_EQ(Numerator(), numerator) << "no receipt number used";
      }
      if (!step.merchant.empty() && emu_.RequestCount() > requests) {
        const auto request = emulator::ParseRequest(emu_.Exchanges().back().request);
        const std::string* merchant = request.Get(TagMerchantID);
        EXPECT_EQ(merchant ? *merchant : "(none)", step.merchant) << "the merchant sent";
      }

      int32_t error_method = -1;
      ASSERT_EQ(object.FindMethod(L"ПолучитьОшибку", error_method), kS_OK);
      HostValue code;
      auto error = HostArray::Vector({HostValue()});
      ASSERT_EQ(object.CallAsFunc(error_method, code, *error), kS_OK);
      EXPECT_EQ(code, I(step.code)) << WideToUtf8(error->Items()[0].ToText());
      // The server's own words follow the response code; under a Windows
      // code page other than the server's they do not read back as sent.
      if (!step.text.empty()) {
        EXPECT_EQ(error->Items()[0].ToText().substr(0, step.text.size()), step.text);
      }
    }
    EXPECT_EQ(object.Done(), kS_OK);
  }

  // The host's parameter settings, typed as the parameter table declares them.
  std::vector<Step> Settings() const {
    auto set = [](const wchar_t* name, HostValue value) {
      return Step{L"УстановитьПараметр", {name, std::move(value)}, Is(B(true))};
    };
    return {set(L"ServerPort", N(emu_.Port())), set(L"AnswerTimeOut", N(5)), set(L"PrintOnTerminal", B(true)),
            set(L"MerchantID", S(L"12")), set(L"DebugLogEnabled", B(false))};
  }

  static std::vector<Step> Concat(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }

  // Edition A up to "ПараметрыТерминала": the whole connection order.
  std::vector<Step> EditionAConnects(int32_t revision) const {
    std::vector<Step> steps = {
        {L"ПолучитьРевизиюИнтерфейса", {}, Is(I(revision))},
        {L"ПолучитьОписание", {L""}, Is(B(true)),
         {{0, Xml({L"<DriverDescription Name=\"VELKO32\"",
                   L"Description=\"Драйвер эквайринг-терминала VELKO32 &quot;1С:Совместимо&quot;\"",
                   L"EquipmentType=\"ЭквайринговыйТерминал\"", L"DriverVersion=\"" + GetModuleVersion() + L"\"",
                   L"DownloadURL=\"" + std::wstring(kDriverDownloadURL) + L"\"", L"LogPath=\"",
                   L"IntegrationComponent=\"false\"", L"MainDriverInstalled=\"true\"", L"LogIsEnabled=\"false\"",
                   L"LocalizationSupported=\"false\"", L"IsEmulator=\"false\""})}}},
        {L"ПолучитьПараметры", {L""}, Is(B(true)),
         {{0, Xml({L"<Settings><Page Caption=\"Параметры\">", L"<Parameter Name=\"ServerPort\""})}}},
        {L"УстановитьПараметр", {L"EquipmentType", L"ЭквайринговыйТерминал"}, Is(B(true))},
    };
    steps = Concat({steps, Settings()});
    steps.push_back({L"Подключить", {L""}, Is(B(true)), {{0, Is(S(L"VELKO32-1")), "id"}}, true, 0,
                     L"Код ответа: 00"});
    if (revision >= 4000) steps.push_back({L"УстановитьЛокализацию", {L"en", L""}, Is(B(true))});
    steps.push_back({L"ПараметрыТерминала", {Saved("id"), L""}, Is(B(true)),
                     {{1, Xml({L"<TerminalParameters TerminalID=\"00012345\"", L"PrintSlipOnTerminal=\"true\"",
                               L"ShortSlip=\"false\"", L"CashWithdrawal=\"false\"",
                               L"ElectronicCertificates=\"false\"", L"PartialCancellation=\"false\"",
                               L"ConsumerPresentedQR=\"false\"", L"ListCardTransactions=\"false\""})}}});
    return steps;
  }

  // Settlement and closing, the same at every revision.
  static std::vector<Step> EndOfDay() {
    return {{L"ИтогиДняПоКартам", {Saved("id"), L""}, Is(B(true)), {{1, Filled()}}, true},
            {L"Отключить", {Saved("id")}, Is(B(true))}};
  }

  // The seven-parameter day: 0 ID, 1 card, 2 amount, 3 receipt, 4 RRN, 5 auth, 6 slip.
  static std::vector<Step> Day7(const wchar_t* pay, const wchar_t* refund, const wchar_t* cancel, Arg id) {
    const std::vector<Read> paid = {{1, Masked()}, {2, Is(N(100))}, {3, Digits(10), "rec"}, {4, Digits(12), "rrn"},
                                    {5, Filled()}, {6, Filled()}};
    return {
        {pay, {id, L"", 100.0}, Is(B(true)), paid, true},
        // A host that passes an ID of its own still reaches the device.
        {refund, {L"1C-own-id", L"", 40.5, L"", Saved("rrn")}, Is(B(true)),
         {{1, Masked()}, {3, Digits(10)}, {4, Digits(12)}, {5, Filled()}, {6, Filled()}}, true},
        {pay, {id, L"", 250.0}, Is(B(true)),
         {{1, Masked()}, {2, Is(N(250))}, {3, Digits(10), "rec2"}, {4, Digits(12)}, {5, Filled()}, {6, Filled()}},
         true},
        {cancel, {id, L"", 250.0, Saved("rec2"), L"", L""}, Is(B(true)), {{1, Masked()}, {6, Filled()}}, true},
    };
  }

  testing::TempDataFolder data_{"revisions"};
  testing::FakeWindowService windows_;
  ScopedServiceOverride scope_;
  emulator::TerminalEmulator emu_;
};

TEST_F(RevisionReplayTest, EditionAAt3004) {
  Replay(L"a_velko1c83_3004",
         Concat({EditionAConnects(3004),
                 Day7(L"ОплатитьПлатежнойКартой", L"ВернутьПлатежПоПлатежнойКарте", L"ОтменитьПлатежПоПлатежнойКарте",
                      Saved("id")),
                 EndOfDay()}),
         kCounts3004);
}

TEST_F(RevisionReplayTest, EditionAAt4000) {
  // 0 ID, 1 merchant, 2 customer's QR, 3 amount, then 4 card, 5 receipt,
  // 6 RRN, 7 auth, 8 slip (payment, refund); the cancellation has the
  // original amount at 4 and the rest one further.
  const std::vector<Read> paid = {{3, Is(N(100))}, {4, Masked()}, {5, Digits(10), "rec"}, {6, Digits(12), "rrn"},
                                  {7, Filled()}, {8, Filled()}};
  const std::vector<Step> day = {
      {L"ОплатитьПлатежнойКартой", {Saved("id"), 0.0, L"", 100.0, L""}, Is(B(true)), paid, true, 0, L"",
       "12"},
      {L"ВернутьПлатежПоПлатежнойКарте", {L"1C-own-id", 0.0, L"", 40.5, L"", L"", Saved("rrn")}, Is(B(true)),
       {{4, Masked()}, {5, Digits(10)}, {6, Digits(12)}, {7, Filled()}, {8, Filled()}}, true},
      // This payment's own merchant, in place of the setting's.
      {L"ОплатитьПлатежнойКартой", {Saved("id"), 34.0, L"", 250.0, L""}, Is(B(true)),
       {{3, Is(N(250))}, {4, Masked()}, {5, Digits(10), "rec2"}, {6, Digits(12)}, {7, Filled()}, {8, Filled()}},
       true, 0, L"", "34"},
      // What the server cannot do: refused, nothing written, nothing sent.
      {L"ОплатитьПлатежнойКартой", {Saved("id"), 0.0, L"QR-PHONE-EMV", 100.0, L""}, Is(B(false)), {}, false, 1003,
       kNoConsumerQRText},
      {L"ОплатитьПлатежнойКартойCВыдачейНаличных", {Saved("id"), 0.0, L"", 100.0, 20.0}, Is(B(false)), {}, false,
       1003, kNoCashWithdrawalText},
      {L"ОплатитьПлатежнойКартойСВыдачейНаличных", {Saved("id"), 0.0, L"", 100.0, 20.0}, Is(B(false)), {}, false,
       1003, kNoCashWithdrawalText},
      {L"ОтменитьПлатежПоПлатежнойКарте", {Saved("id"), 0.0, L"", 50.0, 250.0, L"", Saved("rec2"), L"", L"", L""},
       Is(B(false)), {}, false, 1003, kNoPartialCancellationText},
      // The whole amount: a cancellation. Position 4 is never written.
      {L"ОтменитьПлатежПоПлатежнойКарте",
       {Saved("id"), 34.0, L"", 250.0, 250.0, L"", Saved("rec2"), L"", L"", L""}, Is(B(true)),
       {{5, Masked()}, {9, Filled()}}, true, 0, L"", "34"},
      // A merchant number that is none, or that the request's field cannot carry.
      {L"ОплатитьПлатежнойКартой", {Saved("id"), -1.0, L"", 100.0, L""}, Is(B(false)), {}, false, 1004},
      {L"ОплатитьПлатежнойКартой", {Saved("id"), 1.5, L"", 100.0, L""}, Is(B(false)), {}, false, 1004},
      {L"ОплатитьПлатежнойКартой", {Saved("id"), 340.0, L"", 100.0, L""}, Is(B(false)), {}, false, 1004},
      // Without cash, the cash-withdrawal call is a payment.
      {L"ОплатитьПлатежнойКартойCВыдачейНаличных", {Saved("id"), 0.0, L"", 30.0, 0.0, L""}, Is(B(true)),
       {{3, Is(N(30))}, {5, Masked()}, {6, Digits(10)}, {7, Digits(12)}, {8, Filled()}, {9, Filled()}}, true},
  };
  Replay(L"a_velko1c83_4000", Concat({EditionAConnects(4000), day, EndOfDay()}), kCounts4000);
}

TEST_F(RevisionReplayTest, EditionBNeverAsksTheRevision) {
  const std::vector<Step> connects = {
      {L"ПолучитьНомерВерсии", {}, Is(S(GetModuleVersion()))},
      {L"ПолучитьОписание", {L""}, Is(B(true)), {{0, Xml({L"<DriverDescription ", L"Name=\"VELKO32\""})}}},
  };
  const std::vector<Step> opens = {
      {L"Подключить", {L""}, Is(B(true)), {{0, Is(S(L"VELKO32-1")), "id"}}, true, 0, L"Код ответа: 00"},
      {L"ПечатьКвитанцийНаТерминале", {}, Is(B(true))},
  };
  Replay(L"a_velko1c83_3004",
         Concat({connects, Settings(), opens,
                 Day7(L"ОплатитьПлатежнойКартой", L"ВернутьПлатежПоПлатежнойКарте", L"ОтменитьПлатежПоПлатежнойКарте",
                      Saved("id")),
                 EndOfDay()}),
         kCounts3004);
}

TEST_F(RevisionReplayTest, IrpOldRevisionBranchAgainstTheDefaultClass) {
  // IRP tells the old revision by the seven outputs of the description.
  std::vector<Step> steps = {
      {L"GetDescription", {}, Is(B(true)),
       {{0, Is(S(L"VELKO32"))}, {1, Filled()}, {2, Is(S(L"ЭквайринговыйТерминал"))}, {3, Is(I(2004))},
        {4, Is(B(false))}, {5, Is(B(true))}, {6, Is(S(kDriverDownloadURL))}}},
      {L"SetParameter", {L"ServerPort", N(emu_.Port())}, Is(B(true))},
      {L"SetParameter", {L"AnswerTimeOut", 5.0}, Is(B(true))},
      {L"Open", {L""}, Is(B(true)), {{0, Is(S(L"0"))}}, true, 0, L"Код ответа: 00"},
  };
  steps = Concat({steps, Day7(L"PayByPaymentCard", L"ReturnPaymentByPaymentCard", L"CancelPaymentByPaymentCard", L""),
                  {{L"Settlement", {L"", L""}, Is(B(true)), {{1, Filled()}}, true},
                   {L"Close", {L""}, Is(B(true))}}});
  Replay(L"a_velko1c83", steps, kCounts2004);
}

TEST_F(RevisionReplayTest, AWrongEquipmentTypeFailsTheOpeningAndTheTest) {
  const std::vector<Step> steps = Concat(
      {{{L"УстановитьПараметр", {L"EquipmentType", L"ФискальныйРегистратор"}, Is(B(true))}},
       Settings(),
       {{L"Подключить", {L""}, Is(B(false)), {{0, Is(S(L""))}}, false, 1020,
         L"Драйвер эквайринговых терминалов не подключает оборудование типа \"ФискальныйРегистратор\": "
         L"ожидается \"ЭквайринговыйТерминал\" (POSTerminal)"},
        {L"ТестУстройства", {}, Is(B(false)), {{0, Filled()}, {1, Is(S(L""))}}, false, 1020},
        // Letter case does not matter, nor the spelling.
        {L"УстановитьПараметр", {L"equipmenttype", L"posterminal"}, Is(B(true))},
        {L"Подключить", {L""}, Is(B(true)), {{0, Is(S(L"VELKO32-1"))}}, true, 0, L"Код ответа: 00"}}});
  Replay(L"a_velko1c83_4000", steps, kCounts4000);
}

}  // namespace
}  // namespace velko
