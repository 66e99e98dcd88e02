#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "common/uCommonUtils.h"
#include "driver/uBaseDriver.h"
#include "platform/IniFile.h"
#include "platform/PlatformError.h"
#include "platform/Services.h"
#include "support/TempDataFolder.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#endif

namespace velko {
namespace {

using velko::testing::TempDataFolder;

// A driver with settings of every kind the driver family uses.
class SettingsDriver : public TBaseDriver {
 public:
  void RegisterSettings() override {
    TBaseDriver::RegisterSettings();
    AddSetting(L"ServerAddress", TDataType::dtString, HostValue::FromString(L"127.0.0.1"), false,
               L"Адрес", L"Адрес сервера");
    AddSetting(L"ServerPort", L"Порт", TDataType::dtNumber, HostValue::FromInt32(16500), false,
               L"Порт", L"Порт сервера");
    AddSetting(L"Timeout", TDataType::dtNumber, HostValue::FromDouble(180.0), true, L"Ожидание", L"");
    AddSetting(L"Slip", TDataType::dtString, HostValue::FromString(L""), false, L"Слип", L"");
    AddSetting(L"Start", TDataType::dtDateTime, HostValue::FromDate(0), false, L"Начало", L"");
  }
};

std::unique_ptr<SettingsDriver> DriverUnderHost(const std::wstring& exe) {
  HostNameOverride host(exe);
  ScopedServiceOverride scope(nullptr, &host);
  return CreateDriver<SettingsDriver>();
}

TEST(Settings, DataTypeNames) {
  EXPECT_EQ(DataTypeName(TDataType::dtNumber), L"Number");
  EXPECT_EQ(DataTypeName(TDataType::dtString), L"String");
  EXPECT_EQ(DataTypeName(TDataType::dtDateTime), L"Date");
  EXPECT_EQ(DataTypeName(TDataType::dtBoolean), L"Boolean");
  EXPECT_EQ(DataTypeName(static_cast<TDataType>(4)), L"");
}

TEST(Settings, BaseDriverRegistersTheDebugLogSwitch) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  ASSERT_EQ(driver->GetPropNum(L"debuglogenabled"), 0);
  const PSettingStruct setting = driver->GetSetting(0);
  EXPECT_EQ(setting->Alias, L"DebugLogEnabled");
  EXPECT_EQ(setting->ValueType, TDataType::dtBoolean);
  EXPECT_EQ(setting->Value, HostValue::FromBool(false));
  EXPECT_EQ(setting->Name, L"Отладочный лог");
  EXPECT_EQ(setting->Description, L"Если равно True, ведется отладочный лог");
  EXPECT_EQ(driver->PropsCount(), 6);
  EXPECT_EQ(driver->SettingsCount(), 6);
  EXPECT_EQ(driver->GetPropNum(L"порт"), 2) << "found by its alias";
  EXPECT_EQ(driver->GetSetting(-1), nullptr);
  EXPECT_EQ(driver->GetSetting(driver->PropsCount()), nullptr);
  EXPECT_EQ(driver->FindSetting(L"Nothing"), nullptr);
}

TEST(Settings, ReRegistrationKeepsTypeAndName) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  driver->SetSettingValue(L"DebugLogEnabled", HostValue::FromBool(false), false);
  const int32_t index = driver->AddSetting(L"DEBUGLOGENABLED", TDataType::dtString,
                                           HostValue::FromBool(true), true, L"Другое имя", L"Другое описание");
  EXPECT_EQ(index, 0);
  EXPECT_EQ(driver->PropsCount(), 6);
  const PSettingStruct setting = driver->GetSetting(0);
  EXPECT_EQ(setting->ID, L"DebugLogEnabled");
  EXPECT_EQ(setting->Name, L"Отладочный лог");
  EXPECT_EQ(setting->ValueType, TDataType::dtBoolean);
  EXPECT_EQ(setting->Description, L"Другое описание");
  EXPECT_EQ(setting->Value, HostValue::FromBool(true));
  EXPECT_EQ(setting->Default, HostValue::FromBool(true));
  EXPECT_TRUE(setting->ReadOnly);
  EXPECT_EQ(setting->Alias, L"DebugLogEnabled") << "the form without an alias keeps it";
  // Aliases are not compared when registering: "Порт" is a new setting.
  EXPECT_EQ(driver->AddSetting(L"Порт", TDataType::dtNumber, HostValue::FromInt32(1), false, L"", L""), 6);
}

