#include "driver/uCustomBaseDriver.h"

#include "VelkoVersion.h"
#include "common/ResultCodes.h"
#include "driver/u1cLib.h"
#include "platform/TextCompare.h"

namespace velko {
namespace {

// Removes blanks and control characters at both ends.
std::wstring TrimControls(const std::wstring& text) {
  size_t first = 0, last = text.size();
  while (first < last && text[first] <= L' ') ++first;
  while (last > first && text[last - 1] <= L' ') --last;
  return text.substr(first, last - first);
}

void AppendEscaped(std::wstring& out, const std::wstring& text) {
  for (wchar_t c : text) {
    switch (c) {
      case L'&': out += L"&amp;"; break;
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'"': out += L"&quot;"; break;
      case L'\r': out += L"&#xD;"; break;
      case L'\n': out += L"&#xA;"; break;
      case L'\t': out += L"&#x9;"; break;
      default:
        // Other control characters cannot appear in XML 1.0 at all.
        if (static_cast<uint32_t>(c) < 0x20) break;
        out.push_back(c);
    }
  }
}

std::wstring DefaultValueText(const HostValue& value) {
  const HostValue& v = value.Deref();
  if (v.BaseType() == vt::kBoolean && !v.IsArray()) return v.ToBool() ? L"true" : L"false";
  return v.ToText();
}

}  // namespace

const wchar_t* const kDriverDownloadURL = L"" VELKO_DOWNLOAD_URL_TEXT;

std::wstring BuildParameterDescription(const std::vector<TSettingStruct>& Settings) {
  std::wstring xml = L"<?xml version=\"1.0\"?>\r\n<Settings><Page Caption=\"Параметры\">";
  for (const TSettingStruct& s : Settings) {
    xml += L"<Parameter Name=\"";
    AppendEscaped(xml, s.ID);
    xml += L"\" Caption=\"";
    AppendEscaped(xml, s.Name);
    xml += L"\" TypeValue=\"";
    AppendEscaped(xml, DataTypeName(s.ValueType));
    xml += L"\" DefaultValue=\"";
    AppendEscaped(xml, DefaultValueText(s.Default));
    xml += L"\"/>";
  }
  xml += L"</Page></Settings>";
  return xml;
}

TCustomBaseDriver::TCustomBaseDriver() = default;

void TCustomBaseDriver::Create() {
  TBaseDriver::Create();
  FDriverInfo.Name = L"VELKO32";
  FDriverInfo.Description = L"Драйвер эквайринг-терминала VELKO32 \"1С:Совместимо\"";
  FDriverInfo.InterfaceRevision = 2004;
  FDriverInfo.DownloadURL = kDriverDownloadURL;
  FLastResultDescription.clear();
  FLastResultCode = 0;
}

void TCustomBaseDriver::RegisterMethods() {
  TBaseDriver::RegisterMethods();
  // Each entry goes through the virtual host form, so an override is what runs.
  auto bind = [this](HResult (TCustomBaseDriver::*form)(HostValue&, HostParams&)) -> TDriverMethod {
    return [this, form](HostValue& ret, HostParams& params) { return (this->*form)(ret, params); };
  };
  AddMethod(L"ПолучитьОписание", L"GetDescription",
            bind(static_cast<HResult (TCustomBaseDriver::*)(HostValue&, HostParams&)>(
                &TCustomBaseDriver::GetDescription)), 7);
  AddMethod(L"ПолучитьОшибку", L"GetLastError", bind(&TCustomBaseDriver::GetLastErrorForm), 1);
  AddMethod(L"ПолучитьПараметры", L"GetParameters",
            bind(static_cast<HResult (TCustomBaseDriver::*)(HostValue&, HostParams&)>(
                &TCustomBaseDriver::GetParameters)), 1);
  AddMethod(L"УстановитьПараметр", L"SetParameter", bind(&TCustomBaseDriver::SetParameterForm), 2);
  AddMethod(L"Подключить", L"Open", bind(&TCustomBaseDriver::OpenForm), 1);
  AddMethod(L"Отключить", L"Close", bind(&TCustomBaseDriver::CloseForm), 1);
  AddMethod(L"ПолучитьДополнительныеДействия", L"GetAdditionalActions",
            bind(static_cast<HResult (TCustomBaseDriver::*)(HostValue&, HostParams&)>(
                &TCustomBaseDriver::GetAdditionalActions)), 1);
  AddMethod(L"ВыполнитьДополнительноеДействие", L"DoAdditionalAction",
            bind(static_cast<HResult (TCustomBaseDriver::*)(HostValue&, HostParams&)>(
                &TCustomBaseDriver::DoAdditionalAction)), 1);
  AddMethod(L"ТестУстройства", L"DeviceTest",
            bind(static_cast<HResult (TCustomBaseDriver::*)(HostValue&, HostParams&)>(
                &TCustomBaseDriver::DeviceTest)), 2);
}

std::wstring TCustomBaseDriver::LastResultDescription() {
  if (!FLastResultDescription.empty()) return FLastResultDescription;
  const int32_t code = FLastResultCode;
  const bool standard = (code >= 0 && code <= 2500) || (code >= 3001 && code <= 3500) ||
                        (code >= 4001 && code <= 4500) || (code >= 7001 && code <= 7500) ||
                        (code >= 8001 && code <= 8500) || (code >= 11001 && code <= 11500) ||
                        (code >= 99001 && code <= 99500);
  if (standard) return EquipmentErrorText(code, L"", L"");
  std::wstring text;
  GetResultDescription(code, text);
  return text;
}

void TCustomBaseDriver::GetResultDescription(int32_t Code, std::wstring& Description) {
  Description = EquipmentErrorText(Code, FLastResultDescription, L"");
}

HResult TCustomBaseDriver::GetDescription(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  std::wstring name, description, type, url;
  int32_t revision = 0;
  bool integration = false, installed = false;
  FLastResultCode = GetDescription(name, description, type, revision, integration, installed, url);
  PutParam(paParams, 0, name);
  PutParam(paParams, 1, description);
  PutParam(paParams, 2, type);
  PutParam(paParams, 3, revision);
  PutParam(paParams, 4, HostValue::FromBool(integration));
  PutParam(paParams, 5, HostValue::FromBool(installed));
  PutParam(paParams, 6, url);
  pvarRetValue = HostValue::FromBool(FLastResultCode == 0);
  return kS_OK;
}

HResult TCustomBaseDriver::GetLastErrorForm(HostValue& pvarRetValue, HostParams& paParams) {
  PutParam(paParams, 0, LastResultDescription());
  pvarRetValue = HostValue::FromInt32(FLastResultCode);
  return kS_OK;
}

HResult TCustomBaseDriver::GetParameters(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  const std::wstring xml = GetParameters();
  FLastResultCode = 0;
  PutParam(paParams, 0, xml);
  pvarRetValue = HostValue::FromBool(true);
  return kS_OK;
}

HResult TCustomBaseDriver::SetParameterForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  const std::wstring name = GetParam(paParams, 0).ToText();
  SetSettingValue(name, GetParam(paParams, 1), false);
  if (SameTextIgnoreCase(name, L"DebugLogEnabled")) UpdateDebugLogEnabled();
  FLastResultCode = 0;
  pvarRetValue = HostValue::FromBool(true);
  return kS_OK;
}

