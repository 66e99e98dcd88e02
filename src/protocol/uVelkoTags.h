// The terminal server's message tags: one descriptor per field the driver
// sends or reads, with its request and answer codes and its field format.
// The table is the one place that knows the tags; the list answers are read
// with is derived from it. Constants only; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velko {

// The pad character of a fixed field: space, "0", or the byte 0x00.
enum TTransactDataType { dtASCI, dtBCD, dtHex };

struct TTag {
  std::string_view Code;     // the code in requests
  std::string_view OutCode;  // the code the server uses in answers
  bool FixDataLn;            // fixed length (DataLn exactly) or variable
  uint16_t DataLn;           // fixed: the length; variable: nominal maximum only
  TTransactDataType DataType;
  bool InAnswers;            // read from answers; false: sent in requests only
};
using PTTag = const TTag*;

// Two fields belong to the same tag exactly when they point at the same one
// of these descriptors.
//                                                Code     OutCode  fixed  length  pad     answers
inline constexpr TTag TagOperationType     = {"\x01", "\x81", true,  3,     dtASCI, true};
inline constexpr TTag TagECRNumber         = {"\x02", "\x82", true,  2,     dtBCD,  true};
inline constexpr TTag TagReceiptNumber     = {"\x03", "\x83", true,  10,    dtBCD,  true};
inline constexpr TTag TagAmount            = {"\x04", "\x84", true,  12,    dtBCD,  true};
inline constexpr TTag TagInvoiceNumber     = {"\x0B", "\x8B", true,  6,     dtASCI, true};
inline constexpr TTag TagResponseCode      = {"\x9B", "\x9B", true,  2,     dtASCI, true};
inline constexpr TTag TagApprove           = {"\xA1", "\xA1", true,  1,     dtASCI, true};
inline constexpr TTag TagReferenceNumber   = {"\x18", "\x98", true,  12,    dtASCI, true};
inline constexpr TTag TagAuthorizationCode = {"\x0C", "\x8C", true,  6,     dtASCI, true};
inline constexpr TTag TagServiceFunction   = {"\x1A", "\x1A", true,  1,     dtHex,  true};
inline constexpr TTag TagReceiptText       = {"\x9C", "\x9C", false, 65535, dtASCI, true};
inline constexpr TTag TagResponseMessage   = {"\xA0", "\xA0", false, 40,    dtASCI, true};
inline constexpr TTag TagCardNumber        = {"\x09", "\x89", false, 19,    dtBCD,  true};
inline constexpr TTag Tag0A                = {"\x0A", "\x8A", true,  4,     dtBCD,  true};
inline constexpr TTag TagTransactDate      = {"\x8D", "\x8D", true,  4,     dtBCD,  true};
inline constexpr TTag TagTransactTime      = {"\x8E", "\x8E", true,  4,     dtBCD,  true};
inline constexpr TTag TagIssuerName        = {"\x8F", "\x8F", false, 8,     dtASCI, true};
inline constexpr TTag TagMerchantNo        = {"\x90", "\x90", true,  15,    dtASCI, true};
inline constexpr TTag Tag91                = {"\x91", "\x91", true,  6,     dtHex,  true};
inline constexpr TTag Tag92                = {"\x92", "\x92", true,  3,     dtHex,  true};
inline constexpr TTag Tag93                = {"\x93", "\x93", true,  2,     dtHex,  true};
inline constexpr TTag Tag94                = {"\x94", "\x94", true,  1,     dtASCI, true};
inline constexpr TTag TagTerminalID        = {"\x9D", "\x9D", true,  8,     dtASCI, true};
inline constexpr TTag Tag99                = {"\x99", "\x99", true,  6,     dtBCD,  true};
inline constexpr TTag TagJournalQuery      = {"\x08", "\x88", true,  3,     dtHex,  true};
inline constexpr TTag Tag05                = {"\x05", "\x05", false, 76,    dtASCI, true};
inline constexpr TTag Tag06                = {"\x06", "\x06", false, 37,    dtASCI, true};
inline constexpr TTag Tag07                = {"\x07", "\x07", false, 107,   dtASCI, true};
inline constexpr TTag TagCurrencyCode      = {"\x1B", "\x1B", true,  3,     dtBCD,  false};
inline constexpr TTag TagCardNumberEnc     = {"\xC0", "\xC0", false, 64,    dtASCI, true};
inline constexpr TTag TagMerchantID        = {"\x11", "\x11", true,  2,     dtBCD,  false};

// Every descriptor, in declaration order.
inline constexpr std::array<PTTag, 31> AllTags = {
    &TagOperationType,   &TagECRNumber,    &TagReceiptNumber,   &TagAmount,
    &TagInvoiceNumber,   &TagResponseCode, &TagApprove,         &TagReferenceNumber,
    &TagAuthorizationCode, &TagServiceFunction, &TagReceiptText, &TagResponseMessage,
    &TagCardNumber,      &Tag0A,           &TagTransactDate,    &TagTransactTime,
    &TagIssuerName,      &TagMerchantNo,   &Tag91,              &Tag92,
    &Tag93,              &Tag94,           &TagTerminalID,      &Tag99,
    &TagJournalQuery,    &Tag05,           &Tag06,              &Tag07,
    &TagCurrencyCode,    &TagCardNumberEnc, &TagMerchantID};

namespace tags_detail {

constexpr size_t CountAnswerTags() {
  size_t n = 0;
  for (PTTag t : AllTags) n += t->InAnswers ? 1 : 0;
  return n;
}

// One-byte codes, none shared, and no request code that is another tag's
// answer code: a code read from an answer names one field.
constexpr bool CodesAreUnambiguous() {
  // Compared by position: the addresses of two descriptors are not constant
  // expressions that may be compared in a position-independent build.
  for (size_t i = 0; i < AllTags.size(); ++i) {
    const TTag& t = *AllTags[i];
    if (t.Code.size() != 1 || t.OutCode.size() != 1) return false;
    for (size_t j = 0; j < AllTags.size(); ++j)
      if (i != j && (t.Code == AllTags[j]->Code || t.OutCode == AllTags[j]->Code)) return false;
  }
  return true;
}

}  // namespace tags_detail

// The descriptors an answer is read with: those marked InAnswers, in
// declaration order.
inline constexpr auto AnswerTags = [] {
  std::array<PTTag, tags_detail::CountAnswerTags()> answer{};
  size_t i = 0;
  for (PTTag t : AllTags)
    if (t->InAnswers) answer[i++] = t;
  return answer;
}();

static_assert(tags_detail::CodesAreUnambiguous());
static_assert(AnswerTags.size() == 29);

// The fields that carry card data: the card number, the card data a card
// reading returns, and the three fields as long as a magnetic stripe's tracks.
// Whatever is written down of them is masked whole but the card number's last
// four digits.
inline constexpr std::array<PTTag, 5> CardDataTags = {&TagCardNumber, &TagCardNumberEnc, &Tag05, &Tag06,
                                                      &Tag07};
// Whether a field code (request or answer) is one of CardDataTags.
bool CarriesCardData(std::string_view code);

// A field code as hex ("9C"), for messages and logs; TagCodeHex gives a
// tag's request code so.
std::string CodeHex(std::string_view code);
std::string TagCodeHex(const TTag& tag);

}  // namespace velko
