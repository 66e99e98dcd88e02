#include "addin/native/NativeValue.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/TextUtf.h"
#include "common/uCommonUtils.h"

namespace velko::native {

std::wstring FromNativeText(const NativeChar* text, size_t length) {
  if (!text) return std::wstring();
  if constexpr (sizeof(wchar_t) == 2) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text), length);
  } else {
    std::wstring out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
      const char32_t unit = static_cast<char16_t>(text[i]);
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
        const char32_t low = static_cast<char16_t>(text[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
          ++i;
          continue;
        }
      }
      // A lone surrogate has no code point of its own.
      out.push_back(unit >= 0xD800 && unit <= 0xDFFF ? L'\uFFFD' : static_cast<wchar_t>(unit));
    }
    return out;
  }
}

std::wstring FromNativeText(const NativeChar* text) {
  if (!text) return std::wstring();
  size_t length = 0;
  while (text[length]) ++length;
  return FromNativeText(text, length);
}

std::u16string ToUtf16(const std::wstring& text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const auto point = static_cast<uint32_t>(c);
    if (sizeof(wchar_t) > 2 && point > 0xFFFF && point <= 0x10FFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(point > 0x10FFFF ? 0xFFFD : point));
    }
  }
  return out;
}

NativeChar* HostMemory::CopyText(const std::wstring& text) const {
  const std::u16string units = ToUtf16(text);
  void* block = nullptr;
  const unsigned long bytes = static_cast<unsigned long>((units.size() + 1) * sizeof(NativeChar));
  if (!manager_ || !manager_->AllocMemory(&block, bytes) || !block) throw std::bad_alloc();
  std::memcpy(block, units.c_str(), bytes);
  return static_cast<NativeChar*>(block);
}

void HostMemory::Free(void* block) const {
  if (manager_ && block) manager_->FreeMemory(&block);
}

namespace {

constexpr int kEpochYear = 1900;

HostValue FromNativeString(const char* text, uint32_t length) {
  if (!text) return HostValue::FromString(L"");
  return HostValue::FromString(Utf8ToWide(std::string_view(text, length)));
}

void PutText(const std::wstring& text, NativeVariant& target, const HostMemory& memory) {
  NativeChar* block = memory.CopyText(text);
  target.vt = nvt::kPwstr;
  target.wstr.pointer = block;
  target.wstr.length = static_cast<uint32_t>(ToUtf16(text).size());
}

}  // namespace

NativeTm DateToTm(double days) {
  const TCalendarTime parts = DecodeDateTime(days);
  NativeTm tm{};
  tm.tm_year = parts.Year - kEpochYear;
  tm.tm_mon = parts.Month - 1;
  tm.tm_mday = parts.Day;
  tm.tm_hour = parts.Hour;
  tm.tm_min = parts.Minute;
  tm.tm_sec = parts.Second;
  tm.tm_isdst = -1;
  // Days since Sunday: 30.12.1899 was a Saturday.
  const long long whole = static_cast<long long>(days < 0 ? days - 1 : days);
  tm.tm_wday = static_cast<int>(((whole + 6) % 7 + 7) % 7);
  const std::optional<double> first = EncodeDateTime({parts.Year, 1, 1, 0, 0, 0, 0});
  tm.tm_yday = first ? static_cast<int>(static_cast<long long>(days) - static_cast<long long>(*first)) : 0;
  return tm;
}

double TmToDate(const NativeTm& tm) {
  const std::optional<double> days = EncodeDateTime(
      {tm.tm_year + kEpochYear, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0});
  if (!days) throw HostValueError("The host's date is not a valid date");
  return *days;
}

HostValue FromNative(const NativeVariant& value) {
  switch (value.vt) {
    case nvt::kEmpty: return HostValue();
    case nvt::kNull: return HostValue::Null();
    case nvt::kI2: return HostValue::FromInt16(value.i2);
    case nvt::kI4: return HostValue::FromInt32(value.i4);
    case nvt::kR4: return HostValue::FromSingle(value.r4);
    case nvt::kR8: return HostValue::FromDouble(value.r8);
    case nvt::kDate: return HostValue::FromDate(value.date);
    case nvt::kTm: return HostValue::FromDate(TmToDate(value.tm));
    case nvt::kPstr: return FromNativeString(value.str.pointer, value.str.length);
    case nvt::kError: return HostValue::FromInteger(vt::kError, value.error_code);
    case nvt::kBool: return HostValue::FromBool(value.boolean);
    case nvt::kI1: return HostValue::FromInteger(vt::kInt8, value.i1);
    case nvt::kUI1: return HostValue::FromUInt8(value.ui1);
    case nvt::kUI2: return HostValue::FromInteger(vt::kUInt16, value.ui2);
    case nvt::kUI4: return HostValue::FromInteger(vt::kUInt32, value.ui4);
    case nvt::kI8: return HostValue::FromInteger(vt::kInt64, value.i8);
    case nvt::kUI8: return HostValue::FromInteger(vt::kUInt64, static_cast<int64_t>(value.ui8));
    case nvt::kInt: return HostValue::FromInteger(vt::kInt, value.int_value);
    case nvt::kUInt: return HostValue::FromInteger(vt::kUInt, value.uint_value);
    case nvt::kPwstr: return HostValue::FromString(FromNativeText(value.wstr.pointer, value.wstr.length));
    case nvt::kVariant:
      if (!value.variant || value.variant == &value) throw HostValueError("The host's reference names no value");
      return FromNative(*value.variant);
    default:
      throw HostValueError("A host value of type " + std::to_string(value.vt) + " is not supported");
  }
}

