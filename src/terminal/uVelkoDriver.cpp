#include "terminal/uVelkoDriver.h"

#include <cstdio>
#include <limits>
#include <string_view>

#include "common/uCommonUtils.h"
#include "common/ResultCodes.h"
#include "platform/Services.h"
#include "protocol/uVelkoCommManager.h"

namespace velko {
namespace {

// Operation types.
constexpr const wchar_t* kOpSale = L"PUR";
constexpr const wchar_t* kOpPayment = L"PAY";
constexpr const wchar_t* kOpRefund = L"REF";
constexpr const wchar_t* kOpPreAuth = L"AUT";
constexpr const wchar_t* kOpCompletion = L"CMP";
constexpr const wchar_t* kOpVoid = L"VOI";
constexpr const wchar_t* kOpService = L"SRV";
constexpr const wchar_t* kOpJournal = L"JRN";
constexpr const wchar_t* kOpReadCard = L"VER";
constexpr const wchar_t* kOpGiftActivate = L"ACT";
constexpr const wchar_t* kOpLoyaltyBalance = L"XBA";
constexpr const wchar_t* kOpLoyaltySale = L"XTR";
constexpr const wchar_t* kOpLoyaltyRefund = L"XRE";

// Service functions.
constexpr uint8_t kFuncSettlement = 0x02;
constexpr uint8_t kFuncPinpadTest = 0x03;
constexpr uint8_t kFuncHostTest = 0x04;
constexpr uint8_t kFuncReportMenu = 0x0C;

// Response codes with a meaning of their own.
constexpr const wchar_t* kApproved = L"Y";
constexpr const wchar_t* kRespAlreadyExists = L"B9";
constexpr const wchar_t* kRespNotFound = L"B4";
constexpr const wchar_t* kRespUndetermined = L"TT";

constexpr size_t kMaxAddressLength = 255;
constexpr size_t kMaxRRNLength = 12;
constexpr size_t kMaxMerchantIDLength = 15;
constexpr int64_t kMaxMinorUnits = 999999999999;  // twelve digits
constexpr uint32_t kInvoiceModulus = 1000000;     // six digits
constexpr int32_t kMinECRNumber = 0, kMaxECRNumber = 99;  // two digits on the wire
constexpr int kSaveAttempts = 3;
constexpr uint32_t kSaveRetryMs = 100;

const wchar_t kResponseCodeLabel[] = L"Код ответа";

std::wstring Digits(uint64_t value, int width) {
  wchar_t buf[32];
  std::swprintf(buf, 32, L"%0*llu", width, static_cast<unsigned long long>(value));
  return buf;
}

std::wstring SignedDigits(int64_t value, int width) {
  wchar_t buf[32];
  std::swprintf(buf, 32, L"%.*lld", width, static_cast<long long>(value));
  return buf;
}

// A text of digits, perhaps signed and between blanks: a number, even one
// too long for any integer type.
bool IsWholeNumberText(std::wstring_view text) {
  const size_t first = text.find_first_not_of(L" \t"), last = text.find_last_not_of(L" \t");
  if (first == std::wstring_view::npos) return false;
  text = text.substr(first, last - first + 1);
  if (text.front() == L'+' || text.front() == L'-') text.remove_prefix(1);
  return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring_view::npos;
}

// A receipt number given as text. Every number the numerator can give out
// (up to 4294967295, ten digits on the wire) is itself; a text that is no
// number at all counts as receipt number 0, which no receipt carries. A
// number beyond that range is no receipt's either, but sending 0 in its
// place would report the server's answer about receipt 0 as this one's:
// nullopt, and the operation is refused.
std::optional<uint32_t> RecNumberValue(const std::wstring& RecNumber) {
  const std::optional<int64_t> value = TextToInt64(RecNumber);
  if (!value) {
    if (IsWholeNumberText(RecNumber)) return std::nullopt;
    return 0;
  }
  if (*value < 0 || *value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

// Byte fields: one character per byte, of the same number.
std::wstring ServiceFunctionText(uint8_t func) { return std::wstring(1, static_cast<wchar_t>(func)); }

std::wstring JournalQueryText() {
  static const wchar_t kJournalQuery[] = {0xA4, 0x00, 0x00};
  return std::wstring(kJournalQuery, 3);
}

}  // namespace

TVelkoDriver::TVelkoDriver(std::unique_ptr<TTransactionExchange> Exchange, FileService& Files)
    : FCommunicationManager(Exchange ? std::move(Exchange)
                                     : std::make_unique<TCommunicationManager>()),
      FReceiptEnum(std::make_unique<TReceiptEnum>(Files)) {
  // Empty: the default folder, chosen again at every lock (uReceiptEnum.h).
}

TVelkoDriver::~TVelkoDriver() { FReceiptEnum->Unlock(false); }

std::wstring TVelkoDriver::FormatReceiptNumber(uint32_t Number) { return Digits(Number, 10); }

std::optional<std::wstring> TVelkoDriver::RecNumberText(const std::wstring& RecNumber) {
  const std::optional<uint32_t> value = RecNumberValue(RecNumber);
  if (!value) return std::nullopt;
  return FormatReceiptNumber(*value);
}

std::optional<std::wstring> TVelkoDriver::FormatAmount(int64_t Amount) {
  if (Amount < 0) return std::nullopt;
  // Ten-thousandths to hundredths, halves to even, in integers only.
  int64_t minor = Amount / kCurrencyPerMinorUnit;
  const int64_t rest = Amount % kCurrencyPerMinorUnit;
  if (rest * 2 > kCurrencyPerMinorUnit || (rest * 2 == kCurrencyPerMinorUnit && (minor & 1) != 0))
    ++minor;
  if (minor > kMaxMinorUnits) return std::nullopt;
  return Digits(static_cast<uint64_t>(minor), 12);
}

void TVelkoDriver::SetWriteLogProc(TWriteLogProc Proc) {
  FWriteLogProc = std::move(Proc);
  FTransactData.SetWriteLogProc(
      [this](const std::wstring& Caption, const std::wstring& Text) { WriteLog(Caption, Text); });
}

std::wstring TVelkoDriver::LastResultDescription() const {
  return TerminalResultText(FLastResult, FExtErrorDescription);
}

int32_t TVelkoDriver::Enable() {
  FExtErrorDescription.clear();
  FEnabled = false;
  // The server reads two digits: any other number would be another register.
  if (FECRNumber < kMinECRNumber || FECRNumber > kMaxECRNumber) {
    FExtErrorDescription = L"Номер ККМ " + std::to_wstring(FECRNumber) +
                           L" вне допустимого диапазона (от 0 до 99)";
    return FLastResult = rc::kBadParameters;
  }
  FCommunicationManager->SetAddress(FServerAddress.substr(0, kMaxAddressLength));
  FCommunicationManager->SetPort(FServerPort);
  FCommunicationManager->SetAnswerTimeOut(FTimeOut);
  FReceiptEnum->SetFileDir(FReceiptEnumDir);
  FReceiptEnum->SetECRNumber(FECRNumber);
  FReceiptEnum->Unlock(false);
  const int32_t result = TestPinpad(false);
  FLastResult = result;
  FEnabled = result == rc::kOk;
  return result;
}

void TVelkoDriver::Disable() { FEnabled = false; }

int32_t TVelkoDriver::SettleUnfinished(uint32_t& Record) {
  Record = 0;
  ClearTransactData();
  FCommunicationManager->SetAddress(FServerAddress.substr(0, kMaxAddressLength));
  FCommunicationManager->SetPort(FServerPort);
  FCommunicationManager->SetAnswerTimeOut(FTimeOut);
  FReceiptEnum->SetFileDir(FReceiptEnumDir);
  FReceiptEnum->SetECRNumber(FECRNumber);
  int32_t result = LockReceiptEnum();
  if (result != rc::kOk) return FLastResult = result;
  Record = FReceiptEnum->VoidReceiptNum();
  MovePastUnfinished();
  try {
    result = CheckAutoVoid();  // writes the numerator itself when it settles
  } catch (...) {
    FReceiptEnum->Unlock(false);
    throw;
  }
  FReceiptEnum->Unlock(false);
  return FLastResult = result;
}

void TVelkoDriver::SetEnabled(bool Value) {
  if (Value)
    Enable();
  else
    Disable();
}

void TVelkoDriver::ClearTransactData() {
  FExtErrorDescription.clear();
  FTransactData.Clear();
  AddCommonTags();
}

void TVelkoDriver::AddCommonTags() {
  FTransactData.Add(TagCurrencyCode, FCurrencyCode);
  FTransactData.Add(TagECRNumber, SignedDigits(FECRNumber, 2));
}

int32_t TVelkoDriver::LockReceiptEnum() {
  switch (FReceiptEnum->Lock()) {
    case TReceiptEnum::kLocked: return rc::kOk;
    case TReceiptEnum::kCannotOpen: return rc::kNumeratorBusy;
    default:
      FExtErrorDescription = FReceiptEnum->LockError();
      return rc::kNumeratorUnreadable;
  }
}

bool TVelkoDriver::SaveReceiptEnum() {
  // A write that fails may be a passing trouble of the disk or of a virus
  // scanner holding the file: a few attempts before giving up.
  for (int attempt = 1;; ++attempt) {
    if (FReceiptEnum->SaveData()) return true;
    if (attempt == kSaveAttempts) return false;
    Services().Process->Sleep(kSaveRetryMs);
  }
}

// Lets the numerator go however the operation ended: an operation that
// raised an error still advances the number, and its record (written before
// the request left) stays for the next operation to void. The normal end is
// ReleaseReceiptEnum, after which this does nothing.
class TVelkoDriver::ReceiptEnumRelease {
 public:
  explicit ReceiptEnumRelease(TVelkoDriver& engine) : engine_(engine) {}
  ~ReceiptEnumRelease() {
    TReceiptEnum& numerator = *engine_.FReceiptEnum;
    if (!numerator.Locked()) return;
    if (!engine_.FAdvanced) numerator.IncReceiptNumber();
    (void)engine_.SaveReceiptEnum();
    numerator.Unlock(false);
  }
  ReceiptEnumRelease(const ReceiptEnumRelease&) = delete;
  ReceiptEnumRelease& operator=(const ReceiptEnumRelease&) = delete;

 private:
  TVelkoDriver& engine_;
};

void TVelkoDriver::MovePastUnfinished() {
  const uint32_t unfinished = FReceiptEnum->VoidReceiptNum();
  if (unfinished != 0 && FReceiptEnum->ReceiptNum() == unfinished) FReceiptEnum->IncReceiptNumber();
}

int32_t TVelkoDriver::ReleaseReceiptEnum(int32_t Result) {
  TReceiptEnum& numerator = *FReceiptEnum;
  if (!FAdvanced) numerator.IncReceiptNumber();
  if (SaveReceiptEnum() || FNumeratorReported) {
    numerator.Unlock(false);
    return Result;
  }
  // A write that failed only in its flush may still have changed the file.
  // The record of a transaction that the bank approved, or whose outcome is
  // open, is written once more; then the file is read back, for only a record
  // on disk will be voided by the next operation.
  const bool meant = FRecordedReceipt != 0 && (Result == rc::kOk || numerator.VoidReceiptNum() != 0);
  if (meant) {
    numerator.SetVoidReceiptNum(FRecordedReceipt);
    (void)numerator.SaveData();
  }
  uint32_t next = 0, unfinished = 0;
  const bool on_disk = numerator.ReadBack(next, unfinished) && FRecordedReceipt != 0 &&
                       unfinished == FRecordedReceipt;
  numerator.Unlock(false);
  return FinalWriteFailed(Result, meant, on_disk);
}

void TVelkoDriver::PutReceiptNumber() { FTransactData.Add(TagReceiptNumber, OwnReceiptText()); }

// The optional fields go only when there is something to send.
void TVelkoDriver::PutCardData(const std::wstring& CardNumEnc) {
  if (!CardNumEnc.empty()) FTransactData.Add(TagCardNumberEnc, CardNumEnc);
}

void TVelkoDriver::PutMerchantID() {
  if (!FMerchantID.empty()) FTransactData.Add(TagMerchantID, FMerchantID.substr(0, kMaxMerchantIDLength));
}

void TVelkoDriver::PutAmount(int64_t Amount) {
  // Run() has refused an amount the field cannot carry before getting here.
  FTransactData.Add(TagAmount, FormatAmount(Amount).value_or(std::wstring(12, L'0')));
}

int32_t TVelkoDriver::Run(const TOperation& Op) {
  ClearTransactData();
  if (Op.CheckEnabled && !FEnabled) return FLastResult = rc::kNotEnabled;
  if (Op.Amount && !FormatAmount(*Op.Amount)) {
    // Twelve digits cannot carry it: refuse before a receipt number is used.
    FExtErrorDescription = L"Сумма " + CurrencyToText(*Op.Amount) +
                           L" вне допустимого диапазона (от 0 до 9999999999,99)";
    return FLastResult = rc::kBadParameters;
  }
  if (Op.RecNumber && !RecNumberValue(*Op.RecNumber)) {
    FExtErrorDescription = L"Номер квитанции " + *Op.RecNumber +
                           L" вне допустимого диапазона (от 0 до 4294967295)";
    return FLastResult = rc::kBadParameters;
  }
  int32_t result = LockReceiptEnum();
  if (result != rc::kOk) return FLastResult = result;

  FRecordedReceipt = 0;
  FAdvanced = false;
  FNumeratorReported = false;
  try {
    const ReceiptEnumRelease release(*this);
    MovePastUnfinished();
    FOperationReceipt = FReceiptEnum->ReceiptNum();
    if (Op.Guarded) result = CheckAutoVoid();
    if (result == rc::kOk) result = Exchange(Op);
    result = ReleaseReceiptEnum(result);
  } catch (...) {
    FLastResult = result;
    throw;
  }
  return FLastResult = result;
}

int32_t TVelkoDriver::NumeratorNotWritten(const std::wstring& When) {
  FExtErrorDescription = L"Ошибка записи нумератора " + FReceiptEnum->FilePath() + When +
                         L": операция не отправлена на сервер";
  WriteLog(L"Numerator", FExtErrorDescription);
  FNumeratorReported = true;
  return rc::kNumeratorUnreadable;
}

int32_t TVelkoDriver::Exchange(const TOperation& Op) {
  ClearTransactData();
  Op.PutTags();
  // The number goes out with this request, so the file says it is used
  // before the request leaves: whatever fails after, it is never sent again.
  // A recorded operation also goes to disk as unfinished here: a sale the
  // shop never learns about must be voided by the next operation.
  const uint32_t previous = FReceiptEnum->VoidReceiptNum();
  FReceiptEnum->IncReceiptNumber();
  FAdvanced = true;
  if (Op.Recorded) FReceiptEnum->SetVoidReceiptNum(FOperationReceipt);
  if (!SaveReceiptEnum()) {
    FReceiptEnum->SetVoidReceiptNum(previous);
    return NumeratorNotWritten(L"");
  }
  if (Op.Recorded) FRecordedReceipt = FOperationReceipt;
  int32_t result = rc::kOk;
  const int32_t exchanged = FCommunicationManager->ExecuteTransaction(FTransactData);
  if (exchanged == rc::kOk) {
    result = GetTransactionResult();
    if (Op.Recorded) result = CheckJournal(result);
    SetExtErrorDescription(FTransactData.ResponseCode(), FTransactData.ResponseMessage());
    if (result == rc::kOk && Op.TakeOutputs) Op.TakeOutputs();
  } else {
    result = exchanged;
    if (Op.Recorded && exchanged == rc::kNoConnection) FReceiptEnum->SetVoidReceiptNum(0);
  }
  if (Op.Logging && FReceiptEnum->VoidReceiptNum() != 0)
    WriteLog(L"Need AutoVoid", L"ReceiptNumber=" + std::to_wstring(FReceiptEnum->VoidReceiptNum()) +
                                   L"; Result=" + std::to_wstring(result));
  return result;
}

int32_t TVelkoDriver::FinalWriteFailed(int32_t Result, bool RecordMeant, bool RecordOnDisk) {
  std::wstring note = L"Ошибка записи нумератора " + FReceiptEnum->FilePath();
  const std::wstring receipt = std::to_wstring(FRecordedReceipt);
  int32_t answer = Result;
  if (RecordOnDisk) {
    // The host must not take for approved what the next operation cancels.
    note += L": операция с номером чека " + receipt + L" будет отменена следующей операцией";
    if (Result == rc::kOk) answer = rc::kNumeratorUnreadable;
  } else if (RecordMeant) {
    // Neither approved for sure nor to be voided: support must look.
    note += L": запись об операции с номером чека " + receipt +
            L" не сохранена, результат операции в банке неизвестен; проверьте нумератор "
            L"(velko numerator show) и при необходимости отмените операцию (velko numerator settle)";
    if (Result == rc::kOk) answer = rc::kNumeratorUnreadable;
  } else {
    // The next receipt number went to disk before the request: nothing is
    // sent twice, and the host hears what the bank answered.
    note += L" после операции (следующий номер чека был сохранен до отправки запроса)";
  }
  WriteLog(L"Numerator", note + L"; Result=" + std::to_wstring(answer));
  FExtErrorDescription = FExtErrorDescription.empty() ? note : FExtErrorDescription + L"; " + note;
  return answer;
}

int32_t TVelkoDriver::CheckAutoVoid() {
  const uint32_t void_number = FReceiptEnum->VoidReceiptNum();
  if (void_number == 0) return rc::kOk;
  ClearTransactData();
  FTransactData.Add(TagOperationType, kOpVoid);
  FTransactData.Add(TagReceiptNumber, FormatReceiptNumber(void_number));
  int32_t result = FCommunicationManager->ExecuteTransaction(FTransactData);
  if (result == rc::kOk) {
    result = GetTransactionResult();
    if (result == rc::kNotFound) result = rc::kOk;  // nothing left to cancel
    SetExtErrorDescription(FTransactData.ResponseCode(), FTransactData.ResponseMessage());
  }
  WriteLog(L"AutoVoid", L"ReceiptNumber=" + std::to_wstring(void_number) +
                            L"; Result=" + std::to_wstring(result) +
                            L"; Description=" + TerminalResultText(result, FExtErrorDescription));
  if (result != rc::kOk) return result;
  FReceiptEnum->SetVoidReceiptNum(0);
  if (!SaveReceiptEnum()) return NumeratorNotWritten(L" после автоматической отмены");
  return rc::kOk;
}

int32_t TVelkoDriver::GetTransactionResult() const {
  if (FTransactData.GetTagData(TagApprove) == kApproved) return rc::kOk;
  const std::wstring code = FTransactData.ResponseCode();
  if (code == kRespAlreadyExists) return rc::kAlreadyExists;
  if (code == kRespNotFound) return rc::kNotFound;
  if (code == kRespUndetermined) return rc::kUndetermined;
  return rc::kDeclined;
}

bool TVelkoDriver::AnswerTellsOutcome() const {
  return !FTransactData.GetTagData(TagApprove).empty() || !FTransactData.ResponseCode().empty();
}

int32_t TVelkoDriver::CheckJournal(int32_t Result) {
  if (Result != rc::kUndetermined) {
    // Bytes that decode to neither an approval flag nor a response code (a
    // garbled answer) say nothing of what the bank did: the host hears of a
    // decline, but the record stands, so that the next guarded operation
    // cancels whatever the bank may have approved.
    if (AnswerTellsOutcome()) FReceiptEnum->SetVoidReceiptNum(0);
    return Result;
  }
  ClearTransactData();
  PutReceiptNumber();
  FTransactData.Add(TagOperationType, kOpJournal);
  FTransactData.Add(TagJournalQuery, JournalQueryText());
  // Only the journal's own answer decides; without one the outcome stays
  // undetermined and the record stands for the next automatic void.
  if (FCommunicationManager->ExecuteTransaction(FTransactData) != rc::kOk) return rc::kUndetermined;
  if (!AnswerTellsOutcome()) return rc::kUndetermined;
  Result = GetTransactionResult();
  if (Result == rc::kNotFound) Result = rc::kNoConnection;
  if (Result != rc::kUndetermined) FReceiptEnum->SetVoidReceiptNum(0);
  return Result;
}

void TVelkoDriver::SetExtErrorDescription(const std::wstring& Code, const std::wstring& Message) {
  FExtErrorDescription.clear();
  if (!Code.empty()) FExtErrorDescription = std::wstring(kResponseCodeLabel) + L": " + Code;
  if (!FExtErrorDescription.empty() && !Message.empty()) FExtErrorDescription += L" - ";
  FExtErrorDescription += Message;
}

void TVelkoDriver::WriteLog(const std::wstring& Caption, const std::wstring& Text) {
  if (FWriteLogProc) FWriteLogProc(Caption, Text);
}

// ---- Card payment operations ------------------------------------------------

int32_t TVelkoDriver::Sale(int64_t Amount, const std::wstring& CardNumEnc) {
  return Run({.Guarded = true, .Recorded = true, .Logging = true, .Amount = &Amount, .PutTags = [&] {
                  PutCardData(CardNumEnc);
                  PutMerchantID();
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpSale);
                  PutAmount(Amount);
                }});
}

int32_t TVelkoDriver::Payment(int64_t Amount, const std::wstring& CardNumEnc) {
  return Run({.Guarded = true, .Recorded = true, .Logging = true, .Amount = &Amount, .PutTags = [&] {
                  PutCardData(CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpPayment);
                  PutAmount(Amount);
                }});
}

int32_t TVelkoDriver::Refund(int64_t Amount, const std::wstring& CardNumEnc, const std::wstring& RRN) {
  return Run({.Guarded = true, .Recorded = true, .Amount = &Amount, .PutTags = [&] {
                  if (!RRN.empty()) FTransactData.Add(TagReferenceNumber, RRN.substr(0, kMaxRRNLength));
                  PutCardData(CardNumEnc);
                  PutMerchantID();
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpRefund);
                  PutAmount(Amount);
                }});
}

int32_t TVelkoDriver::PreSale(int64_t Amount, const std::wstring& CardNumEnc) {
  return Run({.Guarded = true, .Recorded = true, .Amount = &Amount, .PutTags = [&] {
                  PutCardData(CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpPreAuth);
                  PutAmount(Amount);
                }});
}

int32_t TVelkoDriver::Completion(int64_t Amount, const std::wstring& RecNumber,
                                 const std::wstring& AuthCode) {
  return Run({.Guarded = true, .Recorded = true, .Amount = &Amount, .RecNumber = &RecNumber, .PutTags = [&] {
                  // The invoice field holds six digits: the low-order six of the
                  // pre-authorisation's receipt number, which are what tell
                  // receipts apart (the leading ones are zeros below 10 000).
                  // Run() has refused a number no receipt can have.
                  const uint32_t number = RecNumberValue(RecNumber).value_or(0);
                  FTransactData.Add(TagInvoiceNumber, Digits(number % kInvoiceModulus, 6));
                  if (!AuthCode.empty()) FTransactData.Add(TagAuthorizationCode, AuthCode);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpCompletion);
                  PutAmount(Amount);
                }});
}

