#include <gtest/gtest.h>

#include "driver/uBaseDriver.h"
#include "platform/Services.h"
#include "support/FakeWindows.h"

namespace velko {
namespace {

// Builds a bare base driver as if loaded by a host with the given executable.
std::unique_ptr<TBaseDriver> DriverUnderHost(const std::wstring& exe) {
  HostNameOverride host(exe);
  ScopedServiceOverride scope(nullptr, &host);
  return CreateDriver<TBaseDriver>();
}

TEST(BaseDriver, LooksUpMethodsByEitherNameInAnyLetterCase) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  const std::pair<const wchar_t*, int32_t> cases[] = {
      {L"ShowSettingsDlg", 0},         {L"showsettingsdlg", 0},
      {L"SHOWSETTINGSDLG", 0},         {L"ОтобразитьФормуНастроек", 0},
      {L"отобразитьформунастроек", 0}, {L"ОТОБРАЗИТЬФОРМУНАСТРОЕК", 0},
      {L"GetVersion", 1},              {L"пОЛУЧИТЬнОМЕРвЕРСИИ", 1},
      {L"ShowSettingsDlg ", -1},       {L" GetVersion", -1},
      {L"", -1},                       {L"Unknown", -1},
  };
  for (const auto& [name, number] : cases) {
    EXPECT_EQ(driver->GetMethodNum(name), number) << std::string(name, name + wcslen(name)).size();
    EXPECT_EQ(driver->FindMethod(name) != nullptr, number >= 0);
  }
}

TEST(BaseDriver, BaseTableDependsOnTheHostExecutable) {
  const std::pair<const wchar_t*, int32_t> hosts[] = {
      {L"1cv7.exe", 5}, {L"1CV7S.EXE", 5}, {L"1Cv7l.exe", 5}, {L"1cv8.exe", 2},
      {L"1cv8c.exe", 2}, {L"velko", 2},    {L"", 2},          {L"1cv", 2},
  };
  for (const auto& [exe, count] : hosts) {
    auto driver = DriverUnderHost(exe);
    EXPECT_EQ(driver->MethsCount(), count);
    if (count == 5) {
      EXPECT_EQ(driver->PlatformVer(), TPlatformVer::pv77);
      ASSERT_EQ(driver->GetMethodNum(L"SetDeviceID"), 4);
      EXPECT_EQ(driver->GetMethod(4)->ParamsCount, 1);
      EXPECT_EQ(driver->GetMethodNum(L"СчитатьНастройки"), 2);
      EXPECT_EQ(driver->GetMethodNum(L"ЗаписатьНастройки"), 3);
    } else {
      EXPECT_NE(driver->PlatformVer(), TPlatformVer::pv77);
      EXPECT_EQ(driver->GetMethodNum(L"ReadSettings"), -1);
      EXPECT_EQ(driver->GetMethodNum(L"SetDeviceID"), -1);
    }
  }
  EXPECT_EQ(DetectPlatformVersion(L"1cv8c.exe"), TPlatformVer::pv81);
  EXPECT_EQ(DetectPlatformVersion(L"1CV8.EXE"), TPlatformVer::pv81);
  EXPECT_EQ(DetectPlatformVersion(L"host.exe"), TPlatformVer::pvUnknown);
}

TEST(BaseDriver, FirstRegistrationWins) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  const int32_t first = driver->AddMethod(L"Twice", L"Дважды", nullptr, 0);
  const int32_t second = driver->AddMethod(L"twice", nullptr, 3);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 3);
  EXPECT_EQ(driver->GetMethodNum(L"TWICE"), first);
  EXPECT_EQ(driver->GetMethodNum(L"дважды"), first);
  EXPECT_EQ(driver->GetMethod(second)->Alias, L"");
}

TEST(BaseDriver, BaseMethodsRunThroughTheTable) {
  auto driver = DriverUnderHost(L"1CV7.EXE");
  auto params = HostArray::Vector({});
  HostValue ret = HostValue::FromInt32(99);

  ASSERT_EQ(driver->GetMethod(driver->GetMethodNum(L"GetVersion"))->DriverMethod(ret, *params), kS_OK);
  EXPECT_EQ(ret, HostValue::FromString(L"1.1.1.4"));

  ASSERT_EQ(driver->GetMethod(0)->DriverMethod(ret, *params), kS_OK);
  EXPECT_EQ(ret, HostValue::FromBool(false));

  auto id = HostArray::Vector({HostValue::FromInt32(12)});
  ret = HostValue::FromInt32(7);
  ASSERT_EQ(driver->GetMethod(4)->DriverMethod(ret, *id), kS_OK);
  EXPECT_EQ(driver->DeviceID(), L"12");
  EXPECT_EQ(ret, HostValue::FromInt32(7)) << "SetDeviceID leaves the return slot alone";
  EXPECT_EQ(driver->LastResultCode(), 0);
}

