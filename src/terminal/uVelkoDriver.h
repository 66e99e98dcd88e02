// TVelkoDriver: the transaction engine.
//
// Each operation is one request/answer exchange with the terminal server run
// through one common frame: the receipt numerator is locked (it is also the
// terminal's lock between driver instances), a transaction left unfinished by
// an earlier operation is voided first (guarded operations), operations that
// move money are recorded as unfinished in the numerator file before they are
// sent and cleared only by a definite outcome (recorded operations; an
// undetermined "TT" outcome is checked in the server's journal), the answer
// becomes a result code, and the numerator is advanced and released whatever
// happened. The advanced number reaches the file before any request leaves
// (with the record, for recorded operations), and a file left by a till that
// died as (next N, unfinished N) is moved past N at the lock: no receipt
// number goes out twice, and an operation that cannot write the numerator
// sends nothing (4568). When the last write fails after the server answered,
// the host still hears the bank's outcome, with the failure added to the
// description, except an approval whose record stays for the next operation
// to void (4568). Every operation returns its result code and leaves it in
// LastResult; the last answer stays in the message list for the result
// properties to read.
//
// The engine creates no threads and is used on the host's thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/CardMask.h"
#include "platform/LockedFile.h"
#include "protocol/TransactionExchange.h"
#include "protocol/uVelkoCommon.h"
#include "terminal/uReceiptEnum.h"

namespace velko {

class TVelkoDriver {
 public:
  // The exchange defaults to the TCP one; tests pass their own.
  explicit TVelkoDriver(std::unique_ptr<TTransactionExchange> Exchange = nullptr,
                        FileService& Files = PlatformFileService());
  ~TVelkoDriver();
  TVelkoDriver(const TVelkoDriver&) = delete;
  TVelkoDriver& operator=(const TVelkoDriver&) = delete;

  int32_t Enable();
  void Disable();
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);

  // Card payment operations.
  int32_t Sale(int64_t Amount, const std::wstring& CardNumEnc);
  int32_t Payment(int64_t Amount, const std::wstring& CardNumEnc);
  int32_t Refund(int64_t Amount, const std::wstring& CardNumEnc, const std::wstring& RRN);
  int32_t PreSale(int64_t Amount, const std::wstring& CardNumEnc);
  int32_t Completion(int64_t Amount, const std::wstring& RecNumber, const std::wstring& AuthCode);
  int32_t Void(int64_t Amount, const std::wstring& RecNumber, const std::wstring& AuthCode,
               const std::wstring& RRN);
  int32_t EmergencyVoid();
  // The support engineer's settling of an unfinished transaction: applies the
  // numerator and connection settings as Enable does (without its pinpad
  // test), locks the numerator and runs the automatic void of the record
  // now. No receipt number is used unless the void settles the record; a
  // refusal other than "not found" leaves the record. Needs no Enable.
  // Record: the unfinished receipt number found at the lock (0: none).
  int32_t SettleUnfinished(uint32_t& Record);

  // Service, loyalty and gift operations.
  int32_t Settlement();
  int32_t TestHost();
  int32_t TestPinpad(bool CheckEnabled);
  int32_t ReportMenu();
  int32_t ServiceOperation(uint8_t FuncID);
  int32_t GetBalance(int64_t& Amount);
  int32_t PrintReceiptCopy(const std::wstring& RecNumber);
  int32_t ReadCard(std::wstring& CardDataEnc);
  int32_t GiftCardActivate(int64_t Amount);
  int32_t GetLoyaltyBalance(int64_t& Amount);
  int32_t LoyaltySale(const std::wstring& CardNumEnc);
  int32_t LoyaltyRefund(int64_t Amount, const std::wstring& CardNumEnc);

  // Results of the last operation.
  int32_t LastResult() const { return FLastResult; }
  const std::wstring& ExtErrorDescription() const { return FExtErrorDescription; }
  std::wstring LastResultDescription() const;

  // Result properties: the message list as the last operation left it.
  int64_t Amount() const { return FTransactData.TransactionAmount(); }
  std::wstring ReferenceNumber() const { return FTransactData.GetTagData(TagReferenceNumber); }
  std::wstring AuthorizationCode() const { return FTransactData.GetTagData(TagAuthorizationCode); }
  std::wstring ReceiptNumber() const { return FTransactData.GetTagData(TagReceiptNumber); }
  std::wstring CardNumber() const { return MaskCardNumber(FTransactData.GetTagData(TagCardNumber)); }
  std::wstring CardBIN() const { return ExtractCardBIN(FTransactData.GetTagData(TagCardNumber)); }
  std::wstring CardNumberEnc() const { return FTransactData.GetTagData(TagCardNumberEnc); }
  std::wstring ReceiptText() const { return FTransactData.GetTagData(TagReceiptText); }
  std::wstring TerminalID() const { return FTransactData.GetTagData(TagTerminalID); }
  std::wstring MerchantNo() const { return FTransactData.GetTagData(TagMerchantNo); }
  std::wstring TransactDate() const { return FTransactData.GetTagData(TagTransactDate); }
  std::wstring TransactTime() const { return FTransactData.GetTagData(TagTransactTime); }
  std::wstring InvoiceNumber() const { return FTransactData.GetTagData(TagInvoiceNumber); }
  std::wstring IssuerName() const { return FTransactData.GetTagData(TagIssuerName); }