int32_t TVelkoDriver::Void(int64_t Amount, const std::wstring& RecNumber, const std::wstring& AuthCode,
                           const std::wstring& RRN) {
  return Run({.Guarded = true, .Amount = &Amount, .RecNumber = &RecNumber, .PutTags = [&] {
                  if (!RRN.empty()) FTransactData.Add(TagReferenceNumber, RRN.substr(0, kMaxRRNLength));
                  PutMerchantID();
                  FTransactData.Add(TagReceiptNumber, RecNumberText(RecNumber).value_or(L""));
                  if (!AuthCode.empty()) FTransactData.Add(TagAuthorizationCode, AuthCode);
                  FTransactData.Add(TagOperationType, kOpVoid);
                  PutAmount(Amount);
                }});
}

int32_t TVelkoDriver::EmergencyVoid() {
  // What the previous operation left in the list: its answer, or its request
  // when it could not connect.
  const int64_t amount = FTransactData.TransactionAmount();
  const std::wstring receipt = FTransactData.GetTagData(TagReceiptNumber);
  return Void(amount, receipt, L"", L"");
}

// ---- Service, loyalty and gift operations -----------------------------------

namespace {
struct ServiceTags {
  TTransactDataList& list;
  void operator()(const std::wstring& receipt, uint8_t func) const {
    list.Add(TagReceiptNumber, receipt);
    list.Add(TagOperationType, kOpService);
    list.Add(TagServiceFunction, ServiceFunctionText(func));
  }
};
}  // namespace

