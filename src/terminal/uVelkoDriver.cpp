#include "terminal/uVelkoDriver.h"

#include <cstdio>
#include <limits>

#include "common/uCommonUtils.h"
#include "platform/ServerCodePage.h"
#include "protocol/uVelkoCommManager.h"

namespace velko {
namespace {

// Result codes the engine produces.
constexpr int32_t kOk = 0;
constexpr int32_t kNotEnabled = 70;
constexpr int32_t kBadParameters = 1004;
constexpr int32_t kNoConnection = 1007;
constexpr int32_t kDeclined = 4003;
constexpr int32_t kAlreadyExists = 4004;
constexpr int32_t kUndetermined = 4005;
constexpr int32_t kNotFound = 4007;
constexpr int32_t kNumeratorBusy = 4501;
constexpr int32_t kNumeratorUnreadable = 4568;

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

// A receipt number given as text: a 32-bit integer, 0 when it is not one.
int32_t RecNumberValue(const std::wstring& RecNumber) {
  const auto value = TextToInt64(RecNumber);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max())
    return 0;
  return static_cast<int32_t>(*value);
}

std::wstring ServiceFunctionText(uint8_t func) {
  return ServerCodePageToWide(std::string(1, static_cast<char>(func)));
}

std::wstring JournalQueryText() {
  static const char kJournalQuery[] = {'\xA4', '\x00', '\x00'};
  return ServerCodePageToWide(std::string(kJournalQuery, sizeof kJournalQuery));
}

}  // namespace

TVelkoDriver::TVelkoDriver(std::unique_ptr<TTransactionExchange> Exchange, FileService& Files)
    : FCommunicationManager(Exchange ? std::move(Exchange)
                                     : std::make_unique<TCommunicationManager>()),
      FReceiptEnum(std::make_unique<TReceiptEnum>(Files)) {
  FReceiptEnumDir = FReceiptEnum->FileDir();
}

TVelkoDriver::~TVelkoDriver() { FReceiptEnum->Unlock(false); }

std::wstring TVelkoDriver::FormatReceiptNumber(uint32_t Number) { return Digits(Number, 10); }

std::wstring TVelkoDriver::RecNumberText(const std::wstring& RecNumber) {
  return SignedDigits(RecNumberValue(RecNumber), 10);
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
  FCommunicationManager->SetAddress(FServerAddress.substr(0, kMaxAddressLength));
  FCommunicationManager->SetPort(FServerPort);
  FCommunicationManager->SetAnswerTimeOut(FTimeOut);
  FReceiptEnum->SetFileDir(FReceiptEnumDir);
  FReceiptEnum->SetECRNumber(FECRNumber);
  FReceiptEnum->Unlock(false);
  const int32_t result = TestPinpad(false);
  FLastResult = result;
  FEnabled = result == kOk;
  return result;
}

void TVelkoDriver::Disable() { FEnabled = false; }

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
    case TReceiptEnum::kLocked: return kOk;
    case TReceiptEnum::kCannotOpen: return kNumeratorBusy;
    default:
      FExtErrorDescription = FReceiptEnum->LockError();
      return kNumeratorUnreadable;
  }
}

void TVelkoDriver::ReleaseReceiptEnum() {
  FReceiptEnum->IncReceiptNumber();
  FReceiptEnum->Unlock(true);
}

void TVelkoDriver::PutReceiptNumber() {
  FTransactData.Add(TagReceiptNumber, FormatReceiptNumber(FReceiptEnum->ReceiptNum()));
}

void TVelkoDriver::PutAmount(int64_t Amount) {
  // Run() has refused an amount the field cannot carry before getting here.
  FTransactData.Add(TagAmount, FormatAmount(Amount).value_or(std::wstring(12, L'0')));
}

