// VARIANT, SAFEARRAY and BSTR to host values and back: the one place where the
// server converts what the host passes into what the dispatch works on.
//
// Conversions raise HostValueError for what a host value cannot hold (records,
// decimals in arrays) and std::bad_alloc when the runtime has no memory; the
// COM methods catch both.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>

#include "addin/com/ComResources.h"
#include "common/HostValue.h"

namespace velko::com {

std::wstring FromBstr(BSTR text);  // a null BSTR is the empty text

HostValue FromVariant(const VARIANT& value);
// A host value as a new VARIANT. A by-reference value becomes its target's
// value; an interface reference becomes empty, since a host value does not
// own the interface it names.
unique_variant ToVariant(const HostValue& value);

// Every element of an array of any rank and element type; nullptr for none.
std::shared_ptr<HostArray> FromSafeArray(SAFEARRAY* array);
// A new array of VARIANT elements with the bounds of `array`.
unique_safearray ToSafeArray(const HostArray& array);

// The parameters the host passed for a call, as a host array: a missing
// array is an empty one.
std::shared_ptr<HostArray> ParamsFromHost(SAFEARRAY** params);
// Puts into the host's own array the elements that differ between `before`
// and `after`, and only those: what a method left alone stays exactly as the
// host passed it.
void WriteBackChanged(SAFEARRAY* target, const HostArray& before, const HostArray& after);
// Replaces the host's value when the method changed it.
void WriteBackChanged(VARIANT* target, const HostValue& before, const HostValue& after);

}  // namespace velko::com
