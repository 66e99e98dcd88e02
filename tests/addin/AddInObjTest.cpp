#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "addin/AddInObj.h"
#include "common/Common.Log.h"
#include "platform/PlatformError.h"
#include "platform/Services.h"
#include "support/FakeWindows.h"
#include "support/TempDataFolder.h"

namespace velko {
namespace {

using velko::testing::FakeWindowService;
using velko::testing::ReadWholeFile;
using velko::testing::TempDataFolder;

// The driver that the module would register under "TDriver".
class TestDriver : public TBaseDriver {
 public:
  static inline int destroyed = 0;

  TestDriver() { FAutoKeepFocus = true; }
  ~TestDriver() override { ++destroyed; }

  void RegisterSettings() override {
    TBaseDriver::RegisterSettings();
    AddSetting(L"ServerPort", L"Порт", TDataType::dtNumber, HostValue::FromInt32(16500), false, L"Порт", L"");
  }

  void RegisterMethods() override {
    TBaseDriver::RegisterMethods();
    MarkCardParams(AddMethod(L"Pay", L"Оплатить", Bind(&TestDriver::Pay), 2), {0});
    AddMethod(L"Decline", L"Отказ", Bind(&TestDriver::Decline), 0);
    AddMethod(L"Fail", L"Сбой", Bind(&TestDriver::Fail), 0);
    AddMethod(L"Raise", L"Событие", Bind(&TestDriver::Raise), 0);
  }

 private:
  // Masks the card in place, as the acquiring methods do, and succeeds.
  HResult Pay(HostValue& ret, HostParams& params) {
    const std::wstring card = GetParam(params, 0).ToText();
    PutParam(params, 0, std::wstring(card.size() - 4, L'*') + card.substr(card.size() - 4));
    FLastResultDescription = L"ok";
    ret = HostValue::FromBool(true);
    return kS_OK;
  }
  HResult Decline(HostValue& ret, HostParams&) {
    ret = HostValue::FromBool(false);
    return kS_OK;
  }
  HResult Fail(HostValue& ret, HostParams&) {
    ret = HostValue::FromInt32(7);
    FLastResultDescription = L"before the error";
    throw PlatformError("терминал недоступен");
  }
  HResult Raise(HostValue& ret, HostParams&) {
    FExternalEvent(L"src", L"msg", L"data");
    ret = HostValue::FromBool(true);
    return kS_OK;
  }
};

class FakeEventSink : public IHostEventSink {
 public:
  HResult depth_answer = kS_OK;
  HResult event_answer = kS_OK;
  std::vector<long> depths;
  std::vector<std::vector<std::wstring>> events;

  HResult SetEventBufferDepth(long depth) override {
    depths.push_back(depth);
    return depth_answer;
  }
  HResult ExternalEvent(const std::wstring& s, const std::wstring& m, const std::wstring& d) override {
    events.push_back({s, m, d});
    return event_answer;
  }
};

class FakeConnection : public IHostConnection {
 public:
  std::shared_ptr<IHostEventSink> sink;
  std::shared_ptr<IHostEventSink> QueryEventSink() override { return sink; }
};

class AddInTest : public ::testing::Test {
 protected:
  AddInTest() : data_("addin"), scope_(&windows_) {
    RegisterDriverClass(L"TDriver", [] { return CreateDriver<TestDriver>(); });
    TLog::ResetForTesting();
    TLog::SetClock([] { return LocalDateTime{2024, 1, 31, 12, 0, 0, 0}; });
    TLog::SetLogFileName(L"a_velko1c83", L"");
    windows_.foreground = 0x42;
  }
  ~AddInTest() override { TLog::ResetForTesting(); }

  // An initialised object as if created by a host with the given executable.
  std::unique_ptr<TAddInObject> Create(const std::wstring& exe = L"1cv8.exe", IHostConnection* connection = nullptr) {
    HostNameOverride host(exe);
    ScopedServiceOverride scope(nullptr, &host);
    auto object = std::make_unique<TAddInObject>();
    EXPECT_EQ(object->Init(connection ? connection : &connection_), kS_OK);
    return object;
  }

