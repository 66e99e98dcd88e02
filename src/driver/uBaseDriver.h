// TBaseDriver: the root of the driver class family.
//
// It holds the method table (every host method under two names with its
// parameter count and the code that runs it), the state every driver shares
// (enabled flag, last result, host platform version, device identifier, the
// focus stack, the event hook), the settings list (driver/uDriverSettings),
// and the helpers through which a driver method reads and writes the host's
// parameter array.
//
// Construction is two-phase because the tables are built by virtual
// operations: CreateDriver<T>() constructs the object and then runs the
// virtual Create(), which registers the most derived class's settings and
// methods. A driver is of one revision of the host's interface for its life
// (given to the constructor, 2004 by default); the revision picks the layout
// its subclasses register their host methods in (driver/MethodLayouts). A
// driver is used on the host's thread only; nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/HResult.h"
#include "common/HostValue.h"
#include "driver/uDriverSettings.h"
#include "platform/WindowService.h"

namespace velko {

enum class TPlatformVer : uint8_t { pvUnknown = 0, pv77 = 1, pv81 = 2, pv82 = 3 };

// A bound host method: the host's return slot and the call's parameters.
using TDriverMethod = std::function<HResult(HostValue& pvarRetValue, HostParams& paParams)>;
using TExternalEventProc = std::function<void(const std::wstring& strSource,
                                              const std::wstring& strMessage,
                                              const std::wstring& strData)>;

struct TMethodStruct {
  std::wstring Name;
  std::wstring Alias;
  TDriverMethod DriverMethod;
  int32_t ParamsCount = 0;
  // Bit k set: parameter k carries card data (in or out), which the call
  // log masks whole but for the card number's last four digits.
  uint32_t CardParams = 0;
};
using PMethodStruct = TMethodStruct*;

// The platform version that a host executable's file name stands for.
TPlatformVer DetectPlatformVersion(const std::wstring& executable_name);

// The add-in module's file version as "%d.%d.%d.%d".
std::wstring GetModuleVersion();

class TBaseDriver {
 public:
  explicit TBaseDriver(int32_t InterfaceRevision = kDefaultInterfaceRevision);
  virtual ~TBaseDriver();

  // The standard's 2.4 layout, which every host that does not ask speaks.
  static constexpr int32_t kDefaultInterfaceRevision = 2004;
  int32_t InterfaceRevision() const { return FInterfaceRevision; }
  TBaseDriver(const TBaseDriver&) = delete;
  TBaseDriver& operator=(const TBaseDriver&) = delete;

  // Virtual operations, in slot order.
  virtual void RegisterSettings();
  virtual void RegisterMethods();
  // The constructor's table-building steps; overrides call their parent's first.
  virtual void Create();
  virtual int32_t Enable(std::wstring& ResultDescription);
  virtual int32_t Enable();
  virtual void Disable();
  virtual bool ShowSettingsDlg();

  void ClearError();
  int32_t AddMethod(const std::wstring& Name, TDriverMethod DriverMethod, int32_t ParamsCount);
  int32_t AddMethod(const std::wstring& Name, const std::wstring& Alias,
                    TDriverMethod DriverMethod, int32_t ParamsCount);
  // A further name under which lookup finds the entry at Index, tried only
  // after every entry's two names; the entry's own names and number stay.
  void AddMethodLookupName(int32_t Index, const std::wstring& Name);
  // Marks the parameters of method Index that carry card data.
  void MarkCardParams(int32_t Index, std::initializer_list<int32_t> Positions);
  int32_t GetMethodNum(const std::wstring& MethName) const;
  PMethodStruct FindMethod(const std::wstring& MethName);
  PMethodStruct GetMethod(int32_t Index) { return &FMethodList[static_cast<size_t>(Index)]; }
  int32_t GetPropNum(const std::wstring& PropName) const;
  PSettingStruct GetProperty(int32_t Index) { return FSettingList.At(Index); }

  void StoreFocus();
  void RestoreFocus();