void ToNative(const HostValue& source, NativeVariant& target, const HostMemory& memory) {
  const HostValue& value = source.Deref();
  if (value.IsArray()) throw HostValueError("An array cannot be handed to the host as a value");
  NativeVariant out{};
  switch (value.BaseType()) {
    case vt::kEmpty: out.vt = nvt::kEmpty; break;
    case vt::kNull: out.vt = nvt::kNull; break;
    case vt::kBoolean: out.vt = nvt::kBool; out.boolean = value.ToBool(); break;
    case vt::kInt16: out.vt = nvt::kI2; out.i2 = static_cast<int16_t>(value.RawInteger()); break;
    case vt::kInt32:
    case vt::kInt: out.vt = nvt::kI4; out.i4 = static_cast<int32_t>(value.RawInteger()); break;
    case vt::kInt8: out.vt = nvt::kI1; out.i1 = static_cast<int8_t>(value.RawInteger()); break;
    case vt::kUInt8: out.vt = nvt::kUI1; out.ui1 = static_cast<uint8_t>(value.RawInteger()); break;
    case vt::kUInt16: out.vt = nvt::kUI2; out.ui2 = static_cast<uint16_t>(value.RawInteger()); break;
    case vt::kUInt32:
    case vt::kUInt: out.vt = nvt::kUI4; out.ui4 = static_cast<uint32_t>(value.RawInteger()); break;
    case vt::kInt64: out.vt = nvt::kI8; out.i8 = value.RawInteger(); break;
    case vt::kUInt64: out.vt = nvt::kUI8; out.ui8 = static_cast<uint64_t>(value.RawInteger()); break;
    case vt::kSingle: out.vt = nvt::kR4; out.r4 = static_cast<float>(value.RawDouble()); break;
    case vt::kDouble: out.vt = nvt::kR8; out.r8 = value.RawDouble(); break;
    case vt::kCurrency: out.vt = nvt::kR8; out.r8 = CurrencyToDouble(value.RawInteger()); break;
    case vt::kDate: out.vt = nvt::kTm; out.tm = DateToTm(value.RawDouble()); break;
    case vt::kError: out.vt = nvt::kError; out.error_code = static_cast<int32_t>(value.RawInteger()); break;
    case vt::kDispatch:
    case vt::kUnknown:
      // A host value does not own the interface it names: nothing to hand over.
      out.vt = nvt::kEmpty;
      break;
    default:
      if (!value.IsString())
        throw HostValueError("A host value of type " + std::to_string(value.Type()) + " has no Native form");
      PutText(value.RawString(), out, memory);
      break;
  }
  target = out;
}

void ReplaceNative(const HostValue& value, NativeVariant& target, const HostMemory& memory) {
  NativeVariant fresh{};
  ToNative(value, fresh, memory);  // first, so that a failure leaves the host's value whole
  if (target.vt == nvt::kPwstr) memory.Free(target.wstr.pointer);
  if (target.vt == nvt::kPstr || target.vt == nvt::kBlob) memory.Free(target.str.pointer);
  target = fresh;
}

std::shared_ptr<HostArray> ParamsFromNative(const NativeVariant* params, long count) {
  std::vector<HostValue> items;
  if (params && count > 0) {
    items.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) items.push_back(FromNative(params[i]));
  }
  return HostArray::Vector(std::move(items));
}

void WriteBackChanged(NativeVariant* params, const HostArray& before, const HostArray& after,
                      const HostMemory& memory) {
  if (!params) return;
  const size_t count = std::min(before.Size(), after.Size());
  for (size_t i = 0; i < count; ++i)
    if (!(before.Items()[i] == after.Items()[i])) ReplaceNative(after.Items()[i], params[i], memory);
}

}  // namespace velko::native