int32_t TVelkoDriver::Run(const TOperation& Op) {
  ClearTransactData();
  int32_t result = kOk;
  try {
    if (Op.CheckEnabled && !FEnabled) {
      result = kNotEnabled;
    } else if (Op.Amount && !FormatAmount(*Op.Amount)) {
      // Twelve digits cannot carry it: refuse before a receipt number is used.
      result = kBadParameters;
      FExtErrorDescription = L"Сумма " + CurrencyToText(*Op.Amount) +
                             L" вне допустимого диапазона (от 0 до 9999999999,99)";
    } else {
      result = LockReceiptEnum();
      if (result == kOk && Op.Guarded) result = CheckAutoVoid();
      if (result == kOk) {
        ClearTransactData();
        Op.PutTags();
        bool send = true;
        if (Op.Recorded) {
          // The record goes to disk before the request leaves: a sale the
          // shop never learns about must be voided by the next operation.
          const uint32_t previous = FReceiptEnum->VoidReceiptNum();
          FReceiptEnum->SetVoidReceiptNum(FReceiptEnum->ReceiptNum());
          if (!FReceiptEnum->SaveData()) {
            FReceiptEnum->SetVoidReceiptNum(previous);
            result = kNumeratorUnreadable;
            FExtErrorDescription = L"Ошибка записи нумератора: операция не отправлена на сервер";
            send = false;
          }
        }
        if (send) {
          const int32_t exchanged = FCommunicationManager->ExecuteTransaction(FTransactData);
          if (exchanged == kOk) {
            result = GetTransactionResult();
            if (Op.Recorded) result = CheckJournal(result);
            SetExtErrorDescription(FTransactData.ResponseCode(), FTransactData.ResponseMessage());
            if (result == kOk && Op.TakeOutputs) Op.TakeOutputs();
          } else {
            result = exchanged;
            if (Op.Recorded && exchanged == kNoConnection) FReceiptEnum->SetVoidReceiptNum(0);
          }
        }
        if (Op.Logging && FReceiptEnum->VoidReceiptNum() != 0)
          WriteLog(L"Need AutoVoid", L"ReceiptNumber=" + std::to_wstring(FReceiptEnum->VoidReceiptNum()));
      }
    }
  } catch (...) {
    ReleaseReceiptEnum();
    FLastResult = result;
    throw;
  }
  ReleaseReceiptEnum();
  FLastResult = result;
  return result;
}

int32_t TVelkoDriver::CheckAutoVoid() {
  const uint32_t void_number = FReceiptEnum->VoidReceiptNum();
  if (void_number == 0) return kOk;
  ClearTransactData();
  FTransactData.Add(TagOperationType, kOpVoid);
  FTransactData.Add(TagReceiptNumber, FormatReceiptNumber(void_number));
  int32_t result = FCommunicationManager->ExecuteTransaction(FTransactData);
  if (result == kOk) {
    result = GetTransactionResult();
    if (result == kNotFound) result = kOk;  // nothing left to cancel
    SetExtErrorDescription(FTransactData.ResponseCode(), FTransactData.ResponseMessage());
  }
  WriteLog(L"AutoVoid", L"ReceiptNumber=" + std::to_wstring(void_number) +
                            L"; Result=" + std::to_wstring(result) +
                            L"; Description=" + LastResultDescription());
  if (result == kOk) {
    FReceiptEnum->SetVoidReceiptNum(0);
    FReceiptEnum->SaveData();
  }
  return result;
}

int32_t TVelkoDriver::GetTransactionResult() const {
  if (FTransactData.GetTagData(TagApprove) == kApproved) return kOk;
  const std::wstring code = FTransactData.ResponseCode();
  if (code == kRespAlreadyExists) return kAlreadyExists;
  if (code == kRespNotFound) return kNotFound;
  if (code == kRespUndetermined) return kUndetermined;
  return kDeclined;
}

bool TVelkoDriver::AnswerTellsOutcome() const {
  return !FTransactData.GetTagData(TagApprove).empty() || !FTransactData.ResponseCode().empty();
}