HResult TCustomBaseDriver::OpenForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  UpdateDebugLogEnabled();
  FLastResultCode = Enable();
  FEnabled = FLastResultCode == 0;
  PutParam(paParams, 0, std::wstring(L"0"));
  pvarRetValue = HostValue::FromBool(FLastResultCode == 0);
  return kS_OK;
}

HResult TCustomBaseDriver::CloseForm(HostValue& pvarRetValue, HostParams&) {
  FLastResultDescription.clear();
  Disable();
  FLastResultCode = 0;
  FEnabled = false;
  pvarRetValue = HostValue::FromBool(true);
  return kS_OK;
}

HResult TCustomBaseDriver::GetAdditionalActions(HostValue& pvarRetValue, HostParams& paParams) {
  const std::wstring actions = GetAdditionalActions();
  FLastResultCode = 0;
  PutParam(paParams, 0, actions);
  pvarRetValue = HostValue::FromBool(true);
  return kS_OK;
}

HResult TCustomBaseDriver::DoAdditionalAction(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultCode = DoAdditionalAction(GetParam(paParams, 0).ToText());
  pvarRetValue = HostValue::FromBool(FLastResultCode == 0);
  return kS_OK;
}

HResult TCustomBaseDriver::DeviceTest(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  FLastResultCode = Enable();
  std::wstring text;
  GetResultDescription(FLastResultCode, text);
  text = TrimControls(text);
  if (FLastResultCode == 0) {
    text.clear();
    FLastResultCode = DeviceTest(text);
    Disable();
  }
  PutParam(paParams, 0, text);
  PutParam(paParams, 1, std::wstring());
  pvarRetValue = HostValue::FromBool(FLastResultCode == 0);
  return kS_OK;
}

int32_t TCustomBaseDriver::GetDescription(std::wstring& Name, std::wstring& Description,
                                          std::wstring& EquipmentType, int32_t& InterfaceRevision,
                                          bool& IntegrationLibrary, bool& MainDriverInstalled,
                                          std::wstring& DownloadURL) {
  Name = FDriverInfo.Name;
  Description = FDriverInfo.Description;
  EquipmentType = FDriverInfo.EquipmentType;
  InterfaceRevision = FDriverInfo.InterfaceRevision;
  DownloadURL = FDriverInfo.DownloadURL;
  IntegrationLibrary = false;
  MainDriverInstalled = true;
  return 0;
}

std::wstring TCustomBaseDriver::GetParameters() { return BuildParameterDescription(FSettingList.Items()); }

int32_t TCustomBaseDriver::DeviceTest(std::wstring& Description) {
  Description = L"Нет ошибок";
  return 0;
}

std::wstring TCustomBaseDriver::GetAdditionalActions() { return L""; }

int32_t TCustomBaseDriver::DoAdditionalAction(const std::wstring&) { return rc::kNotSupported; }

}  // namespace velko