  int32_t Method(TAddInObject& object, const wchar_t* name) {
    int32_t number = -2;
    EXPECT_EQ(object.FindMethod(name, number), kS_OK);
    return number;
  }

  std::vector<std::string> LogLines() const {
    const std::string text = ReadWholeFile(std::filesystem::path(TLog::LogFileName()));
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
      end = text.find("\r\n", start);
      if (end == std::string::npos) break;
      const std::string line = text.substr(start, end - start);
      if (line.rfind("2024.01.31 ", 0) == 0) lines.push_back(line.substr(23));  // without the stamp
    }
    return lines;
  }

  TempDataFolder data_;
  FakeWindowService windows_;
  ScopedServiceOverride scope_;
  FakeConnection connection_;
};

TEST_F(AddInTest, BeforeInitOnlyCountsAnswer) {
  TAddInObject object;
  int32_t count = -1;
  EXPECT_EQ(object.GetNProps(count), kS_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(object.GetNMethods(count), kS_OK);
  EXPECT_EQ(count, 0);
  bool cap = true;
  EXPECT_EQ(object.CapSettingsDlg(cap), kS_FALSE);
  EXPECT_FALSE(cap);
  EXPECT_EQ(object.ChangeSettings(), kS_FALSE);
  HostValue ret;
  auto params = HostArray::Vector({});
  EXPECT_EQ(object.CallAsFunc(0, ret, *params), kS_FALSE);
  EXPECT_EQ(object.FindMethod(L"GetVersion", count), kS_OK);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(object.Done(), kS_OK);
}

TEST_F(AddInTest, PropertyAndMethodDescriptions) {
  auto object = Create();
  std::wstring text = L"untouched";
  EXPECT_EQ(object->RegisterExtensionAs(text), kS_OK);
  EXPECT_EQ(text, L"a_velko1c83");
  auto info = HostArray::Vector({HostValue()});
  EXPECT_EQ(object->GetInfo(*info), kS_OK);
  EXPECT_EQ(info->Items()[0], HostValue::FromString(L"2000"));

  int32_t number = 0;
  EXPECT_EQ(object->GetNProps(number), kS_OK);
  EXPECT_EQ(number, 2);
  EXPECT_EQ(object->FindProp(L"порт", number), kS_OK);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(object->FindProp(L"nothing", number), kS_OK);
  EXPECT_EQ(number, -1);
  EXPECT_EQ(object->GetPropName(1, 0, text), kS_OK);
  EXPECT_EQ(text, L"ServerPort");
  EXPECT_EQ(object->GetPropName(1, 1, text), kS_OK);
  EXPECT_EQ(text, L"Порт");
  EXPECT_EQ(object->GetPropName(2, 0, text), kS_FALSE);
  EXPECT_EQ(text, L"Порт") << "nothing written out of range";

  HostValue value = HostValue::FromInt32(5);
  EXPECT_EQ(object->GetPropVal(1, value), kS_OK);
  EXPECT_EQ(value, HostValue::FromInt32(16500));
  EXPECT_EQ(object->GetPropVal(-1, value), kS_FALSE);
  EXPECT_TRUE(value.IsEmpty());
  // Written as given: no type check, no conversion.
  EXPECT_EQ(object->SetPropVal(1, HostValue::FromString(L"abc")), kS_OK);
  EXPECT_EQ(object->Driver()->GetSettingValue(L"ServerPort"), HostValue::FromString(L"abc"));
  EXPECT_EQ(object->SetPropVal(2, HostValue()), kS_FALSE);
  bool flag = true;
  EXPECT_EQ(object->IsPropReadable(0, flag), kS_OK);
  EXPECT_TRUE(flag);
  flag = false;
  EXPECT_EQ(object->IsPropWritable(0, flag), kS_OK);
  EXPECT_FALSE(flag) << "the flag stays as the host passed it";

  const int32_t pay = Method(*object, L"оплатить");
  EXPECT_EQ(pay, 2);
  EXPECT_EQ(object->GetMethodName(pay, 0, text), kS_OK);
  EXPECT_EQ(text, L"Pay");
  EXPECT_EQ(object->GetMethodName(pay, 1, text), kS_OK);
  EXPECT_EQ(text, L"Pay") << "the alias flag does not matter";
  EXPECT_EQ(object->GetNParams(pay, number), kS_OK);
  EXPECT_EQ(number, 2);
  EXPECT_EQ(object->GetNParams(99, number), kS_FALSE);
  EXPECT_EQ(number, 2);
  EXPECT_EQ(object->HasRetVal(99, number), kS_OK);
  EXPECT_EQ(number, 1);
  value = HostValue::FromInt32(1);
  EXPECT_EQ(object->GetParamDefValue(pay, 0, value), kS_OK);
  EXPECT_TRUE(value.IsEmpty());
  bool cap = true;
  EXPECT_EQ(object->CapSettingsDlg(cap), kS_OK);
  EXPECT_FALSE(cap);
  EXPECT_EQ(object->ChangeSettings(), kS_FALSE);
  EXPECT_EQ(object->SetLocale(L"ru_RU"), kS_OK);
}

TEST_F(AddInTest, UnknownMethodIsRefusedWithoutALogLine) {
  auto object = Create();
  TLog::SetLogLevel(3);
  EXPECT_EQ(Method(*object, L"Unknown"), -1);
  HostValue ret = HostValue::FromInt32(3);
  auto params = HostArray::Vector({});
  int32_t count = 0;
  object->GetNMethods(count);
  for (int32_t number : {-1, count, 1000}) {
    EXPECT_EQ(object->CallAsFunc(number, ret, *params), kS_FALSE);
    EXPECT_EQ(object->CallAsProc(number, *params), kS_FALSE);
  }
  EXPECT_EQ(ret, HostValue::FromInt32(3));
  EXPECT_FALSE(std::filesystem::exists(TLog::LogFileName())) << "not even the banner";
  EXPECT_TRUE(windows_.enabled.empty()) << "no focus wrap either";
}

TEST_F(AddInTest, CallIsLoggedBeforeAndAfterWithCardNumbersMasked) {
  auto object = Create();
  TLog::SetLogLevel(3);
  HostValue ret;
  auto params = HostArray::Vector({HostValue::FromString(L"4111111111111111"), HostValue::FromInt32(100)});
  EXPECT_EQ(object->CallAsFunc(Method(*object, L"Pay"), ret, *params), kS_OK);
  EXPECT_EQ(ret, HostValue::FromBool(true));
  const std::vector<std::string> expected = {
      "\t> Pay: \tParams: [('************1111'; 100)]",
      "\t< Pay: \tResult=True; Params: [('************1111'; 100)]; LastResultDescription: ok",
  };
  EXPECT_EQ(LogLines(), expected);
  const std::vector<std::pair<WindowHandle, bool>> focus = {{0x42, false}, {0x42, true}};
  EXPECT_EQ(windows_.enabled, focus);
}

TEST_F(AddInTest, RaisingMethodIsCaughtLoggedAndShown) {
  auto object = Create();
  TLog::SetLogLevel(3);
  HostValue ret;
  auto params = HostArray::Vector({});
  EXPECT_EQ(object->CallAsFunc(Method(*object, L"Сбой"), ret, *params), kS_FALSE);
  EXPECT_EQ(ret, HostValue::FromInt32(7)) << "what the method wrote stays";
  const std::vector<std::string> expected = {
      "\t> Fail: \tParams: [()]",
      "\tERROR!\tEXCEPTION: \tтерминал недоступен",
  };
  EXPECT_EQ(LogLines(), expected);
  ASSERT_EQ(windows_.error_boxes.size(), 1u);
  EXPECT_EQ(windows_.error_boxes[0].first, L"EXCEPTION");
  EXPECT_EQ(windows_.error_boxes[0].second, L"Method: Fail\r\nMessage: терминал недоступен");
  const std::vector<std::pair<WindowHandle, bool>> focus = {{0x42, false}, {0x42, true}};
  EXPECT_EQ(windows_.enabled, focus) << "the focus stack is popped once";
  EXPECT_EQ(object->Driver()->LastResultDescriptionField(), L"before the error");

  // The driver stays usable: the call that raised is no longer running, so
  // the next one is carried out, not refused as nested (1009). A procedure
  // call takes the same path.
  for (int i = 0; i < 2; ++i) {
    HostValue paid;
    auto card = HostArray::Vector({HostValue::FromString(L"12345")});
    EXPECT_EQ(object->CallAsFunc(Method(*object, L"Pay"), paid, *card), kS_OK);
    EXPECT_EQ(paid, HostValue::FromBool(true)) << "call " << i;
    EXPECT_EQ(*card->At(0), HostValue::FromString(L"*2345")) << "call " << i;
    EXPECT_EQ(object->CallAsProc(Method(*object, L"Fail"), *params), kS_FALSE);
  }
  EXPECT_EQ(windows_.error_boxes.size(), 3u);
}

TEST_F(AddInTest, OldestHostGetsIntegersForBooleans) {
  for (const wchar_t* exe : {L"1CV7.EXE", L"1cv8.exe"}) {
    SCOPED_TRACE(exe[3] == L'7' ? "pv77" : "pv81");
    const bool pv77 = exe[3] == L'7';
    TLog::ResetForTesting();
    TLog::SetClock([] { return LocalDateTime{2024, 1, 31, 12, 0, 0, 0}; });
    TLog::SetLogFileName(pv77 ? L"old" : L"new", L"");
    auto object = Create(exe);
    TLog::SetLogLevel(3);
    HostValue ret;
    auto params = HostArray::Vector({HostValue::FromString(L"12345"), HostValue()});
    EXPECT_EQ(object->CallAsFunc(Method(*object, L"Pay"), ret, *params), kS_OK);
    EXPECT_EQ(ret, pv77 ? HostValue::FromInt32(1) : HostValue::FromBool(true));
    EXPECT_EQ(object->CallAsFunc(Method(*object, L"Decline"), ret, *params), kS_OK);
    EXPECT_EQ(ret, pv77 ? HostValue::FromInt32(0) : HostValue::FromBool(false));
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].rfind("\t< Pay: \tResult=True;", 0), 0u) << lines[1];
    EXPECT_EQ(lines[3].rfind("\t< Decline: \tResult=False;", 0), 0u) << lines[3];
  }
}

