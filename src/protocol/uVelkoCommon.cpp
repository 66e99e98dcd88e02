#include "protocol/uVelkoCommon.h"

#include <limits>

#include "platform/ServerCodePage.h"

namespace velko {

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

}  // namespace velko
