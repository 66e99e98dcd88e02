#include "driver/uCustomBaseDriver.h"

#include <stdexcept>
#include <string>

#include "VelkoVersion.h"
#include "common/Common.Log.h"
#include "common/ResultCodes.h"
#include "driver/HostXml.h"
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

std::wstring DefaultValueText(const HostValue& value) {
  const HostValue& v = value.Deref();
  if (v.BaseType() == vt::kBoolean && !v.IsArray()) return v.ToBool() ? L"true" : L"false";
  return v.ToText();
}

}  // namespace

const wchar_t* const kDriverDownloadURL = L"" VELKO_DOWNLOAD_URL_TEXT;

std::wstring BuildParameterDescription(const std::vector<TSettingStruct>& Settings) {
  std::wstring xml = kXmlDeclaration;
  xml += L"<Settings><Page Caption=\"Параметры\">";
  for (const TSettingStruct& s : Settings) {
    xml += L"<Parameter";
    AppendXmlAttributes(xml, {{L"Name", s.ID},
                              {L"Caption", s.Name},
                              {L"TypeValue", DataTypeName(s.ValueType)},
                              {L"DefaultValue", DefaultValueText(s.Default)}});
    xml += L"/>";
  }
  xml += L"</Page></Settings>";
  return xml;
}

namespace {

const TInterfaceLayout& LayoutOf(int32_t revision) {
  const TInterfaceLayout* layout = FindInterfaceLayout(revision);
  if (!layout)
    throw std::invalid_argument("The driver has no method layout of interface revision " + std::to_string(revision));
  return *layout;
}

}  // namespace

TCustomBaseDriver::TCustomBaseDriver(int32_t InterfaceRevision)
    : TBaseDriver(InterfaceRevision), FLayout(&LayoutOf(InterfaceRevision)) {}

void TCustomBaseDriver::Create() {
  TBaseDriver::Create();
  FDriverInfo.Name = L"VELKO32";
  FDriverInfo.Description = L"Драйвер эквайринг-терминала VELKO32 \"1С:Совместимо\"";
  FDriverInfo.InterfaceRevision = FInterfaceRevision;
  FDriverInfo.DownloadURL = kDriverDownloadURL;
  FLastResultDescription.clear();
  FLastResultCode = 0;
}

