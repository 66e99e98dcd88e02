// Any text as a setting's value from the settings file: the conversion to the
// setting's declared type either gives a value of that type or raises the
// conversion error, and the value converts back to text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/HostValue.h"
#include "common/TextUtf.h"
#include "driver/uBaseDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto type = static_cast<velko::TDataType>(data[0] % 4);
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  // Odd first bytes read the rest as UTF-8, even ones as raw code units, so
  // that texts the UTF-8 reader would never produce are tried too.
  std::wstring text;
  if (data[0] & 0x10) {
    text = velko::Utf8ToWide(bytes);
  } else {
    for (unsigned char c : bytes) text.push_back(static_cast<wchar_t>(c));
  }
  try {
    const velko::HostValue value = velko::TextToSettingValue(text, type);
    if (!velko::IsOfDataType(value, type)) std::abort();
    (void)velko::SettingValueToText(value);
  } catch (const velko::HostValueError&) {
    if (type != velko::TDataType::dtDateTime) std::abort();  // only dates refuse a text
  }
  return 0;
}