TEST_F(AddInTest, DoneDestroysOnlyItsOwnDriver) {
  const int before = TestDriver::destroyed;
  auto twice = Create();
  TBaseDriver* driver = twice->Driver();
  EXPECT_EQ(twice->Init(&connection_), kS_OK);
  EXPECT_EQ(twice->Driver(), driver) << "a second Init keeps the driver";
  EXPECT_EQ(twice->Done(), kS_OK);
  EXPECT_EQ(twice->Driver(), driver) << "its number is not the driver's any more";
  EXPECT_EQ(TestDriver::destroyed, before);

  auto once = Create();
  EXPECT_EQ(once->Driver()->DriverObjNumber(), static_cast<uint8_t>(once->ObjectNumber() & 0xFF));
  EXPECT_EQ(once->Done(), kS_OK);
  EXPECT_EQ(once->Driver(), nullptr);
  EXPECT_EQ(TestDriver::destroyed, before + 1);
  EXPECT_EQ(once->Init(&connection_), kS_OK) << "a further Init creates a driver again";
  EXPECT_NE(once->Driver(), nullptr);
}

TEST_F(AddInTest, ObjectNumbersPastTwoHundredFiftyFiveStillPairWithTheirDriver) {
  // Bring the process-wide counter to a multiple of 256 (at least 256).
  auto scratch = Create();
  while (TAddInObject::ObjectCounter() < 256 || TAddInObject::ObjectCounter() % 256 != 0)
    ASSERT_EQ(scratch->Init(&connection_), kS_OK);
  const int before = TestDriver::destroyed;
  auto object = Create();
  EXPECT_GE(object->ObjectNumber(), 256);
  EXPECT_EQ(object->Driver()->DriverObjNumber(), 0);
  EXPECT_EQ(object->Done(), kS_OK);
  EXPECT_EQ(object->Driver(), nullptr);
  EXPECT_EQ(TestDriver::destroyed, before + 1);
}

