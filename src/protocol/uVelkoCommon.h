// The terminal-server protocol's shared unit: the message tags, the message
// list that builds requests and reads answers, the card-number helpers, and the
// result texts of the transaction engine's own codes (above 4500).
//
// A message is a two-byte body length (high byte first) followed by the body, a
// sequence of fields: the tag's code, the value's length (one byte, or 0x82 and
// two bytes high first when it exceeds 255) and the value, one byte per
// character in the server's code page. The wire format lives here only: the
// emulator builds and splits its messages with the same functions.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/ResultCodes.h"

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
// Amounts travel as minor units (hundredths); currency counts ten-thousandths.
inline constexpr int64_t kCurrencyPerMinorUnit = 100;

// ---- Tags --------------------------------------------------------------------

// The pad character of a fixed field: space, "0", or the byte 0x00.
enum TTransactDataType { dtASCI, dtBCD, dtHex };

struct TTag {
  std::string_view Code;     // the code in requests
  std::string_view OutCode;  // the code the server uses in answers
  bool FixDataLn;            // fixed length (DataLn exactly) or variable
  uint16_t DataLn;           // fixed: the length; variable: nominal maximum only
  TTransactDataType DataType;
};
using PTTag = const TTag*;

// Two fields belong to the same tag exactly when they point at the same one
// of these descriptors.
extern const TTag TagOperationType;
extern const TTag TagECRNumber;
extern const TTag TagReceiptNumber;
extern const TTag TagAmount;
extern const TTag TagInvoiceNumber;
extern const TTag TagResponseCode;
extern const TTag TagApprove;
extern const TTag TagReferenceNumber;
extern const TTag TagAuthorizationCode;
extern const TTag TagServiceFunction;
extern const TTag TagReceiptText;
extern const TTag TagResponseMessage;
extern const TTag TagCardNumber;
extern const TTag Tag0A;
extern const TTag TagTransactDate;
extern const TTag TagTransactTime;
extern const TTag TagIssuerName;
extern const TTag TagMerchantNo;
extern const TTag Tag91;
extern const TTag Tag92;
extern const TTag Tag93;
extern const TTag Tag94;
extern const TTag TagTerminalID;
extern const TTag Tag99;
extern const TTag TagJournalQuery;
extern const TTag Tag05;
extern const TTag Tag06;
extern const TTag Tag07;
extern const TTag TagCurrencyCode;
extern const TTag TagCardNumberEnc;
extern const TTag TagMerchantID;

// Every descriptor, in declaration order (31).
extern const std::array<PTTag, 31> AllTags;
// The descriptors an answer is read with: all but TagCurrencyCode and
// TagMerchantID, in the same order (29).
extern const std::array<PTTag, 29> AnswerTags;

// The tag's code as hex ("9C"), for messages and logs.
std::string TagCodeHex(const TTag& tag);

// ---- Framing ----------------------------------------------------------------

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
// short by the end of the body in the one-byte length form keeps what there is.
std::vector<TRawField> SplitFields(std::string_view message);

// The body length a message declares; nullopt while fewer than two bytes.
std::optional<size_t> DeclaredBodyLength(std::string_view message);

// ---- The message list -------------------------------------------------------

// A hook for what the list has to report (caption, text). The list itself
// reports nothing today; the engine points it at its own log.
using TWriteLogProc = std::function<void(const std::wstring& Caption, const std::wstring& Text)>;

// An ordered list of fields (value text + tag). A request is built in it with
// Add, sent as EncodedData, and the answer decoded into the same list.
class TTransactDataList {
 public:
  struct TField {
    PTTag Tag;
    std::wstring Data;
  };

  TTransactDataList() = default;

  void Clear();
  // Appends; a tag already in the list gets the new field in front of its
  // first one instead (so the latest value is the one GetTagData reads).
  void Add(const TTag& Tag, std::wstring Data);
  // The first descriptor of AnswerTags whose Code or OutCode is Code.
  static PTTag FindTag(std::string_view Code);
  std::wstring GetTagData(const TTag& Tag) const;
  void SetTagData(const TTag& Tag, std::wstring Value);

  // The request message; throws TMessageTooLong when a value or the body is
  // too long for its length field.
  std::string EncodedData() const;
  // Empties the list and fills it from an answer message.
  void DecodeAnswer(std::string_view S);

  bool Approve() const;
  std::wstring ResponseCode() const;
  std::wstring ResponseMessage() const;
  std::wstring StrOperationType() const;
  // TagAmount as minor units, in currency (ten-thousandths); 0 when absent,
  // empty or not a whole number.
  int64_t TransactionAmount() const;

  const std::vector<TField>& Fields() const { return FFields; }
  size_t Count() const { return FFields.size(); }

  const TWriteLogProc& WriteLogProc() const { return FWriteLogProc; }
  void SetWriteLogProc(TWriteLogProc Proc) { FWriteLogProc = std::move(Proc); }

 private:
  std::vector<TField> FFields;
  TWriteLogProc FWriteLogProc;
};

// ---- Card numbers -----------------------------------------------------------

// All but the last four characters as "*"; four or fewer give the empty text.
std::wstring MaskCardNumber(const std::wstring& CardNumber);
// The first six characters; fewer than six give the empty text.
std::wstring ExtractCardBIN(const std::wstring& CardNumber);

}  // namespace velko
