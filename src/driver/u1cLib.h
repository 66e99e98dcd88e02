// The rendering of host values in the call log (the result codes and their
// texts, once here too, live in common/ResultCodes.h). Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "common/HostValue.h"
#include "common/ResultCodes.h"

namespace velko {

// A host value as the call log shows it: strings quoted with CR LF as "\n",
// numbers with the process-wide decimal comma, arrays of any rank bracketed
// ("[(a; b)]", dimension 1 innermost), nested arrays rendered in place, a
// by-reference value as the value it refers to. Raises HostValueError where a
// date cannot become text.
std::wstring ValueToLogText(const HostValue& value);
// The same for an array itself (a host call's parameters).
std::wstring ArrayToLogText(const HostArray& array);
// A host call's parameters, those whose bit is set in CardParams (bit k:
// the k-th element) masked as card data whatever their type: a text keeps
// the last four digits of its card number, a number the last four digits of
// its integer, anything else (an array) is masked the same way as its text.
std::wstring ParamsToLogText(const HostArray& params, uint32_t CardParams);

}  // namespace velko