TEST(Settings, SetSettingValueChecksTheTypeAndCastsStringsOnRequest) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  struct Case {
    const wchar_t* id;
    HostValue value;
    bool cast;
    HostValue expected;
  };
  const HostValue port = HostValue::FromInt32(16500);
  const Case cases[] = {
      {L"ServerPort", HostValue::FromString(L"16600"), false, port},  // refused
      {L"ServerPort", HostValue::FromString(L"16600"), true, HostValue::FromInt32(16600)},
      {L"ServerPort", HostValue::FromString(L"180,5"), true, HostValue::FromDouble(180.5)},
      {L"ServerPort", HostValue::FromString(L"180.5"), true, HostValue::FromDouble(0.0)},
      {L"ServerPort", HostValue::FromString(L"abc"), true, HostValue::FromInt32(0)},
      {L"ServerPort", HostValue::FromString(L"99999999999"), true, HostValue::FromInt32(0)},
      {L"ServerPort", HostValue::FromBool(true), false, HostValue::FromBool(true)},  // fits
      {L"ServerPort", HostValue::FromInteger(vt::kUInt64, 7), false, HostValue::FromInteger(vt::kUInt64, 7)},
      {L"ServerPort", HostValue::FromDate(1), true, port},  // not a number, not a string
      {L"ServerPort", HostValue::FromInteger(vt::kInt, 7), false, port},
      {L"ServerAddress", HostValue::FromInt32(1), true, HostValue::FromString(L"127.0.0.1")},
      {L"ServerAddress", HostValue::FromString(L"a\\nb"), false, HostValue::FromString(L"a\\nb")},
      {L"ServerAddress", HostValue::FromString(L"a\\nb"), true, HostValue::FromString(L"a\\nb")},
      {L"ServerAddress", HostValue::FromString(L"rt", vt::kRuntimeUString), false,
       HostValue::FromString(L"rt", vt::kRuntimeUString)},
      {L"DebugLogEnabled", HostValue::FromString(L"True"), true, HostValue::FromBool(true)},
      {L"DebugLogEnabled", HostValue::FromString(L"true"), true, HostValue::FromBool(false)},
      {L"DebugLogEnabled", HostValue::FromInt32(1), true, HostValue::FromBool(true)},  // refused
      {L"Start", HostValue::FromString(L"31.01.2024 10:00:00"), true,
       HostValue::FromDate(*EncodeDateTime({2024, 1, 31, 10, 0, 0, 0}))},
      {L"порт", HostValue::FromInt32(5), false, HostValue::FromInt32(5)},  // by alias
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
    driver->SetAllSettingsDefault();
    if (std::wstring(c.id) == L"DebugLogEnabled") driver->SetSettingValue(c.id, HostValue::FromBool(true), false);
    driver->SetSettingValue(c.id, c.value, c.cast);
    EXPECT_EQ(driver->GetSettingValue(c.id), c.expected);
  }
  // An unknown setting: nothing happens, nothing is raised.
  EXPECT_NO_THROW(driver->SetSettingValue(L"Unknown", HostValue::FromInt32(1), true));
  EXPECT_THROW(driver->SetSettingValue(L"Start", HostValue::FromString(L"no date"), true), HostValueError);
  // A value given by reference is stored as the value itself.
  auto target = std::make_shared<HostValue>(HostValue::FromInt32(42));
  driver->SetSettingValue(L"ServerPort", HostValue::ByRef(target), false);
  *target = HostValue::FromInt32(43);
  EXPECT_EQ(driver->GetSettingValue(L"ServerPort"), HostValue::FromInt32(42));
}

