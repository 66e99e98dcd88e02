// A host call that arrives while another is still running, as when a host's
// timer fires while the driver waits for the server: the complete driver
// behind the add-in object, with an exchange that calls back into the object
// while it "waits".
#include <gtest/gtest.h>

#include <functional>

#include "addin/AddInObj.h"
#include "common/Common.Log.h"
#include "platform/Services.h"
#include "support/FakeWindows.h"
#include "support/ScriptedExchange.h"
#include "support/TempDataFolder.h"
#include "terminal/uDriver.h"

namespace velko {
namespace {

using testing::ScriptedExchange;

// The operations that reached the "server", kept apart from the exchange,
// which goes with its driver.
std::vector<std::wstring> g_operations;

class CallingBackExchange : public ScriptedExchange {
 public:
  std::function<void()> while_waiting;
  int32_t ExecuteTransaction(TTransactDataList& list) override {
    g_operations.push_back(list.GetTagData(TagOperationType));
    if (while_waiting) while_waiting();
    return ScriptedExchange::ExecuteTransaction(list);
  }
};

CallingBackExchange* g_exchange = nullptr;

HostValue S(const wchar_t* text) { return HostValue::FromString(text); }

class ReentryTest : public ::testing::Test {
 protected:
  ReentryTest() : scope_(&windows_) {
    RegisterDriverClass(L"TDriver", []() -> std::unique_ptr<TBaseDriver> {
      auto exchange = std::make_unique<CallingBackExchange>();
      g_exchange = exchange.get();
      return CreateDriver<TDriver>(std::unique_ptr<TTransactionExchange>(std::move(exchange)));
    });
    EXPECT_EQ(object_.Init(nullptr), kS_OK);
  }

  int32_t Method(const wchar_t* name) {
    int32_t number = -1;
    EXPECT_EQ(object_.FindMethod(name, number), kS_OK);
    return number;
  }
  HResult Call(const wchar_t* name, HostValue& ret, std::shared_ptr<HostArray>& params) {
    return object_.CallAsFunc(Method(name), ret, *params);
  }

  testing::TempDataFolder data_{"reentry"};
  testing::FakeWindowService windows_;
  ScopedServiceOverride scope_;
  TAddInObject object_;
};

TEST_F(ReentryTest, ANestedCallIsRefusedAndTheRunningSaleIsUntouched) {
  HostValue ret;
  auto open = HostArray::Vector({HostValue()});
  ASSERT_EQ(Call(L"Подключить", ret, open), kS_OK);
  ASSERT_EQ(ret, HostValue::FromBool(true));
  g_operations.clear();

  int nested = 0;
  g_exchange->while_waiting = [&] {
    if (nested++ > 0) return;  // only the outer sale's wait calls back
    // Another payment: refused before it reaches the engine.
    HostValue inner_ret = S(L"host's own");
    auto inner = HostArray::Vector({HostValue(), S(L""), HostValue::FromInt32(50), HostValue(), HostValue(),
                                    HostValue(), HostValue()});
    EXPECT_EQ(Call(L"PayByPaymentCard", inner_ret, inner), kS_OK);
    EXPECT_EQ(inner_ret, HostValue::FromBool(false));
    EXPECT_EQ(inner->Items()[3], HostValue()) << "no receipt number handed out";
    // The last error, asked inside the running call, is the refusal's.
    HostValue code;
    auto text = HostArray::Vector({HostValue()});
    EXPECT_EQ(Call(L"GetLastError", code, text), kS_OK);
    EXPECT_EQ(code, HostValue::FromInt32(1009));
    EXPECT_EQ(text->Items()[0], S(L"Устройство занято"));
    // Properties stay readable; Done waits for the running call.
    HostValue port;
    EXPECT_EQ(object_.GetPropVal(0, port), kS_OK);
    EXPECT_EQ(object_.Done(), kS_OK);
    EXPECT_NE(object_.Driver(), nullptr) << "not destroyed under the running call";
  };

  auto sale = HostArray::Vector({HostValue(), S(L""), HostValue::FromInt32(100), HostValue(), HostValue(),
                                 HostValue(), HostValue()});
  ASSERT_EQ(Call(L"ОплатитьПлатежнойКартой", ret, sale), kS_OK);
  EXPECT_EQ(ret, HostValue::FromBool(true)) << "the outer sale decoded its own answer";
  EXPECT_EQ(g_operations, std::vector<std::wstring>{L"PUR"}) << "one sale reached the server, no void";
  EXPECT_EQ(object_.Driver(), nullptr) << "the deferred Done was carried out";
}

TEST_F(ReentryTest, UnderTheOldestHostTheRefusalIsZero) {
  HostNameOverride host(L"1cv7.exe");
  ScopedServiceOverride scope(nullptr, &host);
  TAddInObject old_host;
  ASSERT_EQ(old_host.Init(nullptr), kS_OK);
  HostValue ret;
  auto none = HostArray::Vector({HostValue()});
  g_exchange->while_waiting = [&] {
    HostValue inner_ret;
    auto inner = HostArray::Vector({HostValue()});
    int32_t number = -1;
    ASSERT_EQ(old_host.FindMethod(L"Подключить", number), kS_OK);
    EXPECT_EQ(old_host.CallAsFunc(number, inner_ret, *inner), kS_OK);
    EXPECT_EQ(inner_ret, HostValue::FromInt32(0));
  };
  int32_t number = -1;
  ASSERT_EQ(old_host.FindMethod(L"Подключить", number), kS_OK);
  ASSERT_EQ(old_host.CallAsFunc(number, ret, *none), kS_OK);
  EXPECT_EQ(ret, HostValue::FromInt32(1));
}

TEST_F(ReentryTest, AnAutomaticVoidLeavesATraceInTheDebugLog) {
  TLog::ResetForTesting();
  TLog::SetLogFileName(L"a_velko1c83", L"");
  int32_t log_switch = -1;
  ASSERT_EQ(object_.FindProp(L"DebugLogEnabled", log_switch), kS_OK);
  ASSERT_EQ(object_.SetPropVal(log_switch, HostValue::FromBool(true)), kS_OK);
  HostValue ret;
  auto open = HostArray::Vector({HostValue()});
  ASSERT_EQ(Call(L"Подключить", ret, open), kS_OK);
  // A sale that times out, then a refund that voids it first.
  g_exchange->replies = {ScriptedExchange::Failure(74), ScriptedExchange::Approved(),
                         ScriptedExchange::Approved()};
  auto sale = HostArray::Vector({HostValue(), S(L""), HostValue::FromInt32(100), HostValue(), HostValue(),
                                 HostValue(), HostValue()});
  ASSERT_EQ(Call(L"PayByPaymentCard", ret, sale), kS_OK);
  ASSERT_EQ(Call(L"ВернутьПлатежПоПлатежнойКарте", ret, sale), kS_OK);
  const std::string log = testing::ReadWholeFile(std::filesystem::path(TLog::LogFileName()));
  TLog::ResetForTesting();
  EXPECT_NE(log.find("Need AutoVoid: \tReceiptNumber=2; Result=74"), std::string::npos) << log;
  EXPECT_NE(log.find("AutoVoid: \tReceiptNumber=2; Result=0"), std::string::npos) << log;
}

}  // namespace
}  // namespace velko
