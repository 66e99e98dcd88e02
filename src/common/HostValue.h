// The host value: what crosses the host boundary, modelled without COM.
//
// A HostValue holds what an OLE VARIANT can hold, with the host's type codes,
// including arrays of any rank (HostArray) and values held by reference. The
// COM layer converts VARIANT and SAFEARRAY to and from this type at the edge,
// so the whole driver (the add-in object's dispatch included) runs the same on
// Linux and on Windows. Conversions use the module's process-wide formats and
// throw HostValueError for what cannot be converted.
//
// A HostValue is a plain value type; copies are deep, except that a by-reference
// value shares its target (as a VT_BYREF VARIANT does). Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace velko {

// Type codes as the host gives them.
namespace vt {
constexpr uint16_t kEmpty = 0;
constexpr uint16_t kNull = 1;
constexpr uint16_t kInt16 = 2;
constexpr uint16_t kInt32 = 3;
constexpr uint16_t kSingle = 4;
constexpr uint16_t kDouble = 5;
constexpr uint16_t kCurrency = 6;
constexpr uint16_t kDate = 7;
constexpr uint16_t kString = 8;      // OLE string (BSTR)
constexpr uint16_t kDispatch = 9;
constexpr uint16_t kError = 10;
constexpr uint16_t kBoolean = 11;
constexpr uint16_t kVariant = 12;    // a value held by reference
constexpr uint16_t kUnknown = 13;
constexpr uint16_t kInt8 = 16;
constexpr uint16_t kUInt8 = 17;
constexpr uint16_t kUInt16 = 18;
constexpr uint16_t kUInt32 = 19;
constexpr uint16_t kInt64 = 20;
constexpr uint16_t kUInt64 = 21;
constexpr uint16_t kInt = 22;
constexpr uint16_t kUInt = 23;
constexpr uint16_t kRuntimeString = 256;   // the runtime's 8-bit string
constexpr uint16_t kRuntimeUString = 258;  // the runtime's own Unicode string
constexpr uint16_t kTypeMask = 0x0FFF;
constexpr uint16_t kArray = 0x2000;
constexpr uint16_t kByRef = 0x4000;
}  // namespace vt

// Raised where a value cannot be converted to the type asked for.
class HostValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HostArray;

class HostValue {
 public:
  HostValue() = default;  // empty

  static HostValue Null();
  static HostValue FromBool(bool value);
  static HostValue FromInt16(int16_t value);
  static HostValue FromInt32(int32_t value);
  static HostValue FromInteger(uint16_t type, int64_t value);  // any integer code
  static HostValue FromSingle(float value);
  static HostValue FromDouble(double value);
  static HostValue FromCurrency(int64_t units);  // ten-thousandths
  static HostValue FromDate(double days);        // days since 30.12.1899
  static HostValue FromString(std::wstring text, uint16_t type = vt::kString);
  static HostValue FromUInt8(uint8_t value);
  static HostValue FromDispatch(uintptr_t address);  // an opaque reference, only rendered
  // An array value; `array` may be null (an array type with no array).
  static HostValue FromArray(std::shared_ptr<HostArray> array,
                             uint16_t element_type = vt::kVariant);
  // A value held by reference: reads and writes go to `target`.
  static HostValue ByRef(std::shared_ptr<HostValue> target);

  uint16_t Type() const { return type_; }                 // with the array/by-ref flags
  uint16_t BaseType() const { return type_ & vt::kTypeMask; }
  bool IsEmpty() const { return type_ == vt::kEmpty; }
  bool IsArray() const { return (type_ & vt::kArray) != 0; }
  bool IsByRef() const { return (type_ & vt::kByRef) != 0; }
  bool IsString() const;   // OLE string or either runtime string
  bool IsBoolean() const { return Deref().type_ == vt::kBoolean; }

  // The value a by-reference value points to (itself otherwise).
  const HostValue& Deref() const;
  const std::shared_ptr<HostArray>& Array() const;  // null unless an array
  const std::shared_ptr<HostValue>& RefTarget() const;

  // Raw payloads, for renderers and the COM layer.
  int64_t RawInteger() const;        // integers, Boolean (0/-1), currency units
  double RawDouble() const;          // single, double, date
  const std::wstring& RawString() const;
  uintptr_t RawDispatch() const;

  // Conversions under the process-wide formats; throw HostValueError.
  std::wstring ToText() const;
  bool ToBool() const;
  int32_t ToInt32() const;
  int64_t ToInt64() const;
  double ToDouble() const;
  int64_t ToCurrency() const;  // ten-thousandths
  double ToDate() const;

  bool operator==(const HostValue& other) const;

 private:
  uint16_t type_ = vt::kEmpty;
  std::variant<std::monostate, int64_t, double, std::wstring, std::shared_ptr<HostArray>,
               std::shared_ptr<HostValue>>
      data_;
};

// An array of host values of any rank. Dimension k (1-based, as the host counts
// them) has a low bound and an element count; elements are stored with
// dimension 1 varying fastest.
class HostArray {
 public:
  struct Bound {
    int32_t Low;
    uint32_t Count;
  };

  explicit HostArray(std::vector<Bound> bounds);
  // A one-dimensional array indexed from 0, as the host passes parameters.
  static std::shared_ptr<HostArray> Vector(std::vector<HostValue> items);

  int Dims() const { return static_cast<int>(bounds_.size()); }
  int32_t LowBound(int dim) const { return bounds_.at(static_cast<size_t>(dim - 1)).Low; }
  int32_t HighBound(int dim) const {
    const Bound& b = bounds_.at(static_cast<size_t>(dim - 1));
    return static_cast<int32_t>(static_cast<int64_t>(b.Low) + b.Count - 1);
  }
  size_t Size() const { return items_.size(); }

  // Element at a vector of positions (one per dimension, dimension 1 first);
  // nullptr when any position is out of its bounds.
  HostValue* At(const std::vector<int32_t>& positions);
  const HostValue* At(const std::vector<int32_t>& positions) const;
  // One-dimensional access by position (from the low bound); nullptr outside.
  HostValue* At(int32_t position);
  const HostValue* At(int32_t position) const;

  std::vector<HostValue>& Items() { return items_; }
  const std::vector<HostValue>& Items() const { return items_; }

  bool operator==(const HostArray& other) const;

 private:
  std::vector<Bound> bounds_;
  std::vector<HostValue> items_;
};

// The parameters of a host method call: a one-dimensional array indexed from 0.
using HostParams = HostArray;

}  // namespace velko
