// TCustomBaseDriver: the equipment standard's nine methods on top of the base
// driver: the driver description, the last error, the parameter description
// (an XML document built from the settings) and setting a parameter, opening
// and closing the device, additional actions, and the device test.
//
// Each host method has a host form (bound in the method table, reading and
// writing the host's parameter array) and, where the content is device
// specific, a typed virtual operation that the concrete driver overrides.
// The driver's revision picks the methods and their layout: from 3004 on the
// host asks the revision, reads the description as one XML text, sets the
// equipment type as a parameter, gets a device ID from the opening and, at
// 4000, sets the localization.
// Used on the host's thread only.
#pragma once

#include <cstdint>
#include <string>

#include <optional>

#include "driver/MethodLayouts.h"
#include "driver/uBaseDriver.h"

namespace velko {

struct TDriverInfo {
  std::wstring Name;
  std::wstring Description;
  std::wstring EquipmentType;
  int32_t InterfaceRevision = 0;
  std::wstring DownloadURL;
};

// Where integrators download the driver; set by the build.
extern const wchar_t* const kDriverDownloadURL;

// The equipment type the host names in "УстановитьПараметр" (3004 on), in
// either of its two spellings.
inline constexpr const wchar_t* kEquipmentTypeAcquiring = L"ЭквайринговыйТерминал";
inline constexpr const wchar_t* kEquipmentTypeAcquiringEnglish = L"POSTerminal";

class TCustomBaseDriver : public TBaseDriver {
 public:
  // Raises std::invalid_argument for a revision without a layout.
  explicit TCustomBaseDriver(int32_t InterfaceRevision = kDefaultInterfaceRevision);

  void RegisterMethods() override;
  void Create() override;

  const TDriverInfo& DriverInfo() const { return FDriverInfo; }
  const TInterfaceLayout& Layout() const { return *FLayout; }
  // The text the host receives for the last result: the description the last
  // method left, else the standard text of a standard code, else the hook's.
  std::wstring LastResultDescription();

  // Host forms.
  virtual HResult GetDescription(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult GetLastErrorForm(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult GetParameters(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult SetParameterForm(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult OpenForm(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult CloseForm(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult GetAdditionalActions(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult DoAdditionalAction(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult DeviceTest(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult GetInterfaceRevisionForm(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult GetDescriptionXmlForm(HostValue& pvarRetValue, HostParams& paParams);
  virtual HResult SetLocalizationForm(HostValue& pvarRetValue, HostParams& paParams);

  // The per-code text hook.
  virtual void GetResultDescription(int32_t Code, std::wstring& Description);

  // Typed operations.
  virtual int32_t GetDescription(std::wstring& Name, std::wstring& Description,
                                 std::wstring& EquipmentType, int32_t& InterfaceRevision,
                                 bool& IntegrationLibrary, bool& MainDriverInstalled,
                                 std::wstring& DownloadURL);
  virtual std::wstring GetParameters();
  virtual int32_t DeviceTest(std::wstring& Description);
  virtual std::wstring GetAdditionalActions();
  virtual int32_t DoAdditionalAction(const std::wstring& ActionName);
  // The ID that "Подключить" answers from 3004 on; every operation passes it
  // back, and any other ID the host passes still means this driver's device.
  virtual std::wstring OpenedDeviceID();

 protected:
  // 0 when the host named no equipment type or an acquiring terminal; else
  // the code for a wrong driver class, its text left as the description.
  int32_t CheckEquipmentType();

  // The typed description's outputs, for both host forms of "ПолучитьОписание".
  struct TDescriptionOutputs {
    std::wstring Name, Description, EquipmentType, DownloadURL;
    int32_t InterfaceRevision = 0;
    bool IntegrationLibrary = false, MainDriverInstalled = false;
  };
  // Runs the typed GetDescription: clears the description, sets the last code.
  TDescriptionOutputs RunGetDescription();

  TDriverInfo FDriverInfo;
  const TInterfaceLayout* FLayout;
  // The equipment type the host set (3004 on); none until it sets one.
  std::optional<std::wstring> FEquipmentType;
};

// The XML text of the parameter description for a settings list.
std::wstring BuildParameterDescription(const std::vector<TSettingStruct>& Settings);

}  // namespace velko
