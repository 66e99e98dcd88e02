// The equipment standard's general table of result codes and texts (89 codes).
// Constant data; thread-safe. The text rule built on it is EquipmentErrorText.
#pragma once

#include <cstdint>

namespace velko {

// The general table's text for a code; nullptr when the code has no entry.
const wchar_t* EquipmentErrorTableText(int32_t Code);

// The text that stands for a code nobody knows.
inline constexpr const wchar_t* kUnknownErrorText = L"Неизвестная ошибка";

}  // namespace velko
