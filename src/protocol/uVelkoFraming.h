// The terminal server's message framing: a message is a two-byte body
// length (high byte first) followed by the body, a sequence of fields: the
// field's code, the value's length (one byte, or 0x82 and two bytes high
// first when it exceeds 255) and the value. A length of exactly 130 would be
// the byte 0x82 itself, so it goes in the two-byte form (82 00 82); a reader
// takes 0x82 for the two-byte form only when the field then fits the body,
// and for the one-byte length 130 when that fits. The wire format lives here only:
// the driver's message list and the emulator build and split their messages
// with these functions. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/uVelkoTags.h"

namespace velko {

// ---- Wire constants ---------------------------------------------------------

inline constexpr size_t kMessageLengthSize = 2;       // the body-length prefix
inline constexpr size_t kMaxBodyLength = 0xFFFF;      // what the prefix can say
inline constexpr size_t kMaxMessageLength = kMessageLengthSize + kMaxBodyLength;
inline constexpr size_t kMaxShortFieldLength = 0xFF;  // one length byte
inline constexpr uint8_t kLongLengthMarker = 0x82;    // then two length bytes
inline constexpr size_t kLongLengthSize = 2;
inline constexpr size_t kMaxFieldLength = 0xFFFF;
// A first code byte with these five low bits set announces a two-byte code.
inline constexpr uint8_t kTwoByteCodeMask = 0x1F;

// A value or a body that the length fields cannot express. The exchange
// checks before connecting, so such a request is never sent at all.
class TMessageTooLong : public std::length_error {
 public:
  using std::length_error::length_error;
};

// One field as bytes on the wire: its code and its value.
struct TRawField {
  std::string Code;
  std::string Value;
};

// The field's value fitted to a fixed field: the leftmost DataLn bytes of a
// longer one, pad bytes in front of a shorter one. Variable fields unchanged.
std::string FitFieldValue(const TTag& tag, std::string value);

// Frames fields into a message; throws TMessageTooLong naming the code and
// length of a value, or the body length, that does not fit.
std::string EncodeFields(const std::vector<TRawField>& fields);

// Splits a message into its fields: the body is what the length prefix
// declares (or what there is, when less came). Splitting ends at the first
// field that cannot be read whole; the fields before it are kept. A field cut
// short by the end of the body in the one-byte length form keeps what there
// is. BodyBytesRead, when given, receives how many body bytes the fields
// took, their headers included.
std::vector<TRawField> SplitFields(std::string_view message, size_t* BodyBytesRead = nullptr);

// The body length a message declares; nullopt while fewer than two bytes.
std::optional<size_t> DeclaredBodyLength(std::string_view message);

}  // namespace velko