TEST(Settings, GettersConvertAndReportMissingSettings) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  driver->SetSettingValue(L"ServerPort", HostValue::FromInt32(17000), false);
  EXPECT_EQ(driver->GetSettingValue(L"ServerPort", true), HostValue::FromInt32(16500));
  EXPECT_EQ(driver->GetSettingValue(L"ServerPort"), HostValue::FromInt32(17000));
  EXPECT_EQ(driver->GetSettingValue(L"Missing"), HostValue());
  EXPECT_EQ(driver->GetSettingValueInt(L"ServerPort"), 17000);
  EXPECT_EQ(driver->GetSettingValueStr(L"ServerPort"), L"17000");
  EXPECT_EQ(driver->GetSettingValueCurr(L"ServerPort"), 17000 * kCurrencyScale);
  EXPECT_EQ(driver->GetSettingValueDbl(L"Timeout"), 180.0);
  EXPECT_EQ(driver->GetSettingValueDate(L"Timeout"), 180.0);
  EXPECT_FALSE(driver->GetSettingValueBool(L"Missing"));
  EXPECT_EQ(driver->GetSettingValueInt(L"Missing"), 0);
  EXPECT_EQ(driver->GetSettingValueStr(L"Missing"), L"");
  EXPECT_THROW(driver->GetSettingValueInt(L"ServerAddress"), HostValueError);
  EXPECT_TRUE(driver->GetSettingReadOnly(L"timeout"));
  EXPECT_FALSE(driver->GetSettingReadOnly(L"ServerPort"));
  EXPECT_FALSE(driver->GetSettingReadOnly(L"Missing"));
}

TEST(Settings, StoreAndRestore) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  driver->StoreSettings({L"ServerPort", L"Missing", L"ServerAddress"});
  driver->SetSettingValue(L"ServerPort", HostValue::FromInt32(1), false);
  driver->SetSettingValue(L"ServerAddress", HostValue::FromString(L"10.0.0.1"), false);
  driver->RestoreSettings();
  EXPECT_EQ(driver->GetSettingValue(L"ServerPort"), HostValue::FromInt32(16500));
  EXPECT_EQ(driver->GetSettingValue(L"ServerAddress"), HostValue::FromString(L"127.0.0.1"));
  driver->SetSettingValue(L"ServerPort", HostValue::FromInt32(2), false);
  driver->RestoreSettings();  // the buffer was emptied
  EXPECT_EQ(driver->GetSettingValue(L"ServerPort"), HostValue::FromInt32(2));
}

TEST(Settings, TextConversionsForTheFile) {
  const double date = *EncodeDateTime({2024, 1, 31, 10, 20, 30, 0});
  EXPECT_EQ(SettingValueToText(HostValue::FromString(L"line1\r\nline2")), L"line1\\nline2");
  EXPECT_EQ(SettingValueToText(HostValue::FromBool(true)), L"True");
  EXPECT_EQ(SettingValueToText(HostValue::FromBool(false)), L"False");
  EXPECT_EQ(SettingValueToText(HostValue::FromDouble(180.5)), L"180,5");
  EXPECT_EQ(SettingValueToText(HostValue::FromInt32(-3)), L"-3");
  EXPECT_EQ(SettingValueToText(HostValue()), L"");
  EXPECT_EQ(SettingValueToText(HostValue::Null()), L"");
  EXPECT_EQ(SettingValueToText(HostValue::FromDate(date)), L"31.01.2024 10:20:30");
  EXPECT_EQ(SettingValueToText(HostValue::FromDate(std::floor(date))), L"31.01.2024");

  EXPECT_EQ(TextToSettingValue(L"line1\\nline2", TDataType::dtString), HostValue::FromString(L"line1\r\nline2"));
  // Lone line breaks and backslashes that would read as a marker come back as
  // they were; the markers of older files read as before.
  for (const wchar_t* text : {L"a\nb\rc\r\nd\n", L"C:\\new\\x0A\\", L"\\n\\x5C", L"\r\r\n\n"}) {
    const std::wstring line = SettingValueToText(HostValue::FromString(text));
    EXPECT_EQ(line.find_first_of(L"\r\n"), std::wstring::npos) << WideToUtf8(line);
    EXPECT_EQ(TextToSettingValue(line, TDataType::dtString), HostValue::FromString(text)) << WideToUtf8(line);
  }
  EXPECT_EQ(SettingValueToText(HostValue::FromString(L"a\nb\rc")), L"a\\x0Ab\\x0Dc");
  EXPECT_EQ(TextToSettingValue(L"C:\\temp\\x", TDataType::dtString), HostValue::FromString(L"C:\\temp\\x"));
  EXPECT_EQ(TextToSettingValue(L"31.01.2024 10:20:30", TDataType::dtDateTime), HostValue::FromDate(date));
  EXPECT_EQ(TextToSettingValue(L"1,5", TDataType::dtNumber), HostValue::FromDouble(1.5));
  EXPECT_EQ(TextToSettingValue(L"", TDataType::dtNumber), HostValue::FromInt32(0));
  EXPECT_EQ(TextToSettingValue(L"x", static_cast<TDataType>(9)), HostValue::FromString(L"x"));
  EXPECT_THROW(TextToSettingValue(L"", TDataType::dtDateTime), HostValueError);
}

