// The driver's message list: an ordered list of fields (value text + tag) in
// which the engine builds a request and reads the server's answer. Values are
// text; they travel one byte per character in the server's code page, except
// the fields padded with 0x00, which hold bytes. One list per exchange; not
// thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/uVelkoFraming.h"
#include "protocol/uVelkoTags.h"

namespace velko {

// Amounts travel as minor units (hundredths); currency counts ten-thousandths.
inline constexpr int64_t kCurrencyPerMinorUnit = 100;

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

}  // namespace velko