TEST(BaseDriver, ParameterArrayRoundTrip) {
  auto params = HostArray::Vector({HostValue::FromString(L"card"), HostValue::FromInt32(100), HostValue()});
  EXPECT_EQ(TBaseDriver::GetParam(*params, 0), HostValue::FromString(L"card"));
  EXPECT_EQ(TBaseDriver::GetParam(*params, 3), HostValue());
  EXPECT_EQ(TBaseDriver::GetParam(*params, -1), HostValue());

  TBaseDriver::PutParam(*params, 0, std::wstring(L"****1234"));
  TBaseDriver::PutParam(*params, 1, int32_t{5});
  TBaseDriver::PutParam(*params, 2, 2.5);
  TBaseDriver::PutParam(*params, 3, int32_t{1});  // outside: nothing happens
  TBaseDriver::PutParam(*params, -1, L"x");
  EXPECT_EQ(params->Size(), 3u);
  EXPECT_EQ(params->Items()[0].Type(), vt::kString);
  EXPECT_EQ(params->Items()[1].Type(), vt::kInt32);
  EXPECT_EQ(params->Items()[2].Type(), vt::kDouble);
  EXPECT_EQ(params->Items()[2].ToDouble(), 2.5);
  TBaseDriver::PutParam(*params, 1, HostValue::FromBool(true));
  EXPECT_EQ(params->Items()[1], HostValue::FromBool(true));
}

TEST(BaseDriver, FocusStackRestoresInReverseOrder) {
  testing::FakeWindowService windows;
  ScopedServiceOverride scope(&windows);
  auto driver = CreateDriver<TBaseDriver>();

  driver->RestoreFocus();  // empty stack: nothing
  EXPECT_TRUE(windows.enabled.empty());

  windows.foreground = 0x100;
  driver->StoreFocus();
  windows.foreground = 0x200;
  driver->StoreFocus();
  windows.foreground = 0x300;  // something else came forward meanwhile
  driver->RestoreFocus();
  driver->RestoreFocus();
  driver->RestoreFocus();  // empty again

  const std::vector<std::pair<WindowHandle, bool>> expected = {
      {0x100, false}, {0x200, false}, {0x200, true}, {0x100, true}};
  EXPECT_EQ(windows.enabled, expected);
  EXPECT_EQ(windows.brought_forward, (std::vector<WindowHandle>{0x200, 0x100}));
  EXPECT_EQ(windows.focus_messages, (std::vector<WindowHandle>{0x200, 0x100}));
}

TEST(BaseDriver, FocusStackKeepsNoWindowAndSkipsTheForegroundOne) {
  testing::FakeWindowService windows;
  ScopedServiceOverride scope(&windows);
  auto driver = CreateDriver<TBaseDriver>();
  windows.foreground = 0;
  driver->StoreFocus();  // "no window" is pushed as well
  windows.foreground = 0x10;
  driver->StoreFocus();
  driver->RestoreFocus();  // still in front: enabled, not brought forward
  driver->RestoreFocus();  // the "no window" entry: nothing to do
  EXPECT_EQ(windows.enabled, (std::vector<std::pair<WindowHandle, bool>>{{0x10, false}, {0x10, true}}));
  EXPECT_TRUE(windows.brought_forward.empty());
  EXPECT_TRUE(windows.focus_messages.empty());
}

TEST(BaseDriver, EnabledFollowsTheEnableResult) {
  auto driver = CreateDriver<TBaseDriver>();
  driver->SetEnabled(true);
  EXPECT_FALSE(driver->Enabled()) << "the base Enable answers 1003";
  std::wstring description = L"stale";
  EXPECT_EQ(driver->Enable(description), 1003);
  EXPECT_EQ(description, L"");

  struct Openable : TBaseDriver {
    int disables = 0;
    int32_t Enable(std::wstring& d) override { d = L"ok"; return 0; }
    using TBaseDriver::Enable;
    void Disable() override { ++disables; }
  };
  auto openable = CreateDriver<Openable>();
  openable->SetEnabled(true);
  EXPECT_TRUE(openable->Enabled());
  openable->SetEnabled(false);
  EXPECT_FALSE(openable->Enabled());
  EXPECT_EQ(openable->disables, 1);
}

TEST(BaseDriver, ClassesAreCreatedByRegisteredName) {
  RegisterDriverClass(L"TTestDriver", [] { return CreateDriver<TBaseDriver>(); });
  auto driver = CreateDriverByName(L"TTestDriver");
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->GetMethodNum(L"GetVersion"), 1);
  EXPECT_EQ(driver->DeviceID(), L"default");
  EXPECT_EQ(CreateDriverByName(L"TNoSuchDriver"), nullptr);
}

}  // namespace
}  // namespace velko
