#include "terminal/uDriver.h"

#include "common/CardMask.h"
#include "common/Common.Log.h"
#include "common/ResultCodes.h"
#include "platform/ReceiptPrompt.h"
#include "platform/Services.h"
#include "terminal/ufmEnterRecNumber.h"

namespace velko {

TDriver::TDriver(std::unique_ptr<TTransactionExchange> Exchange)
    : TDriver(kDefaultInterfaceRevision, std::move(Exchange)) {}

TDriver::TDriver(int32_t InterfaceRevision, std::unique_ptr<TTransactionExchange> Exchange)
    : TBaseDriverAuthorizator(InterfaceRevision),
      FEngine(std::make_unique<TVelkoDriver>(std::move(Exchange))) {
  // What the engine does on its own (an automatic void, a transaction left
  // to void, a numerator it could not write) goes to the debug log, so that
  // support can see why a payment was cancelled.
  FEngine->SetWriteLogProc([](const std::wstring& Caption, const std::wstring& Text) {
    TLog::Append(Caption, Text, TMsgType::mtInfo);
  });
}

TDriver::~TDriver() {
  Disable();
  FEngine.reset();
}

void TDriver::Create() {
  TBaseDriverAuthorizator::Create();
  FAutoKeepFocus = true;
  FCapSettingsDlg = false;
}

void TDriver::RegisterSettings() {
  TBaseDriverAuthorizator::RegisterSettings();
  AddSetting(L"ECRNumber", L"Номер ККМ", TDataType::dtNumber, HostValue::FromInt32(1), false, L"Номер ККМ",
             L"Порядковый номер ККМ");
  AddSetting(L"ServerAddress", L"Адрес сервера", TDataType::dtString, HostValue::FromString(L"127.0.0.1"),
             false, L"Адрес сервера", L"Адрес удаленного сервера VELKO32");
  AddSetting(L"ServerPort", L"Порт сервера", TDataType::dtNumber, HostValue::FromInt32(16500), false,
             L"Порт сервера", L"Порт удаленного/локального сервера VELKO32");
  AddSetting(L"AnswerTimeOut", L"Время ожидания ответа", TDataType::dtNumber, HostValue::FromInt32(180),
             false, L"Время ожидания ответа", L"Время ожидания ответа от VELKO (сек.)");
  AddSetting(L"PrintOnTerminal", L"Печать квитанции на Pinpad", TDataType::dtBoolean,
             HostValue::FromBool(false), false, L"Печать квитанции на Pinpad",
             L"Если равно True, квитанции печатает Pinpad");
  AddSetting(L"MerchantID", L"Номер мерчанта", TDataType::dtString, HostValue::FromString(L""), false,
             L"Номер мерчанта", L"Номер мерчанта (идентификатор продавца)");
}

void TDriver::RegisterMethods() {
  TBaseDriverAuthorizator::RegisterMethods();
  MarkCardParams(AddMethod(L"ReadCard", L"СчитатьКарту", Bind(&TDriver::ReadCardForm), 3), {0, 2});
  MarkCardParams(AddMethod(L"GiftCardActivate", L"АктивацияПодарочнойКарты", Bind(&TDriver::GiftCardActivateForm), 6),
                 {1});
  AddMethod(L"GetLoyaltyBalance", L"ПолучитьБалансПоБонусам", Bind(&TDriver::GetLoyaltyBalanceForm), 2);
  MarkCardParams(AddMethod(L"LoyaltySale", L"ОплатитьБонусами", Bind(&TDriver::LoyaltySaleForm), 6), {0});
  MarkCardParams(AddMethod(L"LoyaltyRefund", L"ВернутьПлатежБонусами", Bind(&TDriver::LoyaltyRefundForm), 6), {0});
  MarkCardParams(AddMethod(L"Payment", L"Платеж", Bind(&TDriver::PaymentForm), 7), {1});
}

int32_t TDriver::Enable() {
  FEngine->SetServerAddress(GetSettingValueStr(L"ServerAddress"));
  FEngine->SetServerPort(GetSettingValueInt(L"ServerPort"));
  FEngine->SetTimeOut(GetSettingValue(L"AnswerTimeOut").ToInt64());
  FEngine->SetECRNumber(GetSettingValueInt(L"ECRNumber"));
  // No such setting is registered: the numerator keeps its default folder.
  FEngine->SetReceiptEnumDir(GetSettingValueStr(L"ReceiptEnumDir"));
  FEngine->SetCurrencyCode(GetSettingValueStr(L"CurrencyCode"));
  FEngine->SetMerchantID(GetSettingValueStr(L"MerchantID"));
  return Finish(FEngine->Enable());
}

void TDriver::Disable() {
  TBaseDriverAuthorizator::Disable();
  if (FEngine) FEngine->Disable();
}

void TDriver::GetResultDescription(int32_t Code, std::wstring& Description) {
  Description = Code == rc::kCancelledByCashier ? L"Операция отменена пользователем" : L"Неизвестная ошибка";
}

int32_t TDriver::Finish(int32_t Result) {
  FLastResultDescription = FEngine->ExtErrorDescription();
  if (std::wstring id = FEngine->TerminalID(); !id.empty()) FTerminalID = std::move(id);
  return Result;
}

// The merchant the running host call names, in the engine for that call
// only; the MerchantID setting the device was opened with comes back after it.
class TDriver::MerchantOverride {
 public:
  explicit MerchantOverride(TDriver& driver) : engine_(*driver.FEngine) {
    if (driver.OperationMerchant().empty()) return;
    saved_ = engine_.MerchantID();
    engine_.SetMerchantID(driver.OperationMerchant());
    active_ = true;
  }
  ~MerchantOverride() {
    if (active_) engine_.SetMerchantID(saved_);
  }
  MerchantOverride(const MerchantOverride&) = delete;
  MerchantOverride& operator=(const MerchantOverride&) = delete;

