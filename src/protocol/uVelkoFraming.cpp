#include "protocol/uVelkoFraming.h"

#include <algorithm>

namespace velko {
namespace {

char PadByte(TTransactDataType type) {
  switch (type) {
    case dtBCD: return '0';
    case dtHex: return '\0';
    case dtASCI: break;
  }
  return ' ';
}

unsigned Byte(std::string_view s, size_t i) { return static_cast<unsigned char>(s[i]); }

}  // namespace

std::string FitFieldValue(const TTag& tag, std::string value) {
  if (!tag.FixDataLn) return value;
  if (value.size() > tag.DataLn) value.resize(tag.DataLn);
  if (value.size() < tag.DataLn) value.insert(0, tag.DataLn - value.size(), PadByte(tag.DataType));
  return value;
}

std::string EncodeFields(const std::vector<TRawField>& fields) {
  std::string body;
  for (const TRawField& f : fields) {
    const size_t length = f.Value.size();
    if (length > kMaxFieldLength)
      throw TMessageTooLong("The value of tag " + CodeHex(f.Code) + " is " + std::to_string(length) +
                            " bytes long; a field holds at most " +
                            std::to_string(kMaxFieldLength) + " bytes");
    body.append(f.Code);
    if (length <= kMaxShortFieldLength && length != kLongLengthMarker) {
      body.push_back(static_cast<char>(length));
    } else {
      body.push_back(static_cast<char>(kLongLengthMarker));
      body.push_back(static_cast<char>(length >> 8));
      body.push_back(static_cast<char>(length & 0xFF));
    }
    body.append(f.Value);
    if (body.size() > kMaxBodyLength)
      throw TMessageTooLong("The message body would be more than " +
                            std::to_string(kMaxBodyLength) + " bytes long (" +
                            std::to_string(body.size()) + " bytes at tag " + CodeHex(f.Code) + ")");
  }
  std::string message;
  message.reserve(kMessageLengthSize + body.size());
  message.push_back(static_cast<char>(body.size() >> 8));
  message.push_back(static_cast<char>(body.size() & 0xFF));
  message.append(body);
  return message;
}

std::optional<size_t> DeclaredBodyLength(std::string_view message) {
  if (message.size() < kMessageLengthSize) return std::nullopt;
  return Byte(message, 0) * 256 + Byte(message, 1);
}

std::vector<TRawField> SplitFields(std::string_view message, size_t* BodyBytesRead) {
  std::vector<TRawField> fields;
  if (BodyBytesRead) *BodyBytesRead = 0;
  const std::optional<size_t> declared = DeclaredBodyLength(message);
  if (!declared) return fields;
  const std::string_view body = message.substr(std::min(message.size(), kMessageLengthSize), *declared);
  std::string_view r = body;
  while (!r.empty()) {
    const size_t n = r.size();
    const size_t t = (Byte(r, 0) & kTwoByteCodeMask) == kTwoByteCodeMask ? 2 : 1;
    if (n <= t) break;
    size_t h = 1, length = Byte(r, t);
    // The marker byte is also the one-byte length 130: it is the two-byte
    // form when the field so read ends within the body, else the one-byte
    // length when that field does; a field that fits neither way is
    // incomplete, and it and all after it are dropped.
    if (length == kLongLengthMarker && n >= t + 1 + kLongLengthSize + 1) {
      const size_t long_length = Byte(r, t + 1) * 256 + Byte(r, t + 2);
      if (t + 1 + kLongLengthSize + long_length <= n) {
        h = 1 + kLongLengthSize;
        length = long_length;
      } else if (t + 1 + length > n) {
        break;
      }
    }
    if (h == 1 && n < t + 2) break;
    const size_t take = std::min(n, t + h + length);
    fields.push_back({std::string(r.substr(0, t)), std::string(r.substr(t + h, take - t - h))});
    r.remove_prefix(take);
  }
  if (BodyBytesRead) *BodyBytesRead = body.size() - r.size();
  return fields;
}

}  // namespace velko