int32_t TVelkoDriver::Settlement() { return ServiceOperation(kFuncSettlement); }

int32_t TVelkoDriver::ServiceOperation(uint8_t FuncID) {
  return Run({.Guarded = true, .PutTags = [&] {
                  ServiceTags{FTransactData}(OwnReceiptText(), FuncID);
                }});
}

int32_t TVelkoDriver::ReportMenu() {
  return Run({.PutTags = [&] {
                  ServiceTags{FTransactData}(OwnReceiptText(), kFuncReportMenu);
                }});
}

int32_t TVelkoDriver::TestHost() {
  return Run({.PutTags = [&] {
                  ServiceTags{FTransactData}(OwnReceiptText(), kFuncHostTest);
                }});
}

int32_t TVelkoDriver::TestPinpad(bool CheckEnabled) {
  return Run({.CheckEnabled = CheckEnabled, .PutTags = [&] {
                  ServiceTags{FTransactData}(OwnReceiptText(), kFuncPinpadTest);
                }});
}

int32_t TVelkoDriver::GetBalance(int64_t& Amount) {
  Amount = 0;
  return Run({.TakeOutputs = [&] { Amount = FTransactData.TransactionAmount(); },
              .PutTags = [&] {
                ServiceTags{FTransactData}(OwnReceiptText(), kFuncPinpadTest);
              }});
}

