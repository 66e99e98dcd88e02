#include "driver/uDriverSettings.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "common/BaseSecurity.h"
#include "common/TextUtf.h"
#include "common/uCommonUtils.h"
#include "platform/FolderTrust.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/LockedFile.h"
#include "platform/PlatformError.h"
#include "platform/TextCompare.h"

namespace velko {

bool NameMatches(const std::wstring& requested, const std::wstring& name,
                 const std::wstring& alias) {
  return SameTextIgnoreCase(requested, name) || SameTextIgnoreCase(requested, alias);
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

// ---- The list -----------------------------------------------------------------

int32_t TSettingList::Add(const std::wstring& ID, const std::optional<std::wstring>& Alias,
                          TDataType ValueType, const HostValue& Default, bool ReadOnly,
                          const std::wstring& Name, const std::wstring& Description) {
  for (size_t i = 0; i < FItems.size(); ++i) {
    TSettingStruct& setting = FItems[i];
    if (!SameTextIgnoreCase(setting.ID, ID)) continue;
    // A subclass may change a parent's default; the type and caption stay.
    setting.Value = Default;
    setting.Default = Default;
    setting.ReadOnly = ReadOnly;
    setting.Description = Description;
    if (Alias) setting.Alias = *Alias;
    return static_cast<int32_t>(i);
  }
  FItems.push_back(TSettingStruct{ID, Alias.value_or(L""), Default, ValueType, Default, ReadOnly, Name,
                                  Description});
  return Count() - 1;
}

int32_t TSettingList::IndexOf(const std::wstring& ID) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (NameMatches(ID, FItems[i].ID, FItems[i].Alias)) return static_cast<int32_t>(i);
  return -1;
}

PSettingStruct TSettingList::Find(const std::wstring& ID) { return At(IndexOf(ID)); }

PSettingStruct TSettingList::At(int32_t Index) {
  if (Index < 0 || Index >= Count()) return nullptr;
  return &FItems[static_cast<size_t>(Index)];
}

HostValue TSettingList::Value(const std::wstring& ID, bool Default) const {
  const int32_t index = IndexOf(ID);
  if (index < 0) return HostValue();
  const TSettingStruct& setting = FItems[static_cast<size_t>(index)];
  return Default ? setting.Default : setting.Value;
}

bool TSettingList::ReadOnly(const std::wstring& ID) const {
  const int32_t index = IndexOf(ID);
  return index >= 0 && FItems[static_cast<size_t>(index)].ReadOnly;
}

void TSettingList::SetValue(const std::wstring& ID, const HostValue& Value, bool CastToType) {
  const PSettingStruct setting = Find(ID);
  if (!setting) return;
  // A value held by reference is stored as the value itself: the reference
  // belongs to the caller and must not outlive its call.
  const HostValue& value = Value.Deref();
  if (IsOfDataType(value, setting->ValueType))
    setting->Value = value;
  else if (CastToType && value.IsString())
    setting->Value = TextToSettingValue(value.RawString(), setting->ValueType);
}

void TSettingList::SetAllDefault() {
  for (TSettingStruct& setting : FItems) setting.Value = setting.Default;
}

void TSettingList::Store(const std::vector<std::wstring>& IDs) {
  FBuffer.clear();
  for (const std::wstring& id : IDs) FBuffer.push_back(TShortSettingStruct{id, Value(id, false)});
}

void TSettingList::Restore() {
  for (const TShortSettingStruct& buffered : FBuffer)
    if (const PSettingStruct setting = Find(buffered.ID)) setting->Value = buffered.Value;
  FBuffer.clear();
}

// ---- The settings file ------------------------------------------------------

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

std::wstring DeviceFileName(const std::wstring& device_id) {
  std::wstring name = device_id;
  for (wchar_t& c : name)
    if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) c = L'_';
  if (name.find_first_not_of(L'.') == std::wstring::npos) name = std::wstring(name.size(), L'_');
  if (IsReservedDeviceName(name)) name.insert(0, 1, L'_');
  return name;
}

}  // namespace

std::wstring SettingsFileName(const std::wstring& DeviceID) {
  // Shared with the debug log: the same folder, chosen the same way, and the
  // user's own when the machine-wide one is not the till's.
  const TSharedFolderChoice choice = ChooseSharedFolder(L"a_velko1c83", true);
  if (choice.Folder.empty()) return L"";
  return IncludeTrailingPathDelimiter(choice.Folder) + DeviceFileName(DeviceID) + L".sts";
}

void ReadSettingsFile(TSettingList& Settings, const std::wstring& DeviceID) {
  const std::wstring file = SettingsFileName(DeviceID);
  if (file.empty()) return;
  // The folder is shared: a link or a second name in the file's place is no
  // settings file of this till, and is not read through.
  // Another account's file, or one that others may change, could point the
  // till at a server of theirs: it is neither read nor overwritten.
  if (auto reason = UntrustedFileReason(file)) throw PlatformError("Unable to read " + *reason);
  if (!FileExists(file)) return;
  // The text is converted for the declared type first: a string setting would
  // otherwise fit as it stands and keep its "\n" markers instead of its lines.
  for (int32_t i = 0; i < Settings.Count(); ++i) {
    const std::wstring id = Settings.At(i)->ID;
    const std::wstring text = ReadIniString(file, kSettingsSection, id, L"");
    Settings.SetValue(id, TextToSettingValue(text, Settings.At(i)->ValueType), true);
  }
}

void SaveSettingsFile(const TSettingList& Settings, const std::wstring& DeviceID) {
  const std::wstring file = SettingsFileName(DeviceID);
  if (file.empty())
    throw PlatformError("Unable to write to " + WideToUtf8(DeviceFileName(DeviceID)) +
                        ".sts: the machine has no application-data folder");
  // The folder is shared with every user (the log lives there too): the file
  // gets its own access list first, so that no other user can point the till
  // at a server of their own.
  if (FileExists(file))
    if (auto reason = UntrustedFileReason(file)) throw PlatformError("Unable to write to " + *reason);
  if (!ProtectIniFile(file)) throw PlatformError("Unable to write to " + WideToUtf8(file));
  for (const TSettingStruct& setting : Settings.Items())
    if (!WriteIniString(file, kSettingsSection, setting.ID, SettingValueToText(setting.Value)))
      throw PlatformError("Unable to write to " + WideToUtf8(file));
}

}  // namespace velko