TEST(Settings, FileRoundTripUnderTheOldestHost) {
  TempDataFolder data("settings");
  auto driver = DriverUnderHost(L"1CV7.EXE");
  const std::filesystem::path file = data.Root() / "a_velko1c83" / "default.sts";
  EXPECT_EQ(std::filesystem::path(driver->GetSettingsFileName()), file);

  driver->ReadSettings();  // no file: nothing changes
  EXPECT_EQ(driver->GetSettingValue(L"ServerPort"), HostValue::FromInt32(16500));

  driver->SetSettingValue(L"Slip", HostValue::FromString(L"Касса\r\nline2"), false);
  driver->SetSettingValue(L"ServerPort", HostValue::FromInt32(17001), false);
  driver->SetSettingValue(L"Timeout", HostValue::FromDouble(90.5), false);
  driver->SetSettingValue(L"DebugLogEnabled", HostValue::FromBool(true), false);
  driver->SaveSettings();
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"Slip", L""), L"Касса\\nline2");
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"Timeout", L""), L"90,5");
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"Start", L"?"), L"30.12.1899");

  // A fresh driver of the same device reads everything back.
  auto other = DriverUnderHost(L"1cv7.exe");
  other->ReadSettings();
  EXPECT_EQ(other->GetSettingValue(L"Slip").ToText(), L"Касса\r\nline2");
  EXPECT_EQ(other->GetSettingValue(L"ServerPort"), HostValue::FromInt32(17001));
  EXPECT_EQ(other->GetSettingValue(L"Timeout"), HostValue::FromDouble(90.5));
  EXPECT_EQ(other->GetSettingValue(L"DebugLogEnabled"), HostValue::FromBool(true));

  // An absent key resets its setting from the empty text; a Boolean needs
  // exactly "True"; keys of no setting stay in the file.
  ASSERT_TRUE(WriteIniString(file.wstring(), L"SETTINGS", L"Foreign", L"keep me"));
  std::filesystem::path plain = data.Root() / "plain.sts";
  ASSERT_TRUE(WriteIniString(plain.wstring(), L"SETTINGS", L"DebugLogEnabled", L"true"));
  ASSERT_TRUE(WriteIniString(plain.wstring(), L"SETTINGS", L"Start", L"01.02.2024"));
  std::filesystem::remove(file);  // (overwrite_existing fails in the mingw runtime)
  std::filesystem::copy_file(plain, file);
  other->ReadSettings();
  EXPECT_EQ(other->GetSettingValue(L"ServerPort"), HostValue::FromInt32(0));
  EXPECT_EQ(other->GetSettingValue(L"Slip"), HostValue::FromString(L""));
  EXPECT_EQ(other->GetSettingValue(L"DebugLogEnabled"), HostValue::FromBool(false));
  other->SaveSettings();
  ASSERT_TRUE(WriteIniString(file.wstring(), L"SETTINGS", L"Foreign", L"keep me"));
  other->SaveSettings();
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"Foreign", L""), L"keep me");
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"ServerPort", L""), L"0");

  // A setting the host set to Null is saved as empty text, and the keys after it still are.
  other->FindSetting(L"ServerAddress")->Value = HostValue::Null();
  other->SetSettingValue(L"ServerPort", HostValue::FromInt32(5), false);
  other->SaveSettings();
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"ServerAddress", L"?"), L"");
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"ServerPort", L""), L"5");
}