  static HostValue GetParam(const HostParams& paParams, int32_t Index);
  // The amount at Index as currency. A value that is not an amount raises an
  // error in the cashier's words that names the parameter and its value.
  static int64_t GetAmountParam(const HostParams& paParams, int32_t Index);
  static void PutParam(HostParams& paParams, int32_t Index, const std::wstring& Value);
  static void PutParam(HostParams& paParams, int32_t Index, int32_t Value);
  static void PutParam(HostParams& paParams, int32_t Index, double Value);
  static void PutParam(HostParams& paParams, int32_t Index, const HostValue& Value);
  // Without these, a literal would pick the Boolean or text overload by accident.
  static void PutParam(HostParams& paParams, int32_t Index, const wchar_t* Value) {
    PutParam(paParams, Index, std::wstring(Value));
  }

  // Properties.
  const std::wstring& DeviceID() const { return FDeviceID; }
  void SetDeviceID(const std::wstring& value) { FDeviceID = value; }
  uint8_t DriverObjNumber() const { return FDriverObjNumber; }
  void SetDriverObjNumber(uint8_t value) { FDriverObjNumber = value; }
  bool AutoKeepFocus() const { return FAutoKeepFocus; }
  void SetAutoKeepFocus(bool value) { FAutoKeepFocus = value; }
  const TExternalEventProc& ExecExternalEvent() const { return FExternalEvent; }
  void SetExecExternalEvent(TExternalEventProc hook) { FExternalEvent = std::move(hook); }
  const std::wstring& LastResultDescriptionField() const { return FLastResultDescription; }
  void SetLastResultDescription(const std::wstring& value) { FLastResultDescription = value; }
  // A remark of the running call for its closing call-log line (what the
  // cashier typed into a dialog, which no parameter shows); the add-in object
  // clears it when a call starts.
  const std::wstring& CallLogNote() const { return FCallLogNote; }
  void SetCallLogNote(std::wstring value) { FCallLogNote = std::move(value); }
  int32_t LastResultCode() const { return FLastResultCode; }
  bool CapSettingsDlg() const { return FCapSettingsDlg; }
  TPlatformVer PlatformVer() const { return FPlatformVer; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);
  int32_t MethsCount() const { return static_cast<int32_t>(FMethodList.size()); }
  int32_t PropsCount() const { return FSettingList.Count(); }
  int32_t SettingsCount() const { return PropsCount(); }

  // Settings. Registration keeps the first registration's type and display
  // name; values are converted to the declared type on the way in.
  int32_t AddSetting(const std::wstring& ID, TDataType ValueType, const HostValue& Default,
                     bool ReadOnly, const std::wstring& Name, const std::wstring& Description);
  int32_t AddSetting(const std::wstring& ID, const std::wstring& Alias, TDataType ValueType,
                     const HostValue& Default, bool ReadOnly, const std::wstring& Name,
                     const std::wstring& Description);
  PSettingStruct FindSetting(const std::wstring& ID) { return FSettingList.Find(ID); }
  PSettingStruct GetSetting(int32_t Index) { return FSettingList.At(Index); }  // nullptr outside the list
  // A copy of the setting's default (Default true) or value; empty when unknown.
  HostValue GetSettingValue(const std::wstring& ID, bool Default = false) const;
  // The value converted; a missing setting converts from empty. Raise
  // HostValueError where the value cannot be converted.
  bool GetSettingValueBool(const std::wstring& ID) const;
  int32_t GetSettingValueInt(const std::wstring& ID) const;
  int64_t GetSettingValueCurr(const std::wstring& ID) const;  // ten-thousandths
  double GetSettingValueDbl(const std::wstring& ID) const;
  double GetSettingValueDate(const std::wstring& ID) const;
  std::wstring GetSettingValueStr(const std::wstring& ID) const;
  bool GetSettingReadOnly(const std::wstring& ID) const { return FSettingList.ReadOnly(ID); }
  // Stores a value that fits the declared type; a string is converted to the
  // type when CastToType is set; anything else is refused without an error.
  void SetSettingValue(const std::wstring& ID, const HostValue& Value, bool CastToType) {
    FSettingList.SetValue(ID, Value, CastToType);
  }
  void SetAllSettingsDefault() { FSettingList.SetAllDefault(); }
  // Buffers the current values of the named settings; RestoreSettings puts them
  // back and empties the buffer.
  void StoreSettings(const std::vector<std::wstring>& Settings) { FSettingList.Store(Settings); }
  void RestoreSettings() { FSettingList.Restore(); }

