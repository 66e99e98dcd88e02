#include "addin/com/HostValueCom.h"

#include <new>
#include <string>
#include <vector>

namespace velko::com {
namespace {

void Check(HRESULT status, const char* what) {
  if (status == E_OUTOFMEMORY) throw std::bad_alloc();
  if (FAILED(status)) throw HostValueError(std::string(what) + " failed");
}

// The address of the data part of a VARIANT, where SAFEARRAY elements of a
// plain type are read and written.
void* DataOf(VARIANT* value) { return &value->llVal; }

HostValue FromPlainVariant(const VARIANT& value) {
  const VARTYPE type = value.vt;
  switch (type) {
    case VT_EMPTY: return HostValue();
    case VT_NULL: return HostValue::Null();
    case VT_I2: return HostValue::FromInt16(value.iVal);
    case VT_I4: return HostValue::FromInt32(value.lVal);
    case VT_R4: return HostValue::FromSingle(value.fltVal);
    case VT_R8: return HostValue::FromDouble(value.dblVal);
    case VT_CY: return HostValue::FromCurrency(value.cyVal.int64);
    case VT_DATE: return HostValue::FromDate(value.date);
    case VT_BSTR: return HostValue::FromString(FromBstr(value.bstrVal));
    case VT_DISPATCH: return HostValue::FromDispatch(reinterpret_cast<uintptr_t>(value.pdispVal));
    case VT_UNKNOWN: return HostValue::FromDispatch(reinterpret_cast<uintptr_t>(value.punkVal));
    case VT_ERROR: return HostValue::FromInteger(vt::kError, value.scode);
    case VT_BOOL: return HostValue::FromBool(value.boolVal != VARIANT_FALSE);
    case VT_I1: return HostValue::FromInteger(vt::kInt8, value.cVal);
    case VT_UI1: return HostValue::FromUInt8(value.bVal);
    case VT_UI2: return HostValue::FromInteger(vt::kUInt16, value.uiVal);
    case VT_UI4: return HostValue::FromInteger(vt::kUInt32, value.ulVal);
    case VT_I8: return HostValue::FromInteger(vt::kInt64, value.llVal);
    case VT_UI8: return HostValue::FromInteger(vt::kUInt64, static_cast<int64_t>(value.ullVal));
    case VT_INT: return HostValue::FromInteger(vt::kInt, value.intVal);
    case VT_UINT: return HostValue::FromInteger(vt::kUInt, value.uintVal);
    case VT_DECIMAL: {
      // No host value holds a decimal: it arrives as the nearest double.
      unique_variant as_double;
      Check(VariantChangeType(as_double.get(), const_cast<VARIANT*>(&value), 0, VT_R8), "Decimal conversion");
      return HostValue::FromDouble(as_double->dblVal);
    }
    default:
      throw HostValueError("A host value of type " + std::to_string(type) + " is not supported");
  }
}

// The element type of an array. A host may build an array with a feature
// flag alone (FADF_VARIANT, FADF_BSTR...) and no stored type; such an array is
// read by its flag.
VARTYPE ElementType(SAFEARRAY* array) {
  VARTYPE type = VT_EMPTY;
  if ((array->fFeatures & FADF_HAVEVARTYPE) && SUCCEEDED(SafeArrayGetVartype(array, &type))) return type;
  if (array->fFeatures & FADF_VARIANT) return VT_VARIANT;
  if (array->fFeatures & FADF_BSTR) return VT_BSTR;
  if (array->fFeatures & FADF_DISPATCH) return VT_DISPATCH;
  if (array->fFeatures & FADF_UNKNOWN) return VT_UNKNOWN;
  if (array->fFeatures & FADF_RECORD) return VT_RECORD;
  Check(SafeArrayGetVartype(array, &type), "SafeArrayGetVartype");
  return type;
}

// An element the driver cannot represent: kept as a value of its own that no
// method reads successfully, so that the call goes on and the host's element
// is left as it was.
HostValue Unrepresentable() { return HostValue::FromInteger(vt::kError, DISP_E_BADVARTYPE); }

std::vector<int32_t> FirstPosition(const HostArray& array) {
  std::vector<int32_t> position(static_cast<size_t>(array.Dims()));
  for (int d = 1; d <= array.Dims(); ++d) position[static_cast<size_t>(d - 1)] = array.LowBound(d);
  return position;
}

// The next position with dimension 1 varying fastest, the order in which
// HostArray stores its items.
void Advance(const HostArray& array, std::vector<int32_t>& position) {
  for (int d = 1; d <= array.Dims(); ++d) {
    int32_t& p = position[static_cast<size_t>(d - 1)];
    if (p < array.HighBound(d)) {
      ++p;
      return;
    }
    p = array.LowBound(d);
  }
}

void PutElement(SAFEARRAY* target, VARTYPE element_type, std::vector<LONG>& index, const HostValue& value) {
  unique_variant item = ToVariant(value);
  if (element_type == VT_VARIANT) {
    Check(SafeArrayPutElement(target, index.data(), item.get()), "SafeArrayPutElement");
    return;
  }
  // A typed array takes the value converted to its element type.
  unique_variant typed;
  Check(VariantChangeType(typed.get(), item.get(), 0, element_type), "Element conversion");
  void* data = (element_type == VT_BSTR || element_type == VT_DISPATCH || element_type == VT_UNKNOWN)
                   ? *static_cast<void**>(DataOf(typed.get()))
                   : DataOf(typed.get());
  Check(SafeArrayPutElement(target, index.data(), data), "SafeArrayPutElement");
}

}  // namespace

std::wstring FromBstr(BSTR text) {
  if (!text) return std::wstring();
  return std::wstring(text, SysStringLen(text));
}

HostValue FromVariant(const VARIANT& value) {
  if (value.vt & VT_ARRAY) {
    SAFEARRAY* array = (value.vt & VT_BYREF) ? (value.pparray ? *value.pparray : nullptr) : value.parray;
    return HostValue::FromArray(FromSafeArray(array), static_cast<uint16_t>(value.vt & VT_TYPEMASK));
  }
  if (value.vt & VT_BYREF) {
    if (!value.byref) return HostValue::ByRef(std::make_shared<HostValue>());
    const VARTYPE target_type = static_cast<VARTYPE>(value.vt & ~VT_BYREF);
    if (target_type == VT_VARIANT)
      return HostValue::ByRef(std::make_shared<HostValue>(FromVariant(*value.pvarVal)));
    if (target_type == VT_DECIMAL) {
      VARIANT plain;
      plain.decVal = *value.pdecVal;
      plain.vt = VT_DECIMAL;
      return HostValue::ByRef(std::make_shared<HostValue>(FromPlainVariant(plain)));
    }
    // A reference to a plain value: read the target through a VARIANT of
    // that type without taking ownership of anything it points to.
    VARIANT plain;
    VariantInit(&plain);
    plain.vt = target_type;
    switch (target_type) {
      case VT_I1: case VT_UI1: plain.bVal = *value.pbVal; break;
      case VT_I2: case VT_UI2: case VT_BOOL: plain.iVal = *value.piVal; break;
      case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: case VT_R4:
        plain.lVal = *value.plVal;
        break;
      case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE:
        plain.llVal = *value.pllVal;
        break;
      case VT_BSTR: plain.bstrVal = *value.pbstrVal; break;
      case VT_DISPATCH: plain.pdispVal = *value.ppdispVal; break;
      case VT_UNKNOWN: plain.punkVal = *value.ppunkVal; break;
      default:
        throw HostValueError("A host value of type " + std::to_string(value.vt) + " is not supported");
    }
    return HostValue::ByRef(std::make_shared<HostValue>(FromPlainVariant(plain)));
  }
  return FromPlainVariant(value);
}

unique_variant ToVariant(const HostValue& source) {
  const HostValue& value = source.Deref();
  unique_variant result;
  VARIANT* v = result.get();
  if (value.IsArray()) {
    unique_safearray array;
    if (value.Array()) array = ToSafeArray(*value.Array());
    v->vt = VT_ARRAY | VT_VARIANT;
    v->parray = array.release();
    return result;
  }
  switch (value.Type()) {
    case vt::kEmpty: break;
    case vt::kNull: v->vt = VT_NULL; break;
    case vt::kInt16: v->vt = VT_I2; v->iVal = static_cast<SHORT>(value.RawInteger()); break;
    case vt::kInt32: v->vt = VT_I4; v->lVal = static_cast<LONG>(value.RawInteger()); break;
    case vt::kSingle: v->vt = VT_R4; v->fltVal = static_cast<float>(value.RawDouble()); break;
    case vt::kDouble: v->vt = VT_R8; v->dblVal = value.RawDouble(); break;
    case vt::kCurrency: v->vt = VT_CY; v->cyVal.int64 = value.RawInteger(); break;
    case vt::kDate: v->vt = VT_DATE; v->date = value.RawDouble(); break;
    case vt::kString:
    case vt::kRuntimeString:
    case vt::kRuntimeUString: {
      unique_bstr text = unique_bstr::from(value.RawString());
      v->vt = VT_BSTR;
      v->bstrVal = text.release();
      break;
    }
    case vt::kError: v->vt = VT_ERROR; v->scode = static_cast<SCODE>(value.RawInteger()); break;
    case vt::kBoolean:
      v->vt = VT_BOOL;
      v->boolVal = value.RawInteger() != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case vt::kInt8: v->vt = VT_I1; v->cVal = static_cast<CHAR>(value.RawInteger()); break;
    case vt::kUInt8: v->vt = VT_UI1; v->bVal = static_cast<BYTE>(value.RawInteger()); break;
    case vt::kUInt16: v->vt = VT_UI2; v->uiVal = static_cast<USHORT>(value.RawInteger()); break;
    case vt::kUInt32: v->vt = VT_UI4; v->ulVal = static_cast<ULONG>(value.RawInteger()); break;
    case vt::kInt64: v->vt = VT_I8; v->llVal = value.RawInteger(); break;
    case vt::kUInt64: v->vt = VT_UI8; v->ullVal = static_cast<ULONGLONG>(value.RawInteger()); break;
    case vt::kInt: v->vt = VT_INT; v->intVal = static_cast<INT>(value.RawInteger()); break;
    case vt::kUInt: v->vt = VT_UINT; v->uintVal = static_cast<UINT>(value.RawInteger()); break;
    default:
      // Interface references (and anything else without a VARIANT of its own)
      // go back empty.
      break;
  }
  return result;
}

std::shared_ptr<HostArray> FromSafeArray(SAFEARRAY* array) {
  if (!array) return nullptr;
  const UINT dims = SafeArrayGetDim(array);
  const VARTYPE element_type = ElementType(array);
  if (element_type == VT_RECORD)
    throw HostValueError("An array of type " + std::to_string(element_type) + " is not supported");

  std::vector<HostArray::Bound> bounds;
  for (UINT d = 1; d <= dims; ++d) {
    LONG low = 0, high = 0;
    Check(SafeArrayGetLBound(array, d, &low), "SafeArrayGetLBound");
    Check(SafeArrayGetUBound(array, d, &high), "SafeArrayGetUBound");
    bounds.push_back({low, static_cast<uint32_t>(static_cast<int64_t>(high) - low + 1)});
  }
  auto result = std::make_shared<HostArray>(std::move(bounds));
  if (result->Size() == 0) return result;

  std::vector<int32_t> position = FirstPosition(*result);
  std::vector<LONG> index(position.size());
  for (HostValue& item : result->Items()) {
    for (size_t k = 0; k < position.size(); ++k) index[k] = position[k];
    unique_variant element;
    if (element_type == VT_VARIANT) {
      Check(SafeArrayGetElement(array, index.data(), element.get()), "SafeArrayGetElement");
    } else if (element_type == VT_DECIMAL) {
      // A DECIMAL fills the whole VARIANT; its type goes over the reserved word.
      Check(SafeArrayGetElement(array, index.data(), &element->decVal), "SafeArrayGetElement");
      element->vt = VT_DECIMAL;
    } else {
      Check(SafeArrayGetElement(array, index.data(), DataOf(element.get())), "SafeArrayGetElement");
      element->vt = element_type;
    }
    try {
      item = FromVariant(*element.get());
    } catch (const HostValueError&) {
      item = Unrepresentable();
    }
    Advance(*result, position);
  }
  return result;
}

unique_safearray ToSafeArray(const HostArray& array) {
  std::vector<SAFEARRAYBOUND> bounds;
  for (int d = 1; d <= array.Dims(); ++d)
    bounds.push_back({static_cast<ULONG>(array.HighBound(d) - array.LowBound(d) + 1), array.LowBound(d)});
  unique_safearray result(SafeArrayCreate(VT_VARIANT, static_cast<UINT>(bounds.size()), bounds.data()));
  if (!result.get()) throw std::bad_alloc();
  if (array.Size() == 0) return result;
  std::vector<int32_t> position = FirstPosition(array);
  std::vector<LONG> index(position.size());
  for (const HostValue& item : array.Items()) {
    for (size_t k = 0; k < position.size(); ++k) index[k] = position[k];
    PutElement(result.get(), VT_VARIANT, index, item);
    Advance(array, position);
  }
  return result;
}

std::shared_ptr<HostArray> ParamsFromHost(SAFEARRAY** params) {
  std::shared_ptr<HostArray> array = params ? FromSafeArray(*params) : nullptr;
  return array ? array : HostArray::Vector({});
}

void WriteBackChanged(SAFEARRAY* target, const HostArray& before, const HostArray& after) {
  if (!target || before.Size() != after.Size() || after.Size() == 0) return;
  const VARTYPE element_type = ElementType(target);
  std::vector<int32_t> position = FirstPosition(after);
  std::vector<LONG> index(position.size());
  for (size_t i = 0; i < after.Size(); ++i) {
    if (!(before.Items()[i] == after.Items()[i])) {
      for (size_t k = 0; k < position.size(); ++k) index[k] = position[k];
      PutElement(target, element_type, index, after.Items()[i]);
    }
    Advance(after, position);
  }
}

void WriteBackChanged(VARIANT* target, const HostValue& before, const HostValue& after) {
  if (!target || before == after) return;
  unique_variant value = ToVariant(after);
  VariantClear(target);
  value.release_to(target);
}

unique_bstr unique_bstr::from(const std::wstring& text) {
  unique_bstr result(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
  if (!result.get()) throw std::bad_alloc();
  return result;
}

}  // namespace velko::com
