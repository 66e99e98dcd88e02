#include "driver/u1cLib.h"

#include "common/EquipmentErrorTable.h"

namespace velko {
std::wstring EquipmentErrorText(int32_t Code, const std::wstring& Description,
                                const std::wstring& DefaultText) {
  if (!Description.empty() && Code != 0) return Description;
  if (const wchar_t* text = EquipmentErrorTableText(Code)) return text;
  return DefaultText.empty() ? kUnknownErrorText : DefaultText;
}

}  // namespace velko