#ifdef _WIN32
// A file's access list in the system's own notation: "D:P(A;;FA;;;SY)...".
std::wstring AccessList(const std::wstring& file) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  LPWSTR text = nullptr;
  if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                            nullptr, &sd) == ERROR_SUCCESS)
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
  const std::wstring list = text ? text : L"unreadable";
  LocalFree(text);
  LocalFree(sd);
  return list;
}

// Whether this system keeps the list a file is given: wine answers one made
// from the Unix mode whatever was set.
bool FileAccessListsKept(const std::filesystem::path& probe) {
  std::ofstream(probe) << "probe";
  PSECURITY_DESCRIPTOR sd = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)", SDDL_REVISION_1, &sd, nullptr);
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  SetNamedSecurityInfoW(const_cast<LPWSTR>(probe.wstring().c_str()), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                        nullptr);
  LocalFree(sd);
  const std::wstring list = AccessList(probe.wstring());
  return list.rfind(L"D:P", 0) == 0 && list.find(L'(') != std::wstring::npos &&
         list.substr(list.find(L'(')) == L"(A;;FA;;;SY)";
}

std::wstring CurrentUserSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  unsigned char buffer[256];
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  LPWSTR sid = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
  const std::wstring text = sid;
  LocalFree(sid);
  return text;
}
#endif

// The settings folder is open to every user: the file itself is not, whether
// SaveSettings makes it or finds one that inherited the folder's access.
TEST(Settings, OnlyTheWriterAndAdministratorsMayChangeTheFile) {
  TempDataFolder data("settings");
#ifdef _WIN32
  const bool lists_kept = FileAccessListsKept(data.Root() / "probe");
#endif
  auto driver = DriverUnderHost(L"1cv7.exe");
  for (const wchar_t* device : {L"new", L"inherited"}) {
    driver->SetDeviceID(device);
    const std::wstring file = driver->GetSettingsFileName();
    if (std::wstring(device) == L"inherited") {
      ASSERT_TRUE(WriteIniString(file, L"SETTINGS", L"ServerPort", L"1"));
    }
    driver->SaveSettings();
    EXPECT_EQ(ReadIniString(file, L"SETTINGS", L"ServerPort", L""), L"16500");
#ifdef _WIN32
    // Protected (nothing inherited): SYSTEM, Administrators and the writer
    // full control, Users read.
    const std::wstring list = AccessList(file);
    if (lists_kept) {
      EXPECT_EQ(list.rfind(L"D:P", 0), 0u) << WideToUtf8(list);
      EXPECT_EQ(list.substr(list.find(L'(')),
                L"(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + CurrentUserSid() + L")(A;;FR;;;BU)");
    }
#else
    EXPECT_EQ(std::filesystem::status(file).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read | std::filesystem::perms::others_read);
#endif
  }
#ifdef _WIN32
  if (!lists_kept) GTEST_SKIP() << "this system (wine) keeps no access list on files; the list is checked on Windows";
#endif
}

TEST(Settings, OtherHostsNeitherReadNorCreateAnything) {
  TempDataFolder data("settings");
  for (const wchar_t* exe : {L"1cv8.exe", L"1cv8c.exe", L"velko"}) {
    auto driver = DriverUnderHost(exe);
    driver->SetSettingValue(L"ServerPort", HostValue::FromInt32(1), false);
    driver->SaveSettings();
    driver->ReadSettings();
    EXPECT_EQ(driver->GetSettingValue(L"ServerPort"), HostValue::FromInt32(1));
  }
  EXPECT_TRUE(std::filesystem::is_empty(data.Root()));
}

