#include "common/HostValue.h"

#include <cmath>
#include <limits>

#include "common/TextUtf.h"
#include "common/uCommonUtils.h"

namespace velko {
namespace {

const char* TypeName(uint16_t type) {
  if (type & vt::kArray) return "Array";
  switch (type & vt::kTypeMask) {
    case vt::kEmpty: return "Empty";
    case vt::kNull: return "Null";
    case vt::kInt16: return "Smallint";
    case vt::kInt32: return "Integer";
    case vt::kSingle: return "Single";
    case vt::kDouble: return "Double";
    case vt::kCurrency: return "Currency";
    case vt::kDate: return "Date";
    case vt::kString: return "OleStr";
    case vt::kDispatch: return "Dispatch";
    case vt::kError: return "Error";
    case vt::kBoolean: return "Boolean";
    case vt::kVariant: return "Variant";
    case vt::kUnknown: return "Unknown";
    case vt::kInt8: return "ShortInt";
    case vt::kUInt8: return "Byte";
    case vt::kUInt16: return "Word";
    case vt::kUInt32: return "LongWord";
    case vt::kInt64: return "Int64";
    case vt::kUInt64: return "UInt64";
    case vt::kInt: return "Integer";
    case vt::kUInt: return "LongWord";
    case vt::kRuntimeString: return "String";
    case vt::kRuntimeUString: return "UnicodeString";
    default: return "Unknown";
  }
}

[[noreturn]] void Fail(uint16_t from, const char* to) {
  // The cashier reads this in the error box: in the driver's language.
  throw HostValueError(std::string("Не удалось преобразовать значение типа (") + TypeName(from) +
                       ") в тип (" + to + ")");
}

bool IsIntegerType(uint16_t t) {
  switch (t) {
    case vt::kInt16: case vt::kInt32: case vt::kInt8: case vt::kUInt8: case vt::kUInt16:
    case vt::kUInt32: case vt::kInt64: case vt::kUInt64: case vt::kInt: case vt::kUInt:
      return true;
    default:
      return false;
  }
}

bool IsStringType(uint16_t t) {
  return t == vt::kString || t == vt::kRuntimeString || t == vt::kRuntimeUString;
}

std::optional<double> ParseNumberText(const std::wstring& text) {
  if (auto v = TextToFloat(text, ProcessFormats().DecimalSeparator)) return v;
  return TextToFloat(text, L'.');
}

int64_t RoundToInt64(double value, uint16_t from, const char* to) {
  if (!std::isfinite(value)) Fail(from, to);
  const double r = std::nearbyint(value);  // ties to even
  if (r >= 9223372036854775808.0 || r < -9223372036854775808.0) Fail(from, to);
  return static_cast<int64_t>(r);
}

// Currency units to an integer, ties to even.
int64_t CurrencyUnitsToInteger(int64_t units) {
  int64_t q = units / kCurrencyScale, r = units % kCurrencyScale;
  const int64_t twice = 2 * (r < 0 ? -r : r);
  if (twice > kCurrencyScale || (twice == kCurrencyScale && (q & 1) != 0)) q += units < 0 ? -1 : 1;
  return q;
}

}  // namespace

HostValue HostValue::Null() {
  HostValue v;
  v.type_ = vt::kNull;
  return v;
}

HostValue HostValue::FromBool(bool value) {
  HostValue v;
  v.type_ = vt::kBoolean;
  v.data_ = int64_t{value ? -1 : 0};
  return v;
}

HostValue HostValue::FromInt16(int16_t value) { return FromInteger(vt::kInt16, value); }
HostValue HostValue::FromInt32(int32_t value) { return FromInteger(vt::kInt32, value); }

HostValue HostValue::FromInteger(uint16_t type, int64_t value) {
  HostValue v;
  v.type_ = type;
  v.data_ = value;
  return v;
}

HostValue HostValue::FromSingle(float value) {
  HostValue v;
  v.type_ = vt::kSingle;
  v.data_ = static_cast<double>(value);
  return v;
}

HostValue HostValue::FromDouble(double value) {
  HostValue v;
  v.type_ = vt::kDouble;
  v.data_ = value;
  return v;
}

HostValue HostValue::FromCurrency(int64_t units) {
  HostValue v;
  v.type_ = vt::kCurrency;
  v.data_ = units;
  return v;
}

HostValue HostValue::FromDate(double days) {
  HostValue v;
  v.type_ = vt::kDate;
  v.data_ = days;
  return v;
}

HostValue HostValue::FromString(std::wstring text, uint16_t type) {
  HostValue v;
  v.type_ = type;
  v.data_ = std::move(text);
  return v;
}

HostValue HostValue::FromUInt8(uint8_t value) { return FromInteger(vt::kUInt8, value); }

HostValue HostValue::FromDispatch(uintptr_t address) {
  HostValue v;
  v.type_ = vt::kDispatch;
  v.data_ = static_cast<int64_t>(address);
  return v;
}

HostValue HostValue::FromArray(std::shared_ptr<HostArray> array, uint16_t element_type) {
  HostValue v;
  v.type_ = static_cast<uint16_t>(vt::kArray | (element_type & vt::kTypeMask));
  v.data_ = std::move(array);
  return v;
}

HostValue HostValue::ByRef(std::shared_ptr<HostValue> target) {
  HostValue v;
  v.type_ = static_cast<uint16_t>(vt::kByRef | vt::kVariant);
  v.data_ = std::move(target);
  return v;
}

bool HostValue::IsString() const { return IsStringType(Deref().type_); }

const HostValue& HostValue::Deref() const {
  const HostValue* v = this;
  // A chain of references ends at a value; a null target reads as empty.
  for (int depth = 0; v->IsByRef() && depth < 16; ++depth) {
    const auto* target = std::get_if<std::shared_ptr<HostValue>>(&v->data_);
    if (!target || !*target) {
      static const HostValue kEmpty;
      return kEmpty;
    }
    v = target->get();
  }
  return *v;
}

const std::shared_ptr<HostArray>& HostValue::Array() const {
  static const std::shared_ptr<HostArray> kNone;
  const auto* a = std::get_if<std::shared_ptr<HostArray>>(&data_);
  return a ? *a : kNone;
}

const std::shared_ptr<HostValue>& HostValue::RefTarget() const {
  static const std::shared_ptr<HostValue> kNone;
  const auto* r = std::get_if<std::shared_ptr<HostValue>>(&data_);
  return r ? *r : kNone;
}

int64_t HostValue::RawInteger() const {
  const auto* i = std::get_if<int64_t>(&data_);
  return i ? *i : 0;
}

double HostValue::RawDouble() const {
  const auto* d = std::get_if<double>(&data_);
  return d ? *d : 0.0;
}

const std::wstring& HostValue::RawString() const {
  static const std::wstring kNone;
  const auto* s = std::get_if<std::wstring>(&data_);
  return s ? *s : kNone;
}

uintptr_t HostValue::RawDispatch() const { return static_cast<uintptr_t>(RawInteger()); }

std::wstring HostValue::ToText() const {
  const HostValue& v = Deref();
  const uint16_t t = v.type_;
  if (t & vt::kArray) Fail(t, "OleStr");
  if (t == vt::kEmpty) return L"";
  if (IsIntegerType(t)) {
    if (t == vt::kUInt64) return std::to_wstring(static_cast<uint64_t>(v.RawInteger()));
    return std::to_wstring(v.RawInteger());
  }
  switch (t) {
    case vt::kSingle:
    case vt::kDouble: return FloatToText(v.RawDouble());
    case vt::kCurrency: return CurrencyToText(v.RawInteger());
    case vt::kDate: return DateTimeToText(v.RawDouble());
    case vt::kBoolean: return v.RawInteger() != 0 ? L"True" : L"False";
    default: break;
  }
  if (IsStringType(t)) return v.RawString();
  Fail(t, "OleStr");
}

bool HostValue::ToBool() const {
  const HostValue& v = Deref();
  const uint16_t t = v.type_;
  if (t & vt::kArray) Fail(t, "Boolean");
  if (t == vt::kEmpty) return false;
  if (IsIntegerType(t) || t == vt::kBoolean || t == vt::kCurrency) return v.RawInteger() != 0;
  if (t == vt::kSingle || t == vt::kDouble || t == vt::kDate) return v.RawDouble() != 0;
  if (IsStringType(t)) {
    const std::wstring& s = v.RawString();
    std::wstring lower;
    for (wchar_t c : s) lower.push_back(c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c);
    if (lower == L"true") return true;
    if (lower == L"false") return false;
    if (auto d = ParseNumberText(s)) return *d != 0;
  }
  Fail(t, "Boolean");
}

int64_t HostValue::ToInt64() const {
  const HostValue& v = Deref();
  const uint16_t t = v.type_;
  if (t & vt::kArray) Fail(t, "Int64");
  if (t == vt::kEmpty) return 0;
  if (t == vt::kUInt64 && static_cast<uint64_t>(v.RawInteger()) > INT64_MAX) Fail(t, "Int64");
  if (IsIntegerType(t) || t == vt::kBoolean) return v.RawInteger();
  if (t == vt::kCurrency) return CurrencyUnitsToInteger(v.RawInteger());
  if (t == vt::kSingle || t == vt::kDouble || t == vt::kDate)
    return RoundToInt64(v.RawDouble(), t, "Int64");
  if (IsStringType(t)) {
    if (auto i = TextToInt64(v.RawString())) return *i;
    if (auto d = ParseNumberText(v.RawString())) return RoundToInt64(*d, t, "Int64");
  }
  Fail(t, "Int64");
}

int32_t HostValue::ToInt32() const {
  int64_t value;
  try {
    value = ToInt64();
  } catch (const HostValueError&) {
    Fail(Deref().type_, "Integer");
  }
  if (value < INT32_MIN || value > INT32_MAX) Fail(Deref().type_, "Integer");
  return static_cast<int32_t>(value);
}

double HostValue::ToDouble() const {
  const HostValue& v = Deref();
  const uint16_t t = v.type_;
  if (t & vt::kArray) Fail(t, "Double");
  if (t == vt::kEmpty) return 0.0;
  if (t == vt::kUInt64) return static_cast<double>(static_cast<uint64_t>(v.RawInteger()));
  if (IsIntegerType(t) || t == vt::kBoolean) return static_cast<double>(v.RawInteger());
  if (t == vt::kCurrency) return CurrencyToDouble(v.RawInteger());
  if (t == vt::kSingle || t == vt::kDouble || t == vt::kDate) return v.RawDouble();
  if (IsStringType(t)) {
    if (auto d = ParseNumberText(v.RawString())) return *d;
  }
  Fail(t, "Double");
}

int64_t HostValue::ToCurrency() const {
  const HostValue& v = Deref();
  const uint16_t t = v.type_;
  if (t & vt::kArray) Fail(t, "Currency");
  if (t == vt::kEmpty) return 0;
  if (t == vt::kCurrency) return v.RawInteger();
  if (IsIntegerType(t) || t == vt::kBoolean) {
    const int64_t i = v.RawInteger();
    if ((t == vt::kUInt64 && static_cast<uint64_t>(i) > INT64_MAX / kCurrencyScale) ||
        i > INT64_MAX / kCurrencyScale || i < INT64_MIN / kCurrencyScale)
      Fail(t, "Currency");
    return i * kCurrencyScale;
  }
  if (t == vt::kSingle || t == vt::kDouble || t == vt::kDate) {
    if (auto c = DoubleToCurrency(v.RawDouble())) return *c;
    Fail(t, "Currency");
  }
  if (IsStringType(t)) {
    if (auto c = TextToCurrency(v.RawString())) return *c;
  }
  Fail(t, "Currency");
}

double HostValue::ToDate() const {
  const HostValue& v = Deref();
  const uint16_t t = v.type_;
  if (IsStringType(t)) {
    if (auto d = TextToDateTime(v.RawString())) return *d;
    Fail(t, "Date");
  }
  try {
    return ToDouble();
  } catch (const HostValueError&) {
    Fail(t, "Date");
  }
}

bool HostValue::operator==(const HostValue& other) const {
  if (type_ != other.type_) return false;
  if (IsArray()) {
    const auto& a = Array();
    const auto& b = other.Array();
    if (!a || !b) return !a && !b;
    return *a == *b;
  }
  if (IsByRef()) return Deref() == other.Deref();
  return data_ == other.data_;
}

HostArray::HostArray(std::vector<Bound> bounds) : bounds_(std::move(bounds)) {
  size_t total = bounds_.empty() ? 0 : 1;
  for (const Bound& b : bounds_) total *= b.Count;
  items_.resize(total);
}

std::shared_ptr<HostArray> HostArray::Vector(std::vector<HostValue> items) {
  auto array = std::make_shared<HostArray>(
      std::vector<Bound>{{0, static_cast<uint32_t>(items.size())}});
  array->items_ = std::move(items);
  return array;
}

HostValue* HostArray::At(const std::vector<int32_t>& positions) {
  if (positions.size() != bounds_.size() || bounds_.empty()) return nullptr;
  size_t index = 0, stride = 1;
  for (size_t k = 0; k < bounds_.size(); ++k) {
    const int64_t offset = static_cast<int64_t>(positions[k]) - bounds_[k].Low;
    if (offset < 0 || offset >= static_cast<int64_t>(bounds_[k].Count)) return nullptr;
    index += static_cast<size_t>(offset) * stride;
    stride *= bounds_[k].Count;
  }
  return &items_[index];
}

const HostValue* HostArray::At(const std::vector<int32_t>& positions) const {
  return const_cast<HostArray*>(this)->At(positions);
}

HostValue* HostArray::At(int32_t position) {
  if (bounds_.size() != 1) return nullptr;
  return At(std::vector<int32_t>{position});
}

const HostValue* HostArray::At(int32_t position) const {
  return const_cast<HostArray*>(this)->At(position);
}

bool HostArray::operator==(const HostArray& other) const {
  if (bounds_.size() != other.bounds_.size()) return false;
  for (size_t k = 0; k < bounds_.size(); ++k)
    if (bounds_[k].Low != other.bounds_[k].Low || bounds_[k].Count != other.bounds_[k].Count)
      return false;
  return items_ == other.items_;
}

}  // namespace velko