 private:
  TVelkoDriver& engine_;
  std::wstring saved_;
  bool active_ = false;
};

void TDriver::TakeAnswer(TCardAnswer& Answer) {
  Answer.RecNum = FEngine->ReceiptNumber();
  Answer.RRN = FEngine->ReferenceNumber();
  Answer.PAN = FEngine->CardNumber();
  Answer.AuthorizationCode = FEngine->AuthorizationCode();
  Answer.ReceiptText = FEngine->ReceiptText();
}

int32_t TDriver::ResolveReceiptNumber(const std::wstring& Given, std::wstring& Number) {
  if (!Given.empty()) {
    Number = Given;
    return 0;
  }
  if (!Services().Prompt->CanAsk()) {
    SetLastResultDescription(kReceiptNumberRequired);
    return rc::kCancelledByCashier;
  }
  TfrmEnterRecNumber prompt;
  if (!prompt.ShowModal()) {
    // Not the cashier's choice when no window could be shown: say so.
    const std::wstring reason = Services().Prompt->NotAskedReason();
    if (!reason.empty()) SetLastResultDescription(kReceiptNumberNotAsked + reason);
    return rc::kCancelledByCashier;
  }
  Number = prompt.RecNumber();
  SetCallLogNote(L"EnteredRecNumber: " + Number);
  return 0;
}

int32_t TDriver::DeviceTest(std::wstring& Description) {
  Description.clear();
  const int32_t result = FEngine->TestHost();
  FLastResultDescription = FEngine->ExtErrorDescription();
  if (!FLastResultDescription.empty()) {
    Description = FLastResultDescription;
  } else {
    const int32_t saved = FLastResultCode;
    FLastResultCode = result;  // the text is that of this test's outcome
    Description = LastResultDescription();
    FLastResultCode = saved;
  }
  return result;
}

int32_t TDriver::PayByPaymentCard(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) {
  const MerchantOverride merchant(*this);
  const int32_t result = Finish(FEngine->Sale(Amount, CardData));
  Answer.Amount = FEngine->Amount();
  TakeAnswer(Answer);
  return result;
}

int32_t TDriver::ReturnPaymantByPaymantCard(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) {
  const MerchantOverride merchant(*this);
  const int32_t result = Finish(FEngine->Refund(Amount, CardData, L""));
  TakeAnswer(Answer);
  return result;
}

int32_t TDriver::CancelPaymentByPaymentCard(int64_t Amount, const std::wstring& RecNum, const std::wstring&,
                                            const std::wstring& AuthorizationCode, TCardAnswer& Answer) {
  std::wstring number;
  if (ResolveReceiptNumber(RecNum, number) != 0) return rc::kCancelledByCashier;
  const MerchantOverride merchant(*this);
  const int32_t result = Finish(FEngine->Void(Amount, number, AuthorizationCode, L""));
  Answer.PAN = FEngine->CardNumber();
  Answer.ReceiptText = FEngine->ReceiptText();
  return result;
}

int32_t TDriver::AuthorizePreSales(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) {
  const int32_t result = Finish(FEngine->PreSale(Amount, CardData));
  TakeAnswer(Answer);
  return result;
}

int32_t TDriver::AuthorizeCompletion(int64_t Amount, const std::wstring& RecNum, const std::wstring&,
                                     const std::wstring& AuthorizationCode, TCardAnswer& Answer) {
  std::wstring number;
  if (ResolveReceiptNumber(RecNum, number) != 0) return rc::kCancelledByCashier;
  const int32_t result = Finish(FEngine->Completion(Amount, number, AuthorizationCode));
  Answer.PAN = FEngine->CardNumber();
  Answer.ReceiptText = FEngine->ReceiptText();
  return result;
}

int32_t TDriver::Settelment(std::wstring& ReceiptText) {
  const int32_t result = Finish(FEngine->Settlement());
  ReceiptText = FEngine->ReceiptText();
  return result;
}

int32_t TDriver::EmergencyReversal() { return Finish(FEngine->EmergencyVoid()); }

bool TDriver::PrintSlipOnTerminal() { return GetSettingValueBool(L"PrintOnTerminal"); }

int32_t TDriver::TerminalParameters(TTerminalParameters& Parameters) {
  const int32_t result = TBaseDriverAuthorizator::TerminalParameters(Parameters);
  Parameters.TerminalID = FTerminalID;
  return result;
}

std::wstring TDriver::OpenedDeviceID() {
  // One device per cash register: the register's number names it.
  return L"VELKO32-" + std::to_wstring(GetSettingValueInt(L"ECRNumber"));
}

int32_t TDriver::ReadCard(std::wstring& CardDataEnc, std::wstring& Issuer, std::wstring& PAN) {
  const int32_t result = Finish(FEngine->ReadCard(CardDataEnc));
  PAN = FEngine->CardNumber();
  Issuer = FEngine->IssuerName();
  return result;
}

int32_t TDriver::GiftCardActivate(int64_t Amount, TCardAnswer& Answer) {
  const int32_t result = Finish(FEngine->GiftCardActivate(Amount));
  TakeAnswer(Answer);
  return result;
}

int32_t TDriver::GetLoyaltyBalance(int64_t& Amount, std::wstring& ReceiptText) {
  const int32_t result = Finish(FEngine->GetLoyaltyBalance(Amount));
  ReceiptText = FEngine->ReceiptText();
  return result;
}

int32_t TDriver::LoyaltySale(const std::wstring& CardData, TCardAnswer& Answer) {
  const int32_t result = Finish(FEngine->LoyaltySale(CardData));
  Answer.Amount = FEngine->Amount();
  TakeAnswer(Answer);
  return result;
}

int32_t TDriver::LoyaltyRefund(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) {
  const int32_t result = Finish(FEngine->LoyaltyRefund(Amount, CardData));
  TakeAnswer(Answer);
  return result;
}

int32_t TDriver::Payment(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) {
  const int32_t result = Finish(FEngine->Payment(Amount, CardData));
  Answer.Amount = FEngine->Amount();
  TakeAnswer(Answer);
  return result;
}

// ---- Host forms of the extra methods ----------------------------------------

HResult TDriver::ReadCardForm(HostValue& pvarRetValue, HostParams& paParams) {
  std::wstring data, issuer, pan;
  FLastResultCode = ReadCard(data, issuer, pan);
  PutTexts(paParams, {{0, data}, {1, issuer}, {2, MaskCardNumber(pan)}});
  return FinishForm(pvarRetValue);
}

HResult TDriver::GiftCardActivateForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  const int64_t amount = GetAmountParam(paParams, 0);
  TCardAnswer answer;
  FLastResultCode = GiftCardActivate(amount, answer);
  PutTexts(paParams, {{1, MaskCardNumber(answer.PAN)}, {2, answer.RecNum}, {3, answer.RRN},
                      {4, answer.AuthorizationCode}, {5, answer.ReceiptText}});
  return FinishForm(pvarRetValue);
}