int32_t TVelkoDriver::CheckJournal(int32_t Result) {
  if (Result != kUndetermined) {
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
  if (FCommunicationManager->ExecuteTransaction(FTransactData) != kOk) return kUndetermined;
  if (!AnswerTellsOutcome()) return kUndetermined;
  Result = GetTransactionResult();
  if (Result == kNotFound) Result = kNoConnection;
  if (Result != kUndetermined) FReceiptEnum->SetVoidReceiptNum(0);
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
  TOperation op{true, true, true, true, &Amount, [&] {
                  if (!CardNumEnc.empty()) FTransactData.Add(TagCardNumberEnc, CardNumEnc);
                  if (!FMerchantID.empty())
                    FTransactData.Add(TagMerchantID, FMerchantID.substr(0, kMaxMerchantIDLength));
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpSale);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::Payment(int64_t Amount, const std::wstring& CardNumEnc) {
  TOperation op{true, true, true, true, &Amount, [&] {
                  if (!CardNumEnc.empty()) FTransactData.Add(TagCardNumberEnc, CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpPayment);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::Refund(int64_t Amount, const std::wstring& CardNumEnc, const std::wstring& RRN) {
  TOperation op{true, true, false, true, &Amount, [&] {
                  if (!RRN.empty()) FTransactData.Add(TagReferenceNumber, RRN.substr(0, kMaxRRNLength));
                  if (!CardNumEnc.empty()) FTransactData.Add(TagCardNumberEnc, CardNumEnc);
                  if (!FMerchantID.empty())
                    FTransactData.Add(TagMerchantID, FMerchantID.substr(0, kMaxMerchantIDLength));
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpRefund);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::PreSale(int64_t Amount, const std::wstring& CardNumEnc) {
  TOperation op{true, true, false, true, &Amount, [&] {
                  if (!CardNumEnc.empty()) FTransactData.Add(TagCardNumberEnc, CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpPreAuth);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::Completion(int64_t Amount, const std::wstring& RecNumber,
                                 const std::wstring& AuthCode) {
  TOperation op{true, true, false, true, &Amount, [&] {
                  // The invoice field holds six digits: the low-order six of the
                  // pre-authorisation's receipt number, which are what tell
                  // receipts apart (the leading ones are zeros below 10 000).
                  const int64_t number = RecNumberValue(RecNumber);
                  const int64_t low = ((number % kInvoiceModulus) + kInvoiceModulus) % kInvoiceModulus;
                  FTransactData.Add(TagInvoiceNumber, SignedDigits(low, 6));
                  if (!AuthCode.empty()) FTransactData.Add(TagAuthorizationCode, AuthCode);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpCompletion);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::Void(int64_t Amount, const std::wstring& RecNumber, const std::wstring& AuthCode,
                           const std::wstring& RRN) {
  TOperation op{true, false, false, true, &Amount, [&] {
                  if (!RRN.empty()) FTransactData.Add(TagReferenceNumber, RRN.substr(0, kMaxRRNLength));
                  if (!FMerchantID.empty())
                    FTransactData.Add(TagMerchantID, FMerchantID.substr(0, kMaxMerchantIDLength));
                  FTransactData.Add(TagReceiptNumber, RecNumberText(RecNumber));
                  if (!AuthCode.empty()) FTransactData.Add(TagAuthorizationCode, AuthCode);
                  FTransactData.Add(TagOperationType, kOpVoid);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
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
  TOperation op{true, false, false, true, nullptr, [&] {
                  ServiceTags{FTransactData}(FormatReceiptNumber(FReceiptEnum->ReceiptNum()), FuncID);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::ReportMenu() {
  TOperation op{false, false, false, true, nullptr, [&] {
                  ServiceTags{FTransactData}(FormatReceiptNumber(FReceiptEnum->ReceiptNum()), kFuncReportMenu);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::TestHost() {
  TOperation op{false, false, false, true, nullptr, [&] {
                  ServiceTags{FTransactData}(FormatReceiptNumber(FReceiptEnum->ReceiptNum()), kFuncHostTest);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::TestPinpad(bool CheckEnabled) {
  TOperation op{false, false, false, CheckEnabled, nullptr, [&] {
                  ServiceTags{FTransactData}(FormatReceiptNumber(FReceiptEnum->ReceiptNum()), kFuncPinpadTest);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::GetBalance(int64_t& Amount) {
  Amount = 0;
  TOperation op{false, false, false, true, nullptr, [&] {
                  ServiceTags{FTransactData}(FormatReceiptNumber(FReceiptEnum->ReceiptNum()), kFuncPinpadTest);
                }, [&] { Amount = FTransactData.TransactionAmount(); }};
  return Run(op);
}

int32_t TVelkoDriver::PrintReceiptCopy(const std::wstring& RecNumber) {
  TOperation op{false, false, false, true, nullptr, [&] {
                  FTransactData.Add(TagReceiptNumber, RecNumberText(RecNumber));
                  FTransactData.Add(TagOperationType, kOpJournal);
                  FTransactData.Add(TagJournalQuery, JournalQueryText());
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::ReadCard(std::wstring& CardDataEnc) {
  CardDataEnc.clear();
  TOperation op{false, false, false, true, nullptr, [&] {
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpReadCard);
                }, [&] { CardDataEnc = FTransactData.GetTagData(TagCardNumberEnc); }};
  return Run(op);
}

int32_t TVelkoDriver::GiftCardActivate(int64_t Amount) {
  TOperation op{true, true, true, true, &Amount, [&] {
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpGiftActivate);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::GetLoyaltyBalance(int64_t& Amount) {
  Amount = 0;
  TOperation op{false, false, false, true, nullptr, [&] {
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpLoyaltyBalance);
                }, [&] { Amount = FTransactData.TransactionAmount(); }};
  return Run(op);
}

int32_t TVelkoDriver::LoyaltySale(const std::wstring& CardNumEnc) {
  TOperation op{true, true, true, true, nullptr, [&] {
                  if (!CardNumEnc.empty()) FTransactData.Add(TagCardNumberEnc, CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpLoyaltySale);
                  FTransactData.Add(TagAmount, std::wstring(12, L'0'));  // the server decides
                }, nullptr};
  return Run(op);
}

int32_t TVelkoDriver::LoyaltyRefund(int64_t Amount, const std::wstring& CardNumEnc) {
  TOperation op{true, true, false, true, &Amount, [&] {
                  if (!CardNumEnc.empty()) FTransactData.Add(TagCardNumberEnc, CardNumEnc);
                  PutReceiptNumber();
                  FTransactData.Add(TagOperationType, kOpLoyaltyRefund);
                  PutAmount(Amount);
                }, nullptr};
  return Run(op);
}

}  // namespace velko