void TCustomBaseDriver::RegisterMethods() {
  TBaseDriver::RegisterMethods();
  // Each entry goes through the virtual host form, so an override is what runs.
  using Form = HResult (TCustomBaseDriver::*)(HostValue&, HostParams&);
  auto bind = [this](Form form) -> TDriverMethod {
    return [this, form](HostValue& ret, HostParams& params) { return (this->*form)(ret, params); };
  };
  for (const TMethodLayout& entry : FLayout->Equipment) {
    Form form = nullptr;
    switch (entry.Method) {
      case THostMethod::hmGetInterfaceRevision: form = &TCustomBaseDriver::GetInterfaceRevisionForm; break;
      case THostMethod::hmGetDescription: form = static_cast<Form>(&TCustomBaseDriver::GetDescription); break;
      case THostMethod::hmGetDescriptionXml: form = &TCustomBaseDriver::GetDescriptionXmlForm; break;
      case THostMethod::hmGetLastError: form = &TCustomBaseDriver::GetLastErrorForm; break;
      case THostMethod::hmGetParameters: form = static_cast<Form>(&TCustomBaseDriver::GetParameters); break;
      case THostMethod::hmSetParameter: form = &TCustomBaseDriver::SetParameterForm; break;
      case THostMethod::hmOpen: form = &TCustomBaseDriver::OpenForm; break;
      case THostMethod::hmClose: form = &TCustomBaseDriver::CloseForm; break;
      case THostMethod::hmGetAdditionalActions:
        form = static_cast<Form>(&TCustomBaseDriver::GetAdditionalActions);
        break;
      case THostMethod::hmDoAdditionalAction: form = static_cast<Form>(&TCustomBaseDriver::DoAdditionalAction); break;
      case THostMethod::hmDeviceTest: form = static_cast<Form>(&TCustomBaseDriver::DeviceTest); break;
      case THostMethod::hmSetLocalization: form = &TCustomBaseDriver::SetLocalizationForm; break;
      default:
        throw std::logic_error("An acquiring method in the equipment part of a layout");
    }
    const int32_t number = AddMethod(entry.Name, entry.Alias, bind(form), entry.ParamsCount);
    if (entry.LookupName) AddMethodLookupName(number, entry.LookupName);
  }
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

TCustomBaseDriver::TDescriptionOutputs TCustomBaseDriver::RunGetDescription() {
  FLastResultDescription.clear();
  TDescriptionOutputs out;
  FLastResultCode = GetDescription(out.Name, out.Description, out.EquipmentType, out.InterfaceRevision,
                                   out.IntegrationLibrary, out.MainDriverInstalled, out.DownloadURL);
  return out;
}

HResult TCustomBaseDriver::GetDescription(HostValue& pvarRetValue, HostParams& paParams) {
  const TDescriptionOutputs out = RunGetDescription();
  PutParam(paParams, 0, out.Name);
  PutParam(paParams, 1, out.Description);
  PutParam(paParams, 2, out.EquipmentType);
  PutParam(paParams, 3, out.InterfaceRevision);
  PutParam(paParams, 4, HostValue::FromBool(out.IntegrationLibrary));
  PutParam(paParams, 5, HostValue::FromBool(out.MainDriverInstalled));
  PutParam(paParams, 6, out.DownloadURL);
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
  if (FLayout->DeviceIDs && SameTextIgnoreCase(name, L"EquipmentType")) {
    // The host's own choice of equipment, checked when the device is opened.
    try {
      FEquipmentType = GetParam(paParams, 1).ToText();
    } catch (const HostValueError&) {
      FEquipmentType = L"(значение без текста)";
    }
    FLastResultCode = 0;
    pvarRetValue = HostValue::FromBool(true);
    return kS_OK;
  }
  SetSettingValue(name, GetParam(paParams, 1), false);
  if (SameTextIgnoreCase(name, L"DebugLogEnabled")) UpdateDebugLogEnabled();
  FLastResultCode = 0;
  pvarRetValue = HostValue::FromBool(true);
  return kS_OK;
}

HResult TCustomBaseDriver::OpenForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  UpdateDebugLogEnabled();
  FLastResultCode = CheckEquipmentType();
  if (FLastResultCode == 0) FLastResultCode = Enable();
  FEnabled = FLastResultCode == 0;
  if (!FLayout->DeviceIDs)
    PutParam(paParams, 0, std::wstring(L"0"));
  else
    PutParam(paParams, 0, FEnabled ? OpenedDeviceID() : std::wstring());
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
  FLastResultCode = CheckEquipmentType();
  if (FLastResultCode != 0) {
    // A driver of another kind of equipment: the test says so at once.
    PutParam(paParams, 0, LastResultDescription());
    PutParam(paParams, 1, std::wstring());
    pvarRetValue = HostValue::FromBool(false);
    return kS_OK;
  }
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

std::wstring TCustomBaseDriver::OpenedDeviceID() { return FDeviceID; }

int32_t TCustomBaseDriver::CheckEquipmentType() {
  if (!FEquipmentType || SameTextIgnoreCase(*FEquipmentType, kEquipmentTypeAcquiring) ||
      SameTextIgnoreCase(*FEquipmentType, kEquipmentTypeAcquiringEnglish))
    return 0;
  FLastResultDescription = L"Драйвер эквайринговых терминалов не подключает оборудование типа \"" +
                           *FEquipmentType + L"\": ожидается \"" + kEquipmentTypeAcquiring + L"\" (" +
                           kEquipmentTypeAcquiringEnglish + L")";
  return rc::kBadDeviceParameters;
}

HResult TCustomBaseDriver::GetInterfaceRevisionForm(HostValue& pvarRetValue, HostParams&) {
  pvarRetValue = HostValue::FromInt32(FInterfaceRevision);
  return kS_OK;
}

HResult TCustomBaseDriver::GetDescriptionXmlForm(HostValue& pvarRetValue, HostParams& paParams) {
  const TDescriptionOutputs out = RunGetDescription();
  // The texts stay Russian whatever localization the host sets.
  const std::wstring version = GetModuleVersion();
  PutParam(paParams, 0,
           XmlDocumentOfOneElement(L"DriverDescription",
                                   {{L"Name", out.Name},
                                    {L"Description", out.Description},
                                    {L"EquipmentType", out.EquipmentType},
                                    {L"DriverVersion", version},
                                    {L"IntegrationComponentVersion", version},
                                    {L"DownloadURL", out.DownloadURL},
                                    {L"LogPath", TLog::LogFileName()},
                                    {L"IntegrationComponent", XmlBoolean(out.IntegrationLibrary)},
                                    {L"MainDriverInstalled", XmlBoolean(out.MainDriverInstalled)},
                                    {L"LogIsEnabled", XmlBoolean(GetSettingValueBool(L"DebugLogEnabled"))},
                                    {L"LocalizationSupported", XmlBoolean(false)},
                                    {L"IsEmulator", XmlBoolean(false)}}));
  pvarRetValue = HostValue::FromBool(FLastResultCode == 0);
  return kS_OK;
}

HResult TCustomBaseDriver::SetLocalizationForm(HostValue& pvarRetValue, HostParams&) {
  // Accepted so that the host goes on; the driver's texts are Russian only,
  // as the description's LocalizationSupported tells the host.
  FLastResultDescription.clear();
  FLastResultCode = 0;
  pvarRetValue = HostValue::FromBool(true);
  return kS_OK;
}

}  // namespace velko
