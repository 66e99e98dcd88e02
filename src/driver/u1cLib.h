// The equipment standard's general result-code table and its text rule, and
// the rendering of host values in the call log.
//
// EquipmentErrorText turns a result code into the text the host receives:
// an explicit description wins for a failure, then the table's text, then the
// caller's fallback or "Неизвестная ошибка". The table is constant; all
// functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "common/EquipmentErrorTable.h"
#include "common/HostValue.h"

namespace velko {

std::wstring EquipmentErrorText(int32_t Code, const std::wstring& Description,
                                const std::wstring& DefaultText);

// A host value as the call log shows it: strings quoted with CR LF as "\n",
// numbers with the process-wide decimal comma, arrays of any rank bracketed
// ("[(a; b)]", dimension 1 innermost), nested arrays rendered in place. Raises
// HostValueError where a date or a referenced value cannot become text.
std::wstring ValueToLogText(const HostValue& value);
// The same for an array itself (a host call's parameters).
std::wstring ArrayToLogText(const HostArray& array);

}  // namespace velko
