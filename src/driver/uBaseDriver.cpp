#include "driver/uBaseDriver.h"

#include <map>
#include <mutex>

#include "common/ResultCodes.h"
#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "platform/Services.h"
#include "platform/TextCompare.h"

namespace velko {

TPlatformVer DetectPlatformVersion(const std::wstring& executable_name) {
  std::wstring prefix;
  for (wchar_t c : executable_name.substr(0, 4))
    prefix.push_back(c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c);
  if (prefix == L"1CV7") return TPlatformVer::pv77;
  if (prefix == L"1CV8") return TPlatformVer::pv81;
  return TPlatformVer::pvUnknown;
}

std::wstring GetModuleVersion() { return Services().Process->ModuleFileVersion(); }

TBaseDriver::TBaseDriver(int32_t InterfaceRevision)
    : FDeviceID(L"default"),
      FPlatformVer(DetectPlatformVersion(Services().Process->HostExecutableName())),
      FInterfaceRevision(InterfaceRevision) {}

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

void TBaseDriver::AddMethodLookupName(int32_t Index, const std::wstring& Name) {
  FMethodLookupNames.emplace_back(Name, Index);
}

void TBaseDriver::MarkCardParams(int32_t Index, std::initializer_list<int32_t> Positions) {
  for (int32_t position : Positions) FMethodList.at(static_cast<size_t>(Index)).CardParams |= 1u << position;
}

int32_t TBaseDriver::GetMethodNum(const std::wstring& MethName) const {
  for (size_t i = 0; i < FMethodList.size(); ++i)
    if (NameMatches(MethName, FMethodList[i].Name, FMethodList[i].Alias))
      return static_cast<int32_t>(i);
  for (const auto& [name, index] : FMethodLookupNames)
    if (SameTextIgnoreCase(MethName, name)) return index;
  return -1;
}

PMethodStruct TBaseDriver::FindMethod(const std::wstring& MethName) {
  const int32_t index = GetMethodNum(MethName);
  return index < 0 ? nullptr : &FMethodList[static_cast<size_t>(index)];
}

int32_t TBaseDriver::GetPropNum(const std::wstring& PropName) const { return FSettingList.IndexOf(PropName); }

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

int64_t TBaseDriver::GetAmountParam(const HostParams& paParams, int32_t Index) {
  const HostValue value = GetParam(paParams, Index);
  try {
    return value.ToCurrency();
  } catch (const HostValueError&) {
  }
  const HostValue& v = value.Deref();
  // A number that does not fit is out of range; anything else is no number.
  bool number = false;
  if (!v.IsArray() && !v.IsString()) {
    try {
      (void)v.ToDouble();
      number = true;
    } catch (const HostValueError&) {
    }
  }
  std::wstring shown;
  try {
    if (!v.IsArray()) shown = L"\"" + v.ToText() + L"\"";
  } catch (const HostValueError&) {
  }
  if (shown.empty()) shown = L"(значение без текста)";
  throw HostValueError(WideToUtf8(L"Сумма (параметр " + std::to_wstring(Index) + L") " + shown +
                                  (number ? L" вне допустимого диапазона" : L" не является числом")));
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

int32_t TBaseDriver::AddSetting(const std::wstring& ID, TDataType ValueType,
                                const HostValue& Default, bool ReadOnly,
                                const std::wstring& Name, const std::wstring& Description) {
  return FSettingList.Add(ID, std::nullopt, ValueType, Default, ReadOnly, Name, Description);
}

int32_t TBaseDriver::AddSetting(const std::wstring& ID, const std::wstring& Alias,
                                TDataType ValueType, const HostValue& Default, bool ReadOnly,
                                const std::wstring& Name, const std::wstring& Description) {
  return FSettingList.Add(ID, Alias, ValueType, Default, ReadOnly, Name, Description);
}

HostValue TBaseDriver::GetSettingValue(const std::wstring& ID, bool Default) const {
  return FSettingList.Value(ID, Default);
}

bool TBaseDriver::GetSettingValueBool(const std::wstring& ID) const { return GetSettingValue(ID).ToBool(); }
int32_t TBaseDriver::GetSettingValueInt(const std::wstring& ID) const { return GetSettingValue(ID).ToInt32(); }
int64_t TBaseDriver::GetSettingValueCurr(const std::wstring& ID) const { return GetSettingValue(ID).ToCurrency(); }
double TBaseDriver::GetSettingValueDbl(const std::wstring& ID) const { return GetSettingValue(ID).ToDouble(); }
double TBaseDriver::GetSettingValueDate(const std::wstring& ID) const { return GetSettingValue(ID).ToDouble(); }
std::wstring TBaseDriver::GetSettingValueStr(const std::wstring& ID) const { return GetSettingValue(ID).ToText(); }

void TBaseDriver::ReadSettings() {
  if (FPlatformVer != TPlatformVer::pv77) return;
  ReadSettingsFile(FSettingList, FDeviceID);
}

void TBaseDriver::SaveSettings() {
  if (FPlatformVer != TPlatformVer::pv77) return;
  SaveSettingsFile(FSettingList, FDeviceID);
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

void RegisterDriverClass(const std::wstring& name, TOneRevisionDriverFactory factory) {
  RegisterDriverClass(name, [factory = std::move(factory)](int32_t) { return factory(); });
}

std::unique_ptr<TBaseDriver> CreateDriverByName(const std::wstring& name, int32_t InterfaceRevision) {
  TDriverFactory factory;
  {
    DriverRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto it = registry.classes.find(name);
    if (it == registry.classes.end()) return nullptr;
    factory = it->second;
  }
  std::unique_ptr<TBaseDriver> driver = factory(InterfaceRevision);
  if (driver && driver->InterfaceRevision() != InterfaceRevision) return nullptr;
  return driver;
}

}  // namespace velko