TEST_F(AddInTest, SwitchingTheLogOnThroughThePropertyIsLogged) {
  auto object = Create();
  ASSERT_EQ(TLog::LogLevel(), 0);
  int32_t number = -1;
  ASSERT_EQ(object->FindProp(L"debuglogenabled", number), kS_OK);
  EXPECT_EQ(object->SetPropVal(number, HostValue::FromBool(true)), kS_OK);
  EXPECT_EQ(TLog::LogLevel(), 3);
  EXPECT_EQ(object->SetPropVal(1, HostValue::FromInt32(17000)), kS_OK);
  EXPECT_EQ(object->SetPropVal(number, HostValue::FromBool(false)), kS_OK);
  EXPECT_EQ(TLog::LogLevel(), 0);
  const std::vector<std::string> expected = {
      "\tSetPropVal: \tDebugLogEnabled=True",
      "\tSetPropVal: \tServerPort=17000",
  };
  EXPECT_EQ(LogLines(), expected);
  // A value that is no Boolean is refused and the previous one stays, so
  // that every later opening can still read it.
  EXPECT_EQ(object->SetPropVal(number, HostValue::FromString(L"maybe")), kS_FALSE);
  HostValue kept;
  ASSERT_EQ(object->GetPropVal(number, kept), kS_OK);
  EXPECT_EQ(kept, HostValue::FromBool(false));
}