HResult TDriver::GetLoyaltyBalanceForm(HostValue& pvarRetValue, HostParams& paParams) {
  int64_t balance = 0;
  std::wstring receipt;
  FLastResultCode = GetLoyaltyBalance(balance, receipt);
  PutParam(paParams, 0, AmountToHost(balance));
  PutParam(paParams, 1, receipt);
  return FinishForm(pvarRetValue);
}

HResult TDriver::LoyaltySaleForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  TCardAnswer answer;
  answer.PAN = GetParam(paParams, 0).ToText();
  const std::wstring card = answer.PAN;
  FLastResultCode = LoyaltySale(card, answer);
  PutParam(paParams, 0, MaskCardNumber(answer.PAN));
  PutParam(paParams, 1, AmountToHost(answer.Amount));
  PutTexts(paParams, {{2, answer.RecNum}, {3, answer.RRN}, {4, answer.AuthorizationCode}, {5, answer.ReceiptText}});
  return FinishForm(pvarRetValue);
}

HResult TDriver::LoyaltyRefundForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  TCardAnswer answer;
  answer.PAN = GetParam(paParams, 0).ToText();
  const std::wstring card = answer.PAN;
  const int64_t amount = GetAmountParam(paParams, 1);
  FLastResultCode = LoyaltyRefund(amount, card, answer);
  PutTexts(paParams, {{0, MaskCardNumber(answer.PAN)}, {2, answer.RecNum}, {3, answer.RRN},
                      {4, answer.AuthorizationCode}, {5, answer.ReceiptText}});
  return FinishForm(pvarRetValue);
}

HResult TDriver::PaymentForm(HostValue& pvarRetValue, HostParams& paParams) {
  return CardPaymentForm(pvarRetValue, paParams, [this](int64_t amount, const std::wstring& card, TCardAnswer& answer) {
    return Payment(amount, card, answer);
  });
}

void RegisterDriverClassTDriver() {
  RegisterDriverClass(L"TDriver", [](int32_t InterfaceRevision) { return CreateDriver<TDriver>(InterfaceRevision); });
}

}  // namespace velko