TEST(Settings, DeviceIdNamesTheFileWithinTheFolder) {
  TempDataFolder data("settings");
  auto driver = DriverUnderHost(L"1cv7.exe");
  driver->SetDeviceID(L"Pinpad-2");
  EXPECT_EQ(std::filesystem::path(driver->GetSettingsFileName()), data.Root() / "a_velko1c83" / "Pinpad-2.sts");
  // Names that Windows opens as devices get the prefix "_"; their look-alikes do not.
  const std::pair<const wchar_t*, const wchar_t*> names[] = {
      {L"COM1", L"_COM1.sts"},     {L"com9", L"_com9.sts"},   {L"Lpt1.txt", L"_Lpt1.txt.sts"},
      {L"CON", L"_CON.sts"},       {L"nul", L"_nul.sts"},     {L"PRN", L"_PRN.sts"},
      {L"aux .x", L"_aux .x.sts"}, {L"COM\u00B9", L"_COM\u00B9.sts"}, {L"conout$", L"_conout$.sts"},
      {L"COM10", L"COM10.sts"},    {L"LPT0", L"LPT0.sts"},    {L"CONSOLE", L"CONSOLE.sts"},
      {L"NULL.x", L"NULL.x.sts"},
  };
  for (const auto& [id, file] : names) {
    driver->SetDeviceID(id);
    const std::wstring path = driver->GetSettingsFileName();
    EXPECT_EQ(path.substr(path.find_last_of(L"\\/") + 1), file) << WideToUtf8(id);
  }
  // An identifier that would leave the folder is kept inside it.
  driver->SetDeviceID(L"../..\\x:y");
  const std::filesystem::path escaped(driver->GetSettingsFileName());
  EXPECT_EQ(escaped.parent_path(), data.Root() / "a_velko1c83");
  EXPECT_EQ(escaped.filename(), ".._.._x_y.sts");
  driver->SetDeviceID(L"..");
  EXPECT_EQ(std::filesystem::path(driver->GetSettingsFileName()).filename(), "__.sts");
}

TEST(Settings, FailedWriteIsRaisedWithTheFileName) {
  TempDataFolder data("settings");
  auto driver = DriverUnderHost(L"1cv7.exe");
  // A folder where the file should be: no key can be written.
  std::filesystem::create_directories(data.Root() / "a_velko1c83" / "default.sts");
  try {
    driver->SaveSettings();
    FAIL() << "no error raised";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + (data.Root() / "a_velko1c83" / "default.sts").string());
  }
}

// The folder is shared: a second name of another file in the settings file's
// place is neither read nor written through, and the refusal says why.
TEST(Settings, ASecondNameInTheFilesPlaceIsRefused) {
  TempDataFolder data("settings");
  auto driver = DriverUnderHost(L"1cv7.exe");
  const std::filesystem::path file(driver->GetSettingsFileName());
  const std::filesystem::path victim = data.Root() / "victim.sts";
  std::ofstream(victim) << "[SETTINGS]\nServerAddress=10.9.9.9\n";
  std::filesystem::create_hard_link(victim, file);
  driver->SetSettingValue(L"ServerPort", HostValue::FromInt32(16500), false);
  try {
    driver->ReadSettings();
    FAIL() << "no error raised";
  } catch (const PlatformError& error) {
    EXPECT_NE(std::string(error.what()).find("more than one name"), std::string::npos) << error.what();
  }
  EXPECT_EQ(driver->GetSettingValue(L"ServerPort"), HostValue::FromInt32(16500)) << "nothing reset";
  EXPECT_THROW(driver->SaveSettings(), PlatformError);
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[SETTINGS]\nServerAddress=10.9.9.9\n");
}

TEST(Settings, DebugLogFollowsTheSetting) {
  auto driver = DriverUnderHost(L"1cv8.exe");
  TLog::SetLogLevel(0);
  driver->SetSettingValue(L"DebugLogEnabled", HostValue::FromBool(true), false);
  EXPECT_EQ(TLog::LogLevel(), 0) << "only a refresh makes the log follow";
  driver->UpdateDebugLogEnabled();
  EXPECT_EQ(TLog::LogLevel(), 3);
  driver->SetDebugLogEnabled(false);
  EXPECT_EQ(TLog::LogLevel(), 0);
}

}  // namespace
}  // namespace velko
