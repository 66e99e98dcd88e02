#include "protocol/uVelkoCommon.h"

#include <algorithm>
#include <limits>

#include "common/CardMask.h"
#include "platform/ServerCodePage.h"

namespace velko {

// ---- Tags --------------------------------------------------------------------

//                                 Code     OutCode  fixed  length  pad
const TTag TagOperationType     = {"\x01", "\x81", true,  3,     dtASCI};
const TTag TagECRNumber         = {"\x02", "\x82", true,  2,     dtBCD};
const TTag TagReceiptNumber     = {"\x03", "\x83", true,  10,    dtBCD};
const TTag TagAmount            = {"\x04", "\x84", true,  12,    dtBCD};
const TTag TagInvoiceNumber     = {"\x0B", "\x8B", true,  6,     dtASCI};
const TTag TagResponseCode      = {"\x9B", "\x9B", true,  2,     dtASCI};
const TTag TagApprove           = {"\xA1", "\xA1", true,  1,     dtASCI};
const TTag TagReferenceNumber   = {"\x18", "\x98", true,  12,    dtASCI};
const TTag TagAuthorizationCode = {"\x0C", "\x8C", true,  6,     dtASCI};
const TTag TagServiceFunction   = {"\x1A", "\x1A", true,  1,     dtHex};
const TTag TagReceiptText       = {"\x9C", "\x9C", false, 65535, dtASCI};
const TTag TagResponseMessage   = {"\xA0", "\xA0", false, 40,    dtASCI};
const TTag TagCardNumber        = {"\x09", "\x89", false, 19,    dtBCD};
const TTag Tag0A                = {"\x0A", "\x8A", true,  4,     dtBCD};
const TTag TagTransactDate      = {"\x8D", "\x8D", true,  4,     dtBCD};
const TTag TagTransactTime      = {"\x8E", "\x8E", true,  4,     dtBCD};
const TTag TagIssuerName        = {"\x8F", "\x8F", false, 8,     dtASCI};
const TTag TagMerchantNo        = {"\x90", "\x90", true,  15,    dtASCI};
const TTag Tag91                = {"\x91", "\x91", true,  6,     dtHex};
const TTag Tag92                = {"\x92", "\x92", true,  3,     dtHex};
const TTag Tag93                = {"\x93", "\x93", true,  2,     dtHex};
const TTag Tag94                = {"\x94", "\x94", true,  1,     dtASCI};
const TTag TagTerminalID        = {"\x9D", "\x9D", true,  8,     dtASCI};
const TTag Tag99                = {"\x99", "\x99", true,  6,     dtBCD};
const TTag TagJournalQuery      = {"\x08", "\x88", true,  3,     dtHex};
const TTag Tag05                = {"\x05", "\x05", false, 76,    dtASCI};
const TTag Tag06                = {"\x06", "\x06", false, 37,    dtASCI};
const TTag Tag07                = {"\x07", "\x07", false, 107,   dtASCI};
const TTag TagCurrencyCode      = {"\x1B", "\x1B", true,  3,     dtBCD};
const TTag TagCardNumberEnc     = {"\xC0", "\xC0", false, 64,    dtASCI};
const TTag TagMerchantID        = {"\x11", "\x11", true,  2,     dtBCD};

const std::array<PTTag, 31> AllTags = {
    &TagOperationType, &TagECRNumber,   &TagReceiptNumber, &TagAmount,      &TagInvoiceNumber,
    &TagResponseCode,  &TagApprove,     &TagReferenceNumber, &TagAuthorizationCode,
    &TagServiceFunction, &TagReceiptText, &TagResponseMessage, &TagCardNumber, &Tag0A,
    &TagTransactDate,  &TagTransactTime, &TagIssuerName,   &TagMerchantNo,  &Tag91,
    &Tag92,            &Tag93,          &Tag94,            &TagTerminalID,  &Tag99,
    &TagJournalQuery,  &Tag05,          &Tag06,            &Tag07,          &TagCurrencyCode,
    &TagCardNumberEnc, &TagMerchantID};

const std::array<PTTag, 29> AnswerTags = {
    &TagOperationType, &TagECRNumber,   &TagReceiptNumber, &TagAmount,      &TagInvoiceNumber,
    &TagResponseCode,  &TagApprove,     &TagReferenceNumber, &TagAuthorizationCode,
    &TagServiceFunction, &TagReceiptText, &TagResponseMessage, &TagCardNumber, &Tag0A,
    &TagTransactDate,  &TagTransactTime, &TagIssuerName,   &TagMerchantNo,  &Tag91,
    &Tag92,            &Tag93,          &Tag94,            &TagTerminalID,  &Tag99,
    &TagJournalQuery,  &Tag05,          &Tag06,            &Tag07,          &TagCardNumberEnc};

namespace {

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

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

std::string TagCodeHex(const TTag& tag) { return Hex(tag.Code); }

// ---- Framing ----------------------------------------------------------------

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
      throw TMessageTooLong("The value of tag " + Hex(f.Code) + " is " + std::to_string(length) +
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
                            std::to_string(body.size()) + " bytes at tag " + Hex(f.Code) + ")");
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

// ---- The message list -------------------------------------------------------

void TTransactDataList::Clear() { FFields.clear(); }

void TTransactDataList::Add(const TTag& Tag, std::wstring Data) {
  for (auto it = FFields.begin(); it != FFields.end(); ++it) {
    if (it->Tag == &Tag) {
      FFields.insert(it, TField{&Tag, std::move(Data)});
      return;
    }
  }
  FFields.push_back(TField{&Tag, std::move(Data)});
}

PTTag TTransactDataList::FindTag(std::string_view Code) {
  for (PTTag tag : AnswerTags) {
    if (tag->Code == Code || tag->OutCode == Code) return tag;
  }
  return nullptr;
}

std::wstring TTransactDataList::GetTagData(const TTag& Tag) const {
  for (const TField& f : FFields)
    if (f.Tag == &Tag) return f.Data;
  return L"";
}

void TTransactDataList::SetTagData(const TTag& Tag, std::wstring Value) {
  for (TField& f : FFields) {
    if (f.Tag == &Tag) {
      f.Data = std::move(Value);
      return;
    }
  }
  Add(Tag, std::move(Value));
}

namespace {

// Fields padded with the byte 0x00 hold bytes, not text (the service
// function, the journal query): each character of the value is one byte of
// the same number, whatever the server's code page, so that no code page
// (UTF-8 or a double-byte one) can change them on the way.
std::string FieldBytes(const TTag& tag, const std::wstring& value) {
  if (tag.DataType != dtHex) return WideToServerCodePage(value);
  std::string bytes;
  bytes.reserve(value.size());
  for (wchar_t c : value) bytes.push_back(static_cast<char>(static_cast<unsigned>(c) & 0xFF));
  return bytes;
}

std::wstring FieldText(const TTag& tag, std::string_view bytes) {
  if (tag.DataType != dtHex) return ServerCodePageToWide(bytes);
  std::wstring value;
  value.reserve(bytes.size());
  for (char c : bytes) value.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return value;
}

}  // namespace

std::string TTransactDataList::EncodedData() const {
  std::vector<TRawField> raw;
  raw.reserve(FFields.size());
  for (const TField& f : FFields)
    raw.push_back({std::string(f.Tag->Code), FitFieldValue(*f.Tag, FieldBytes(*f.Tag, f.Data))});
  return EncodeFields(raw);
}

void TTransactDataList::DecodeAnswer(std::string_view S) {
  Clear();
  for (TRawField& f : SplitFields(S)) {
    if (PTTag tag = FindTag(f.Code)) Add(*tag, FieldText(*tag, f.Value));
  }
}

bool TTransactDataList::Approve() const { return GetTagData(TagApprove) == L"Y"; }
std::wstring TTransactDataList::ResponseCode() const { return GetTagData(TagResponseCode); }
std::wstring TTransactDataList::ResponseMessage() const { return GetTagData(TagResponseMessage); }

std::wstring TTransactDataList::StrOperationType() const {
  const std::wstring op = GetTagData(TagOperationType);
  if (op == L"PUR") return L"ПРОДАЖА";
  if (op == L"VOI") return L"ОТМЕНА";
  if (op == L"REF") return L"ВОЗВРАТ";
  if (op == L"SRV") return L"СЕРВИСНАЯ ОПЕРАЦИЯ";
  return L"";
}

int64_t TTransactDataList::TransactionAmount() const {
  // A whole decimal number of minor units with optional leading blanks and
  // sign; anything else (trailing blanks too) reads as 0. Read as 64 bits:
  // twelve digits do not fit 32.
  const std::wstring text = GetTagData(TagAmount);
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  if (i == text.size()) return 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / kCurrencyPerMinorUnit;
  int64_t minor = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return 0;
    minor = minor * 10 + (text[i] - L'0');
    if (minor > kMax) return 0;
  }
  return (negative ? -minor : minor) * kCurrencyPerMinorUnit;
}

// ---- Card numbers -----------------------------------------------------------

std::wstring MaskCardNumber(const std::wstring& CardNumber) { return MaskAllButLastFour(CardNumber); }

std::wstring ExtractCardBIN(const std::wstring& CardNumber) {
  constexpr size_t kBinLength = 6;
  return CardNumber.size() >= kBinLength ? CardNumber.substr(0, kBinLength) : L"";
}

}  // namespace velko