int32_t TVelkoDriver::PrintReceiptCopy(const std::wstring& RecNumber) {
  return Run({.RecNumber = &RecNumber, .PutTags = [&] {
    FTransactData.Add(TagReceiptNumber, RecNumberText(RecNumber).value_or(L""));
    FTransactData.Add(TagOperationType, kOpJournal);
    FTransactData.Add(TagJournalQuery, JournalQueryText());
  }});
}

int32_t TVelkoDriver::ReadCard(std::wstring& CardDataEnc) {
  CardDataEnc.clear();
  return Run({.TakeOutputs = [&] { CardDataEnc = FTransactData.GetTagData(TagCardNumberEnc); },
              .PutTags = [&] {
                PutReceiptNumber();
                FTransactData.Add(TagOperationType, kOpReadCard);
              }});
}

int32_t TVelkoDriver::GiftCardActivate(int64_t Amount) {
  return Run({.Guarded = true, .Recorded = true, .Logging = true, .Amount = &Amount, .PutTags = [&] {
                PutReceiptNumber();
                FTransactData.Add(TagOperationType, kOpGiftActivate);
                PutAmount(Amount);
              }});
}

int32_t TVelkoDriver::GetLoyaltyBalance(int64_t& Amount) {
  Amount = 0;
  return Run({.TakeOutputs = [&] { Amount = FTransactData.TransactionAmount(); },
              .PutTags = [&] {
                PutReceiptNumber();
                FTransactData.Add(TagOperationType, kOpLoyaltyBalance);
              }});
}

int32_t TVelkoDriver::LoyaltySale(const std::wstring& CardNumEnc) {
  return Run({.Guarded = true, .Recorded = true, .Logging = true, .PutTags = [&] {
                  PutCardData(CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpLoyaltySale);
                  FTransactData.Add(TagAmount, std::wstring(12, L'0'));  // the server decides
                }});
}

int32_t TVelkoDriver::LoyaltyRefund(int64_t Amount, const std::wstring& CardNumEnc) {
  return Run({.Guarded = true, .Recorded = true, .Amount = &Amount, .PutTags = [&] {
                  PutCardData(CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpLoyaltyRefund);
                  PutAmount(Amount);
                }});
}

}  // namespace velko
