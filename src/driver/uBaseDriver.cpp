#include "driver/uBaseDriver.h"

#include <map>
#include <mutex>

#include "common/ResultCodes.h"
#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "common/uCommonUtils.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/PlatformError.h"
#include "platform/Services.h"
#include "platform/TextCompare.h"

namespace velko {

bool NameMatches(const std::wstring& requested, const std::wstring& name,
                 const std::wstring& alias) {
  return SameTextIgnoreCase(requested, name) || SameTextIgnoreCase(requested, alias);
}

TPlatformVer DetectPlatformVersion(const std::wstring& executable_name) {
  std::wstring prefix;
  for (wchar_t c : executable_name.substr(0, 4))
    prefix.push_back(c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c);
  if (prefix == L"1CV7") return TPlatformVer::pv77;
  if (prefix == L"1CV8") return TPlatformVer::pv81;
  return TPlatformVer::pvUnknown;
}

std::wstring GetModuleVersion() { return Services().Process->ModuleFileVersion(); }

TBaseDriver::TBaseDriver()
    : FDeviceID(L"default"),
      FPlatformVer(DetectPlatformVersion(Services().Process->HostExecutableName())) {}

TBaseDriver::~TBaseDriver() = default;

void TBaseDriver::Create() {
  RegisterSettings();
  RegisterMethods();
  FLastResultCode = 0;
  FAppConnection = nullptr;
}

void TBaseDriver::RegisterSettings() {
  AddSetting(L"DebugLogEnabled", L"DebugLogEnabled", TDataType::dtBoolean, HostValue::FromBool(false),
             false, L"Отладочный лог", L"Если равно True, ведется отладочный лог");
}

void TBaseDriver::RegisterMethods() {
  AddMethod(L"ShowSettingsDlg", L"ОтобразитьФормуНастроек", Bind(&TBaseDriver::HostShowSettingsDlg), 0);
  AddMethod(L"GetVersion", L"ПолучитьНомерВерсии", Bind(&TBaseDriver::HostGetVersion), 0);
  if (FPlatformVer == TPlatformVer::pv77) {
    AddMethod(L"ReadSettings", L"СчитатьНастройки", Bind(&TBaseDriver::HostReadSettings), 0);
    AddMethod(L"SaveSettings", L"ЗаписатьНастройки", Bind(&TBaseDriver::HostSaveSettings), 0);
    AddMethod(L"SetDeviceID", L"УстановитьИдентификаторУстройства",
              Bind(&TBaseDriver::HostSetDeviceID), 1);
  }
}

int32_t TBaseDriver::Enable(std::wstring& ResultDescription) {
  ResultDescription.clear();
  return rc::kNotSupported;
}

int32_t TBaseDriver::Enable() {
  std::wstring scratch;
  const int32_t result = Enable(scratch);
  FEnabled = result == 0;
  return result;
}

void TBaseDriver::Disable() {}

bool TBaseDriver::ShowSettingsDlg() { return false; }


void TBaseDriver::ClearError() {
  FLastResultCode = 0;
  FLastResultDescription.clear();
}

int32_t TBaseDriver::AddMethod(const std::wstring& Name, TDriverMethod DriverMethod,
                               int32_t ParamsCount) {
  FMethodList.push_back(TMethodStruct{Name, L"", std::move(DriverMethod), ParamsCount});
  return static_cast<int32_t>(FMethodList.size()) - 1;
}

int32_t TBaseDriver::AddMethod(const std::wstring& Name, const std::wstring& Alias,
                               TDriverMethod DriverMethod, int32_t ParamsCount) {
  const int32_t index = AddMethod(Name, std::move(DriverMethod), ParamsCount);
  FMethodList.back().Alias = Alias;
  return index;
}

int32_t TBaseDriver::GetMethodNum(const std::wstring& MethName) const {
  for (size_t i = 0; i < FMethodList.size(); ++i)
    if (NameMatches(MethName, FMethodList[i].Name, FMethodList[i].Alias))
      return static_cast<int32_t>(i);
  return -1;
}

PMethodStruct TBaseDriver::FindMethod(const std::wstring& MethName) {
  const int32_t index = GetMethodNum(MethName);
  return index < 0 ? nullptr : &FMethodList[static_cast<size_t>(index)];
}

int32_t TBaseDriver::GetPropNum(const std::wstring& PropName) const {
  for (size_t i = 0; i < FSettingList.size(); ++i)
    if (NameMatches(PropName, FSettingList[i].ID, FSettingList[i].Alias))
      return static_cast<int32_t>(i);
  return -1;
}

void TBaseDriver::SetEnabled(bool value) {
  if (value) {
    FEnabled = Enable() == 0;
  } else {
    Disable();
    FEnabled = false;
  }
}

void TBaseDriver::StoreFocus() {
  WindowService& windows = *Services().Windows;
  const WindowHandle window = windows.ForegroundWindow();
  FWindows.push_back(window);
  if (window) windows.EnableInput(window, false);
}

void TBaseDriver::RestoreFocus() {
  if (FWindows.empty()) return;
  WindowService& windows = *Services().Windows;
  const WindowHandle window = FWindows.back();
  if (window) {
    windows.EnableInput(window, true);
    if (!windows.IsForeground(window)) {
      windows.BringToForeground(window);
      windows.SendFocusMessage(window);
    }
  }
  FWindows.pop_back();
}

HostValue TBaseDriver::GetParam(const HostParams& paParams, int32_t Index) {
  const HostValue* item = paParams.At(Index);
  return item ? *item : HostValue();
}

void TBaseDriver::PutParam(HostParams& paParams, int32_t Index, const HostValue& Value) {
  if (HostValue* item = paParams.At(Index)) *item = Value;
}

void TBaseDriver::PutParam(HostParams& paParams, int32_t Index, const std::wstring& Value) {
  PutParam(paParams, Index, HostValue::FromString(Value));
}

void TBaseDriver::PutParam(HostParams& paParams, int32_t Index, int32_t Value) {
  PutParam(paParams, Index, HostValue::FromInt32(Value));
}

void TBaseDriver::PutParam(HostParams& paParams, int32_t Index, double Value) {
  PutParam(paParams, Index, HostValue::FromDouble(Value));
}

HResult TBaseDriver::HostShowSettingsDlg(HostValue& pvarRetValue, HostParams&) {
  pvarRetValue = HostValue::FromBool(ShowSettingsDlg());
  return kS_OK;
}

HResult TBaseDriver::HostGetVersion(HostValue& pvarRetValue, HostParams&) {
  pvarRetValue = HostValue::FromString(GetModuleVersion());
  return kS_OK;
}

HResult TBaseDriver::HostReadSettings(HostValue&, HostParams&) {
  ReadSettings();
  return kS_OK;
}

HResult TBaseDriver::HostSaveSettings(HostValue&, HostParams&) {
  SaveSettings();
  return kS_OK;
}

HResult TBaseDriver::HostSetDeviceID(HostValue&, HostParams& paParams) {
  FDeviceID = GetParam(paParams, 0).ToText();
  return kS_OK;
}

std::wstring DataTypeName(TDataType type) {
  switch (type) {
    case TDataType::dtNumber: return L"Number";
    case TDataType::dtString: return L"String";
    case TDataType::dtDateTime: return L"Date";
    case TDataType::dtBoolean: return L"Boolean";
  }
  return L"";
}

bool IsOfDataType(const HostValue& value, TDataType type) {
  const HostValue& v = value.Deref();
  if (v.IsArray()) return false;
  switch (type) {
    case TDataType::dtNumber:
      switch (v.BaseType()) {
        case vt::kInt16: case vt::kInt32: case vt::kSingle: case vt::kDouble: case vt::kCurrency:
        case vt::kBoolean: case vt::kInt8: case vt::kUInt8: case vt::kUInt16: case vt::kUInt32:
        case vt::kInt64: case vt::kUInt64:
          return true;
        default:
          return false;
      }
    case TDataType::dtString: return v.IsString();
    case TDataType::dtDateTime: return v.BaseType() == vt::kDate;
    case TDataType::dtBoolean: return v.BaseType() == vt::kBoolean;
  }
  return false;
}

namespace {

// A string setting is one line of the settings file. The CR LF pair has been
// written as backslash-n since the first files; a lone CR or LF (the newer
// host's line break) is written as \x0D or \x0A, and a backslash that would
// otherwise read as one of these markers as \x5C, so every text comes back
// as it was and what older files hold reads as before.
constexpr std::pair<std::wstring_view, wchar_t> kLoneMarkers[] = {
    {L"\\x0D", L'\r'}, {L"\\x0A", L'\n'}, {L"\\x5C", L'\\'}};

std::wstring EscapeSettingText(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    const wchar_t next = i + 1 < text.size() ? text[i + 1] : L'\0';
    if (c == L'\r' && next == L'\n') {
      out += L"\\n";
      ++i;
    } else if (c == L'\r') {
      out += L"\\x0D";
    } else if (c == L'\n') {
      out += L"\\x0A";
    } else if (c == L'\\' && (next == L'n' || next == L'x' || next == L'X')) {
      out += L"\\x5C";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::wstring UnescapeSettingText(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const std::wstring_view rest = std::wstring_view(text).substr(i);
    if (rest.substr(0, 2) == L"\\n") {
      out += L"\r\n";
      i += 2;
      continue;
    }
    bool marker = false;
    for (const auto& [code, c] : kLoneMarkers) {
      if (rest.size() >= code.size() && SameTextIgnoreCase(std::wstring(rest.substr(0, code.size())), std::wstring(code))) {
        out.push_back(c);
        i += code.size();
        marker = true;
        break;
      }
    }
    if (!marker) out.push_back(text[i++]);
  }
  return out;
}

}  // namespace

HostValue TextToSettingValue(const std::wstring& text, TDataType type) {
  switch (type) {
    case TDataType::dtNumber: {
      if (text.find_first_of(L".,") != std::wstring::npos) {
        const auto number = TextToFloat(text, ProcessFormats().DecimalSeparator);
        return HostValue::FromDouble(number.value_or(0.0));
      }
      const auto number = TextToInt64(text);
      const bool fits = number && *number >= INT32_MIN && *number <= INT32_MAX;
      return HostValue::FromInt32(fits ? static_cast<int32_t>(*number) : 0);
    }
    case TDataType::dtString: return HostValue::FromString(UnescapeSettingText(text));
    case TDataType::dtDateTime: {
      if (const auto date = TextToDateTime(text)) return HostValue::FromDate(*date);
      throw HostValueError("'" + WideToUtf8(text) + "' is not a valid date and time");
    }
    case TDataType::dtBoolean: return HostValue::FromBool(text == L"True");
  }
  return HostValue::FromString(text);
}

std::wstring SettingValueToText(const HostValue& value) {
  const HostValue& v = value.Deref();
  if (v.IsString()) return EscapeSettingText(v.RawString());
  // A setting the host set to Null is saved as empty text, like an empty one.
  if (v.BaseType() == vt::kNull) return L"";
  if (v.BaseType() == vt::kBoolean) return v.RawInteger() != 0 ? L"True" : L"False";
  if (v.BaseType() == vt::kDate) return DateTimeToText(v.RawDouble());
  return v.ToText();
}

int32_t TBaseDriver::AddSetting(const std::wstring& ID, TDataType ValueType,
                                const HostValue& Default, bool ReadOnly,
                                const std::wstring& Name, const std::wstring& Description) {
  for (size_t i = 0; i < FSettingList.size(); ++i) {
    TSettingStruct& setting = FSettingList[i];
    if (!SameTextIgnoreCase(setting.ID, ID)) continue;
    // A subclass may change a parent's default; the type and caption stay.
    setting.Value = Default;
    setting.Default = Default;
    setting.ReadOnly = ReadOnly;
    setting.Description = Description;
    return static_cast<int32_t>(i);
  }
  FSettingList.push_back(TSettingStruct{ID, L"", Default, ValueType, Default, ReadOnly, Name, Description});
  return static_cast<int32_t>(FSettingList.size()) - 1;
}

int32_t TBaseDriver::AddSetting(const std::wstring& ID, const std::wstring& Alias,
                                TDataType ValueType, const HostValue& Default, bool ReadOnly,
                                const std::wstring& Name, const std::wstring& Description) {
  const int32_t index = AddSetting(ID, ValueType, Default, ReadOnly, Name, Description);
  FSettingList[static_cast<size_t>(index)].Alias = Alias;
  return index;
}

int32_t TBaseDriver::SettingIndex(const std::wstring& ID) const { return GetPropNum(ID); }

PSettingStruct TBaseDriver::FindSetting(const std::wstring& ID) {
  const int32_t index = SettingIndex(ID);
  return index < 0 ? nullptr : &FSettingList[static_cast<size_t>(index)];
}

PSettingStruct TBaseDriver::GetSetting(int32_t Index) {
  if (Index < 0 || Index >= PropsCount()) return nullptr;
  return &FSettingList[static_cast<size_t>(Index)];
}

HostValue TBaseDriver::GetSettingValue(const std::wstring& ID, bool Default) const {
  const int32_t index = SettingIndex(ID);
  if (index < 0) return HostValue();
  const TSettingStruct& setting = FSettingList[static_cast<size_t>(index)];
  return Default ? setting.Default : setting.Value;
}

bool TBaseDriver::GetSettingValueBool(const std::wstring& ID) const { return GetSettingValue(ID).ToBool(); }
int32_t TBaseDriver::GetSettingValueInt(const std::wstring& ID) const { return GetSettingValue(ID).ToInt32(); }
int64_t TBaseDriver::GetSettingValueCurr(const std::wstring& ID) const { return GetSettingValue(ID).ToCurrency(); }
double TBaseDriver::GetSettingValueDbl(const std::wstring& ID) const { return GetSettingValue(ID).ToDouble(); }
double TBaseDriver::GetSettingValueDate(const std::wstring& ID) const { return GetSettingValue(ID).ToDouble(); }
std::wstring TBaseDriver::GetSettingValueStr(const std::wstring& ID) const { return GetSettingValue(ID).ToText(); }

bool TBaseDriver::GetSettingReadOnly(const std::wstring& ID) const {
  const int32_t index = SettingIndex(ID);
  return index >= 0 && FSettingList[static_cast<size_t>(index)].ReadOnly;
}

void TBaseDriver::SetSettingValue(const std::wstring& ID, const HostValue& Value, bool CastToType) {
  const PSettingStruct setting = FindSetting(ID);
  if (!setting) return;
  // A value held by reference is stored as the value itself: the reference
  // belongs to the caller and must not outlive its call.
  const HostValue& value = Value.Deref();
  if (IsOfDataType(value, setting->ValueType))
    setting->Value = value;
  else if (CastToType && value.IsString())
    setting->Value = TextToSettingValue(value.RawString(), setting->ValueType);
}

void TBaseDriver::SetAllSettingsDefault() {
  for (TSettingStruct& setting : FSettingList) setting.Value = setting.Default;
}

void TBaseDriver::StoreSettings(const std::vector<std::wstring>& Settings) {
  FBufSettings.clear();
  for (const std::wstring& id : Settings) FBufSettings.push_back(TShortSettingStruct{id, GetSettingValue(id)});
}

void TBaseDriver::RestoreSettings() {
  for (const TShortSettingStruct& buffered : FBufSettings)
    if (const PSettingStruct setting = FindSetting(buffered.ID)) setting->Value = buffered.Value;
  FBufSettings.clear();
}

namespace {

constexpr wchar_t kSettingsSection[] = L"SETTINGS";

// Whether Windows opens a device, not a file, for this name: CON, PRN, AUX,
// NUL, CONIN$, CONOUT$, COM1 to COM9 and LPT1 to LPT9 (the superscript digits
// too), in any letter case, whatever follows a dot, with trailing blanks.
bool IsReservedDeviceName(const std::wstring& name) {
  std::wstring stem = name.substr(0, name.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  for (wchar_t& c : stem)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
    if (stem == device) return true;
  if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0)) return false;
  const wchar_t digit = stem[3];
  return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

// The device identifier comes from the host; characters that would leave the
// settings folder or that no file name may hold become "_", and a name that
// Windows would open as a device (the pinpad's "COM1") gets the prefix "_".
std::wstring DeviceFileName(const std::wstring& device_id) {
  std::wstring name = device_id;
  for (wchar_t& c : name)
    if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) c = L'_';
  if (name.find_first_not_of(L'.') == std::wstring::npos) name = std::wstring(name.size(), L'_');
  if (IsReservedDeviceName(name)) name.insert(0, 1, L'_');
  return name;
}

}  // namespace

std::wstring TBaseDriver::GetSettingsFileName() {
  std::optional<std::wstring> root = CommonAppDataFolder();
  if (!root) root = UserAppDataFolder();
  if (!root) return L"";
  const std::wstring folder = IncludeTrailingPathDelimiter(*root) + L"a_velko1c83";
  if (!FolderExists(folder)) CreateFolder(folder);
  return IncludeTrailingPathDelimiter(folder) + DeviceFileName(FDeviceID) + L".sts";
}

void TBaseDriver::ReadSettings() {
  if (FPlatformVer != TPlatformVer::pv77) return;
  const std::wstring file = GetSettingsFileName();
  if (file.empty() || !FileExists(file)) return;
  // The text is converted for the declared type first: a string setting would
  // otherwise fit as it stands and keep its "\n" markers instead of its lines.
  for (size_t i = 0; i < FSettingList.size(); ++i) {
    const std::wstring id = FSettingList[i].ID;
    const std::wstring text = ReadIniString(file, kSettingsSection, id, L"");
    SetSettingValue(id, TextToSettingValue(text, FSettingList[i].ValueType), true);
  }
}

void TBaseDriver::SaveSettings() {
  if (FPlatformVer != TPlatformVer::pv77) return;
  const std::wstring file = GetSettingsFileName();
  if (file.empty())
    throw PlatformError("Unable to write to " + WideToUtf8(DeviceFileName(FDeviceID)) +
                        ".sts: the machine has no application-data folder");
  // The folder is shared with every user (the log lives there too): the file
  // gets its own access list first, so that no other user can point the till
  // at a server of their own.
  if (!ProtectIniFile(file)) throw PlatformError("Unable to write to " + WideToUtf8(file));
  for (const TSettingStruct& setting : FSettingList)
    if (!WriteIniString(file, kSettingsSection, setting.ID, SettingValueToText(setting.Value)))
      throw PlatformError("Unable to write to " + WideToUtf8(file));
}

void TBaseDriver::UpdateDebugLogEnabled() { SetDebugLogEnabled(GetSettingValueBool(L"DebugLogEnabled")); }

void TBaseDriver::SetDebugLogEnabled(bool value) { TLog::SetLogLevel(value ? 3 : 0); }

namespace {

struct DriverRegistry {
  std::mutex lock;
  std::map<std::wstring, TDriverFactory> classes;
};

DriverRegistry& Registry() {
  static DriverRegistry registry;
  return registry;
}

}  // namespace

void RegisterDriverClass(const std::wstring& name, TDriverFactory factory) {
  DriverRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.classes[name] = std::move(factory);
}

std::unique_ptr<TBaseDriver> CreateDriverByName(const std::wstring& name) {
  TDriverFactory factory;
  {
    DriverRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto it = registry.classes.find(name);
    if (it == registry.classes.end()) return nullptr;
    factory = it->second;
  }
  return factory();
}

}  // namespace velko
