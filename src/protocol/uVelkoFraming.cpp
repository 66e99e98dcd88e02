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
    if (length <= kMaxShortFieldLength) {
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

std::vector<TRawField> SplitFields(std::string_view message) {
  std::vector<TRawField> fields;
  const std::optional<size_t> declared = DeclaredBodyLength(message);
  if (!declared) return fields;
  std::string_view r = message.substr(kMessageLengthSize, *declared);
  while (!r.empty()) {
    const size_t n = r.size();
    const size_t t = (Byte(r, 0) & kTwoByteCodeMask) == kTwoByteCodeMask ? 2 : 1;
    if (n <= t) break;
    size_t h = 0, length = 0;
    if (Byte(r, t) == kLongLengthMarker && n >= t + 1 + kLongLengthSize + 1) {
      h = 1 + kLongLengthSize;
      length = Byte(r, t + 1) * 256 + Byte(r, t + 2);
      if (n < t + h + length) break;  // incomplete: it and all after it are dropped
    } else {
      if (n < t + 2) break;
      h = 1;
      length = Byte(r, t);
    }
    const size_t take = std::min(n, t + h + length);
    fields.push_back({std::string(r.substr(0, t)), std::string(r.substr(t + h, take - t - h))});
    r.remove_prefix(take);
  }
  return fields;
}

}  // namespace velko