  // Settings persistence of the oldest host platform; does nothing elsewhere.
  // SaveSettings raises PlatformError "Unable to write to <file>".
  virtual void ReadSettings();
  virtual void SaveSettings();
  // The per-device settings file: <data folder>/a_velko1c83/<DeviceID>.sts;
  // empty when the machine has neither application-data folder.
  std::wstring GetSettingsFileName() { return SettingsFileName(FDeviceID); }

  // The debug log follows the "DebugLogEnabled" setting.
  void UpdateDebugLogEnabled();
  // Write-only: switches the process-wide debug log on (every line) or off.
  void SetDebugLogEnabled(bool value);

 protected:
  std::wstring FDeviceID;
  uint8_t FDriverObjNumber = 0;
  std::vector<WindowHandle> FWindows;
  bool FAutoKeepFocus = false;
  TExternalEventProc FExternalEvent;
  void* FAppConnection = nullptr;  // never assigned in this system
  bool FEnabled = false;
  TPlatformVer FPlatformVer = TPlatformVer::pvUnknown;
  const int32_t FInterfaceRevision;
  bool FCapSettingsDlg = false;
  int32_t FLastResultCode = 0;
  std::wstring FLastResultDescription;
  std::wstring FCallLogNote;
  std::vector<TMethodStruct> FMethodList;
  std::vector<std::pair<std::wstring, int32_t>> FMethodLookupNames;  // name, entry number
  TSettingList FSettingList;

  // Binds a member host form of the driver as a TDriverMethod.
  template <class T>
  TDriverMethod Bind(HResult (T::*method)(HostValue&, HostParams&)) {
    T* self = static_cast<T*>(this);
    return [self, method](HostValue& ret, HostParams& params) { return (self->*method)(ret, params); };
  }

 private:
  HResult HostShowSettingsDlg(HostValue& pvarRetValue, HostParams& paParams);
  HResult HostGetVersion(HostValue& pvarRetValue, HostParams& paParams);
  HResult HostReadSettings(HostValue& pvarRetValue, HostParams& paParams);
  HResult HostSaveSettings(HostValue& pvarRetValue, HostParams& paParams);
  HResult HostSetDeviceID(HostValue& pvarRetValue, HostParams& paParams);
};

// Makes a driver of the revision asked for.
using TDriverFactory = std::function<std::unique_ptr<TBaseDriver>(int32_t InterfaceRevision)>;
// Makes a driver of one revision only, whatever is asked.
using TOneRevisionDriverFactory = std::function<std::unique_ptr<TBaseDriver>()>;

// Constructs a driver class and builds its tables.
template <class T, class... Args>
std::unique_ptr<T> CreateDriver(Args&&... args) {
  auto driver = std::make_unique<T>(std::forward<Args>(args)...);
  driver->Create();
  return driver;
}

// The process-wide registry of driver classes by name; the module registers
// its concrete driver under "TDriver" when it is loaded.
void RegisterDriverClass(const std::wstring& name, TDriverFactory factory);
void RegisterDriverClass(const std::wstring& name, TOneRevisionDriverFactory factory);
// A driver of that class and revision; nullptr when no class has that name,
// or when the class made a driver of another revision (which would lay the
// host's values onto the wrong positions).
std::unique_ptr<TBaseDriver> CreateDriverByName(
    const std::wstring& name, int32_t InterfaceRevision = TBaseDriver::kDefaultInterfaceRevision);

}  // namespace velko
