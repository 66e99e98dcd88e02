// A driver's settings: the list (each setting with its declared type,
// default, read-only flag and captions), the conversions between a setting's
// value and the text of the settings file, and that file itself, which the
// oldest host platform asks the driver to read and write.
//
// TBaseDriver owns one TSettingList and offers it to the host as its
// properties. Used on the host's thread only; nothing is locked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/HostValue.h"

namespace velko {

enum class TDataType : uint8_t { dtNumber = 0, dtString = 1, dtDateTime = 2, dtBoolean = 3 };

// The external name of a data type ("Number", "String", "Date", "Boolean");
// empty for any other value.
std::wstring DataTypeName(TDataType type);

struct TSettingStruct {
  std::wstring ID;
  std::wstring Alias;
  HostValue Value;
  TDataType ValueType = TDataType::dtString;
  HostValue Default;
  bool ReadOnly = false;
  std::wstring Name;
  std::wstring Description;
};
using PSettingStruct = TSettingStruct*;

struct TShortSettingStruct {
  std::wstring ID;
  HostValue Value;
};

// The name rule of settings and methods alike: case-insensitive equality
// under the user's locale with the primary name tried first, then the alias;
// no trimming.
bool NameMatches(const std::wstring& requested, const std::wstring& name,
                 const std::wstring& alias);

// Whether a value (looked through when held by reference) fits a declared type:
// numbers take every integer, floating, currency and Boolean value, strings the
// OLE and the runtime's strings, dates dates, Booleans Booleans.
bool IsOfDataType(const HostValue& value, TDataType type);

// A setting's text (from the settings file) as a value of its declared type:
// numbers with "," or "." become doubles read with the decimal comma (0.0 when
// that fails, so "1.5" gives 0.0), others 32-bit integers (0 when no number);
// "\n" in a string becomes CR LF; dates use the process-wide formats and raise
// HostValueError when they do not parse; only "True" is true.
HostValue TextToSettingValue(const std::wstring& text, TDataType type);
// The inverse, for the settings file: CR LF as "\n", "True"/"False", dates in
// the process-wide formats, anything else by the host-value conversion.
std::wstring SettingValueToText(const HostValue& value);

class TSettingList {
 public:
  // Registration keeps the first registration's type and caption; a later
  // one (a subclass changing its parent's default) replaces the value,
  // default, read-only flag and description. The alias is set when given.
  int32_t Add(const std::wstring& ID, const std::optional<std::wstring>& Alias, TDataType ValueType,
              const HostValue& Default, bool ReadOnly, const std::wstring& Name,
              const std::wstring& Description);
  // The index of the setting named ID (or by its alias); -1 when none.
  int32_t IndexOf(const std::wstring& ID) const;
  PSettingStruct Find(const std::wstring& ID);
  PSettingStruct At(int32_t Index);  // nullptr outside the list
  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  const std::vector<TSettingStruct>& Items() const { return FItems; }

  // A copy of the setting's default (Default true) or value; empty when unknown.
  HostValue Value(const std::wstring& ID, bool Default) const;
  bool ReadOnly(const std::wstring& ID) const;
  // Stores a value that fits the declared type; a string is converted to the
  // type when CastToType is set; anything else is refused without an error.
  void SetValue(const std::wstring& ID, const HostValue& Value, bool CastToType);
  void SetAllDefault();
  // Buffers the current values of the named settings; Restore puts them back
  // and empties the buffer.
  void Store(const std::vector<std::wstring>& IDs);
  void Restore();

 private:
  std::vector<TSettingStruct> FItems;
  std::vector<TShortSettingStruct> FBuffer;
};

// ---- The settings file ------------------------------------------------------

// The device's settings file: <data folder>/a_velko1c83/<DeviceID>.sts, the
// folder created when missing; empty when the machine has neither
// application-data folder. The identifier comes from the host: characters
// that would leave the folder or that no file name may hold become "_", and a
// name Windows would open as a device ("COM1") gets the prefix "_".
std::wstring SettingsFileName(const std::wstring& DeviceID);

// Every setting of the list from the SETTINGS section of the device's file
// (a missing key reads as empty text); nothing when there is no such file.
void ReadSettingsFile(TSettingList& Settings, const std::wstring& DeviceID);
// Every setting into the device's file, which is given its own access list
// first. Raises PlatformError "Unable to write to <file>" (the device's file
// name when the machine has no application-data folder).
void SaveSettingsFile(const TSettingList& Settings, const std::wstring& DeviceID);

}  // namespace velko
