// The equipment standard's general result-code table and its text rule.
//
// EquipmentErrorText turns a result code into the text the host receives:
// an explicit description wins for a failure, then the table's text, then the
// caller's fallback or "Неизвестная ошибка". The table is constant; all
// functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "common/EquipmentErrorTable.h"

namespace velko {

std::wstring EquipmentErrorText(int32_t Code, const std::wstring& Description,
                                const std::wstring& DefaultText);

}  // namespace velko
