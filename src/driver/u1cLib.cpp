#include "driver/u1cLib.h"

#include <cstdio>
#include <vector>

#include "common/CardMask.h"
#include "common/uCommonUtils.h"

namespace velko {
namespace {

std::wstring QuoteLogString(const std::wstring& text) {
  std::wstring out = L"'";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
      out += L"\\n";
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  out.push_back(L'\'');
  return out;
}

std::wstring ScalarToLogText(const HostValue& value);

// One dimension's group: "(" elements or inner groups ")".
void AppendDimension(const HostArray& array, int dim, std::vector<int32_t>& positions,
                     std::wstring& out) {
  out.push_back(L'(');
  const int32_t low = array.LowBound(dim), high = array.HighBound(dim);
  for (int64_t i = low; i <= high; ++i) {
    positions[static_cast<size_t>(dim - 1)] = static_cast<int32_t>(i);
    if (dim == 1) {
      const HostValue* item = array.At(positions);
      out += item ? ScalarToLogText(*item) : L"EMPTY";
      if (i < high) out += L"; ";
    } else {
      AppendDimension(array, dim - 1, positions, out);
    }
  }
  out.push_back(L')');
}

std::wstring ScalarToLogText(const HostValue& value) {
  if (value.IsArray()) return ValueToLogText(value);
  // A value the host passed by reference shows as what it refers to, in
  // that value's own form.
  if (value.IsByRef()) {
    const HostValue& target = value.Deref();
    return target.IsByRef() ? L"EMPTY" : ValueToLogText(target);
  }
  switch (value.BaseType()) {
    case vt::kEmpty: return L"EMPTY";
    case vt::kNull: return L"NULL";
    case vt::kInt16:
    case vt::kInt32: return std::to_wstring(value.RawInteger());
    case vt::kSingle:
    case vt::kDouble:
    case vt::kCurrency: return FloatToText(value.ToDouble());
    case vt::kDate: return value.ToText();
    case vt::kString:
    case vt::kRuntimeString: return QuoteLogString(value.RawString());
    case vt::kDispatch: {
      wchar_t buf[32];
      std::swprintf(buf, 32, L"$%08llX", static_cast<unsigned long long>(value.RawDispatch()));
      return buf;
    }
    case vt::kBoolean: return value.RawInteger() != 0 ? L"True" : L"False";
    case vt::kVariant: {
      const HostValue& target = value.Deref();
      // A reference to an array has no text of its own: show the array.
      return target.IsArray() ? ValueToLogText(target) : target.ToText();
    }
    case vt::kUInt8: return std::wstring(1, static_cast<wchar_t>(value.RawInteger() & 0xFF));
    default: return L"";
  }
}

}  // namespace

std::wstring ArrayToLogText(const HostArray& array) {
  if (array.Dims() == 0) return L"[]";
  std::vector<int32_t> positions(static_cast<size_t>(array.Dims()));
  for (int k = 1; k <= array.Dims(); ++k) positions[static_cast<size_t>(k - 1)] = array.LowBound(k);
  std::wstring out = L"[";
  AppendDimension(array, array.Dims(), positions, out);
  out.push_back(L']');
  return out;
}

namespace {

std::wstring CardValueToLogText(const HostValue& held) {
  const HostValue& value = held.Deref();
  if (value.IsArray()) return MaskCardData(ValueToLogText(value));
  switch (value.BaseType()) {
    case vt::kEmpty:
    case vt::kNull:
    case vt::kBoolean: return ScalarToLogText(value);
    case vt::kString:
    case vt::kRuntimeString: return QuoteLogString(MaskCardData(value.RawString()));
    case vt::kSingle:
    case vt::kDouble:
    case vt::kCurrency: {
      // A card number passed as a number: its integer's digits, not the
      // general format's mantissa and exponent.
      wchar_t buf[64];
      std::swprintf(buf, 64, L"%.0f", value.ToDouble());
      return MaskCardData(buf);
    }
    default: return MaskCardData(ScalarToLogText(value));
  }
}

}  // namespace

std::wstring ParamsToLogText(const HostArray& params, uint32_t CardParams) {
  if (CardParams == 0 || params.Dims() != 1) return ArrayToLogText(params);
  std::wstring out = L"[(";
  const int32_t low = params.LowBound(1), high = params.HighBound(1);
  for (int64_t i = low; i <= high; ++i) {
    const HostValue* item = params.At(static_cast<int32_t>(i));
    const int64_t k = i - low;
    if (!item)
      out += L"EMPTY";
    else if (k < 32 && (CardParams >> k & 1u) != 0)
      out += CardValueToLogText(*item);
    else
      out += ScalarToLogText(*item);
    if (i < high) out += L"; ";
  }
  return out + L")]";
}

std::wstring ValueToLogText(const HostValue& value) {
  if (!value.IsArray()) return ScalarToLogText(value);
  if (!value.Array()) return L"EMPTY";
  return ArrayToLogText(*value.Array());
}

}  // namespace velko