TEST_F(AddInTest, EventsReachTheHost) {
  auto sink = std::make_shared<FakeEventSink>();
  FakeConnection connection;
  connection.sink = sink;
  auto object = Create(L"1cv8.exe", &connection);
  EXPECT_EQ(sink->depths, std::vector<long>{100});
  HostValue ret;
  auto params = HostArray::Vector({});
  EXPECT_EQ(object->CallAsFunc(Method(*object, L"Raise"), ret, *params), kS_OK);
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0], (std::vector<std::wstring>{L"src", L"msg", L"data"}));

  sink->event_answer = kE_FAIL;  // a refusal is an error of the method that raised it
  EXPECT_EQ(object->CallAsFunc(Method(*object, L"Raise"), ret, *params), kS_FALSE);
  EXPECT_EQ(windows_.error_boxes.size(), 1u);

  EXPECT_EQ(object->Done(), kS_OK);
  EXPECT_EQ(sink.use_count(), 2) << "released by Done (the connection holds the other)";

  // Without an event interface the hook does nothing.
  auto silent = Create();
  EXPECT_EQ(silent->CallAsFunc(Method(*silent, L"Raise"), ret, *params), kS_OK);
}

TEST_F(AddInTest, HostFailuresDuringInitDoNotEscape) {
  auto sink = std::make_shared<FakeEventSink>();
  sink->depth_answer = kE_FAIL;
  FakeConnection connection;
  connection.sink = sink;
  auto refused = Create(L"1cv8.exe", &connection);  // still S_OK
  EXPECT_NE(refused->Driver(), nullptr);

  class ThrowingSink : public FakeEventSink {
    HResult SetEventBufferDepth(long) override { throw std::runtime_error("host gone"); }
  };
  connection.sink = std::make_shared<ThrowingSink>();
  TAddInObject object;
  EXPECT_EQ(object.Init(&connection), kE_FAIL);
}

}  // namespace
}  // namespace velko