  // Settings, copied in by the driver facade; the connection ones, the
  // numerator folder and the ECR number take effect at the next Enable.
  int32_t ECRNumber() const { return FECRNumber; }
  void SetECRNumber(int32_t Value) { FECRNumber = Value; }
  const std::wstring& ReceiptEnumDir() const { return FReceiptEnumDir; }
  void SetReceiptEnumDir(const std::wstring& Value) { FReceiptEnumDir = Value; }
  const std::wstring& ServerAddress() const { return FServerAddress; }
  void SetServerAddress(const std::wstring& Value) { FServerAddress = Value; }
  int32_t ServerPort() const { return FServerPort; }
  void SetServerPort(int32_t Value) { FServerPort = Value; }
  const std::wstring& CurrencyCode() const { return FCurrencyCode; }
  void SetCurrencyCode(const std::wstring& Value) { FCurrencyCode = Value; }
  // The answer time-out in seconds; a negative one ends a wait at its first
  // wake-up (the setting is kept signed all the way to the exchange).
  int64_t TimeOut() const { return FTimeOut; }
  void SetTimeOut(int64_t Value) { FTimeOut = Value; }
  const std::wstring& MerchantID() const { return FMerchantID; }
  void SetMerchantID(const std::wstring& Value) { FMerchantID = Value; }

  const TWriteLogProc& WriteLogProc() const { return FWriteLogProc; }
  void SetWriteLogProc(TWriteLogProc Proc);

  // The message list, for tests and diagnostics.
  const TTransactDataList& TransactData() const { return FTransactData; }
  const TReceiptEnum& ReceiptEnum() const { return *FReceiptEnum; }

  // Receipt numbers and amounts as the server reads them.
  static std::wstring FormatReceiptNumber(uint32_t Number);         // "%.10d"
  // A receipt number given as text, "%.10d": 0 when the text is no number;
  // nullopt for a number no receipt can have (negative, above 4294967295).
  static std::optional<std::wstring> RecNumberText(const std::wstring& RecNumber);
  // Minor units, halves to even, as twelve digits; nullopt when the twelve
  // digits cannot carry the amount (negative, or 10 000 000 000.00 and above).
  static std::optional<std::wstring> FormatAmount(int64_t Amount);

 private:
  // How one operation runs through the common frame; built with designated
  // initializers (Run({.Guarded = true, ...})).
  struct TOperation {
    bool Guarded = false;       // an unfinished transaction is voided first
    bool Recorded = false;      // recorded as unfinished before it is sent
    bool Logging = false;       // "Need AutoVoid" is logged when it stays unfinished
    bool CheckEnabled = true;   // refused with 70 unless the device is open
    const int64_t* Amount = nullptr;    // checked before the numerator is locked
    const std::wstring* RecNumber = nullptr;  // the same: a receipt number given as text
    std::function<void()> TakeOutputs{};  // when the result is 0
    std::function<void()> PutTags{};      // the operation's own tags (last: the longest)
  };
  class ReceiptEnumRelease;

  int32_t Run(const TOperation& Op);
  // The part of Run with the numerator locked: the request and its answer.
  int32_t Exchange(const TOperation& Op);
  // A file left by a till that died after recording its transaction holds
  // that transaction's number as the next one too: it is never sent again.
  void MovePastUnfinished();
  // Advances the number unless the request did, writes the numerator and
  // lets it go; the operation's final result (FinalWriteFailed when the write
  // did not reach the file).
  int32_t ReleaseReceiptEnum(int32_t Result);
  // The answer when the numerator's last write did not reach the file: the
  // bank's outcome with the failure in the description, or 4568 for an
  // approval whose record was put back for the next operation to void.
  // RecordMeant: the operation's record was to stand (put back);
  // RecordOnDisk: reading the file back found it there.
  int32_t FinalWriteFailed(int32_t Result, bool RecordMeant, bool RecordOnDisk);
  // Ends the operation with 4568 because the numerator cannot be written
  // (nothing of the operation is sent after this).
  int32_t NumeratorNotWritten(const std::wstring& When);
  std::wstring OwnReceiptText() const { return FormatReceiptNumber(FOperationReceipt); }
  void ClearTransactData();
  void AddCommonTags();
  int32_t LockReceiptEnum();
  // SaveData with a few attempts; false when none reached the file.
  [[nodiscard]] bool SaveReceiptEnum();
  int32_t CheckAutoVoid();
  int32_t GetTransactionResult() const;
  int32_t CheckJournal(int32_t Result);
  // The answer in the list carries an approval flag or a response code.
  bool AnswerTellsOutcome() const;
  void SetExtErrorDescription(const std::wstring& Code, const std::wstring& Message);
  void WriteLog(const std::wstring& Caption, const std::wstring& Text);
  void PutReceiptNumber();
  void PutCardData(const std::wstring& CardNumEnc);
  void PutMerchantID();
  void PutAmount(int64_t Amount);

  TWriteLogProc FWriteLogProc;
  bool FEnabled = false;
  std::unique_ptr<TTransactionExchange> FCommunicationManager;
  TTransactDataList FTransactData;
  std::unique_ptr<TReceiptEnum> FReceiptEnum;
  int32_t FECRNumber = 1;
  std::wstring FServerAddress = L"127.0.0.1";
  int32_t FServerPort = 16500;
  int64_t FTimeOut = 180;
  std::wstring FCurrencyCode = L"643";
  std::wstring FReceiptEnumDir;
  std::wstring FMerchantID;
  int32_t FLastResult = 0;
  std::wstring FExtErrorDescription;
  // The receipt number of the running operation, as its request carries it.
  uint32_t FOperationReceipt = 0;
  // The running operation wrote the advanced receipt number before sending.
  bool FAdvanced = false;
  // The running operation already answers 4568 for a write that failed.
  bool FNumeratorReported = false;
  // The receipt number this operation recorded as unfinished before sending;
  // 0 when it recorded none.
  uint32_t FRecordedReceipt = 0;
};

}  // namespace velko
