#include "terminal/uDriver.h"

#include "common/CardMask.h"
#include "common/Common.Log.h"
#include "common/ResultCodes.h"
#include "platform/ReceiptPrompt.h"
#include "platform/Services.h"
#include "terminal/ufmEnterRecNumber.h"

namespace velko {

TDriver::TDriver(std::unique_ptr<TTransactionExchange> Exchange)
    : FDriver(std::make_unique<TVelkoDriver>(std::move(Exchange))) {
  // What the engine does on its own (an automatic void, a transaction left
  // to void, a numerator it could not write) goes to the debug log, so that
  // support can see why a payment was cancelled.
  FDriver->SetWriteLogProc([](const std::wstring& Caption, const std::wstring& Text) {
    TLog::Append(Caption, Text, TMsgType::mtInfo);
  });
}

TDriver::~TDriver() {
  Disable();
  FDriver.reset();
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
  AddMethod(L"ReadCard", L"СчитатьКарту", Bind(&TDriver::ReadCardForm), 3);
  AddMethod(L"GiftCardActivate", L"АктивацияПодарочнойКарты", Bind(&TDriver::GiftCardActivateForm), 6);
  AddMethod(L"GetLoyaltyBalance", L"ПолучитьБалансПоБонусам", Bind(&TDriver::GetLoyaltyBalanceForm), 2);
  AddMethod(L"LoyaltySale", L"ОплатитьБонусами", Bind(&TDriver::LoyaltySaleForm), 6);
  AddMethod(L"LoyaltyRefund", L"ВернутьПлатежБонусами", Bind(&TDriver::LoyaltyRefundForm), 6);
  AddMethod(L"Payment", L"Платеж", Bind(&TDriver::PaymentForm), 7);
}

int32_t TDriver::Enable() {
  FDriver->SetServerAddress(GetSettingValueStr(L"ServerAddress"));
  FDriver->SetServerPort(GetSettingValueInt(L"ServerPort"));
  FDriver->SetTimeOut(GetSettingValue(L"AnswerTimeOut").ToInt64());
  FDriver->SetECRNumber(GetSettingValueInt(L"ECRNumber"));
  // No such setting is registered: the numerator keeps its default folder.
  FDriver->SetReceiptEnumDir(GetSettingValueStr(L"ReceiptEnumDir"));
  FDriver->SetCurrencyCode(GetSettingValueStr(L"CurrencyCode"));
  FDriver->SetMerchantID(GetSettingValueStr(L"MerchantID"));
  const int32_t result = FDriver->Enable();
  FLastResultDescription = FDriver->ExtErrorDescription();
  return result;
}

void TDriver::Disable() {
  TBaseDriverAuthorizator::Disable();
  if (FDriver) FDriver->Disable();
}

void TDriver::GetResultDescription(int32_t Code, std::wstring& Description) {
  Description = Code == rc::kCancelledByCashier ? L"Операция отменена пользователем" : L"Неизвестная ошибка";
}

int32_t TDriver::Finish(int32_t Result) {
  FLastResultDescription = FDriver->ExtErrorDescription();
  return Result;
}

void TDriver::TakeAnswer(std::wstring& RecNum, std::wstring& RRN, std::wstring& PAN,
                         std::wstring& AuthorizationCode, std::wstring& ReceiptText) {
  RecNum = FDriver->ReceiptNumber();
  RRN = FDriver->ReferenceNumber();
  PAN = FDriver->CardNumber();
  AuthorizationCode = FDriver->AuthorizationCode();
  ReceiptText = FDriver->ReceiptText();
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
  if (!prompt.ShowModal()) return rc::kCancelledByCashier;
  Number = prompt.RecNumber();
  return 0;
}

int32_t TDriver::DeviceTest(std::wstring& Description) {
  Description.clear();
  const int32_t result = FDriver->TestHost();
  FLastResultDescription = FDriver->ExtErrorDescription();
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

int32_t TDriver::PayByPaymentCard(int64_t& Amount, std::wstring& PAN, std::wstring& RecNum, std::wstring& RRN,
                                  std::wstring& AuthorizationCode, std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->Sale(Amount, PAN));
  Amount = FDriver->Amount();
  TakeAnswer(RecNum, RRN, PAN, AuthorizationCode, ReceiptText);
  return result;
}

int32_t TDriver::ReturnPaymantByPaymantCard(int64_t Amount, std::wstring& RecNum, std::wstring& RRN,
                                            std::wstring& PAN, std::wstring& AuthorizationCode,
                                            std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->Refund(Amount, PAN, L""));
  TakeAnswer(RecNum, RRN, PAN, AuthorizationCode, ReceiptText);
  return result;
}

int32_t TDriver::CancelPaymentByPaymentCard(int64_t Amount, const std::wstring& RecNum, const std::wstring&,
                                            const std::wstring& AuthorizationCode, std::wstring& PAN,
                                            std::wstring& ReceiptText) {
  std::wstring number;
  if (ResolveReceiptNumber(RecNum, number) != 0) return rc::kCancelledByCashier;
  const int32_t result = Finish(FDriver->Void(Amount, number, AuthorizationCode, L""));
  PAN = FDriver->CardNumber();
  ReceiptText = FDriver->ReceiptText();
  return result;
}

int32_t TDriver::AuthorizePreSales(int64_t Amount, std::wstring& RecNum, std::wstring& PAN, std::wstring& RRN,
                                   std::wstring& AuthorizationCode, std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->PreSale(Amount, PAN));
  TakeAnswer(RecNum, RRN, PAN, AuthorizationCode, ReceiptText);
  return result;
}

int32_t TDriver::AuthorizeCompletion(int64_t Amount, const std::wstring& RecNum, const std::wstring&,
                                     const std::wstring& AuthorizationCode, std::wstring& PAN,
                                     std::wstring& ReceiptText) {
  std::wstring number;
  if (ResolveReceiptNumber(RecNum, number) != 0) return rc::kCancelledByCashier;
  const int32_t result = Finish(FDriver->Completion(Amount, number, AuthorizationCode));
  PAN = FDriver->CardNumber();
  ReceiptText = FDriver->ReceiptText();
  return result;
}

int32_t TDriver::Settelment(std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->Settlement());
  ReceiptText = FDriver->ReceiptText();
  return result;
}

int32_t TDriver::EmergencyReversal() { return Finish(FDriver->EmergencyVoid()); }

bool TDriver::PrintSlipOnTerminal() { return GetSettingValueBool(L"PrintOnTerminal"); }

int32_t TDriver::ReadCard(std::wstring& CardDataEnc, std::wstring& Issuer, std::wstring& PAN) {
  const int32_t result = Finish(FDriver->ReadCard(CardDataEnc));
  PAN = FDriver->CardNumber();
  Issuer = FDriver->IssuerName();
  return result;
}

int32_t TDriver::GiftCardActivate(int64_t Amount, std::wstring& PAN, std::wstring& RecNum, std::wstring& RRN,
                                  std::wstring& AuthorizationCode, std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->GiftCardActivate(Amount));
  TakeAnswer(RecNum, RRN, PAN, AuthorizationCode, ReceiptText);
  return result;
}

int32_t TDriver::GetLoyaltyBalance(int64_t& Amount, std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->GetLoyaltyBalance(Amount));
  ReceiptText = FDriver->ReceiptText();
  return result;
}

int32_t TDriver::LoyaltySale(int64_t& Amount, std::wstring& PAN, std::wstring& RecNum, std::wstring& RRN,
                             std::wstring& AuthorizationCode, std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->LoyaltySale(PAN));
  Amount = FDriver->Amount();
  TakeAnswer(RecNum, RRN, PAN, AuthorizationCode, ReceiptText);
  return result;
}

int32_t TDriver::LoyaltyRefund(int64_t Amount, std::wstring& PAN, std::wstring& RecNum, std::wstring& RRN,
                               std::wstring& AuthorizationCode, std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->LoyaltyRefund(Amount, PAN));
  TakeAnswer(RecNum, RRN, PAN, AuthorizationCode, ReceiptText);
  return result;
}

int32_t TDriver::Payment(int64_t& Amount, std::wstring& PAN, std::wstring& RecNum, std::wstring& RRN,
                         std::wstring& AuthorizationCode, std::wstring& ReceiptText) {
  const int32_t result = Finish(FDriver->Payment(Amount, PAN));
  Amount = FDriver->Amount();
  TakeAnswer(RecNum, RRN, PAN, AuthorizationCode, ReceiptText);
  return result;
}

// ---- Host forms of the extra methods ----------------------------------------

HResult TDriver::ReadCardForm(HostValue& pvarRetValue, HostParams& paParams) {
  std::wstring data, issuer, pan;
  FLastResultCode = ReadCard(data, issuer, pan);
  PutTexts(paParams, {{0, data}, {1, issuer}, {2, MaskAllButLastFour(pan)}});
  return FinishForm(pvarRetValue);
}

HResult TDriver::GiftCardActivateForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  const int64_t amount = GetParam(paParams, 0).ToCurrency();
  std::wstring pan, rec, rrn, auth, receipt;
  FLastResultCode = GiftCardActivate(amount, pan, rec, rrn, auth, receipt);
  PutTexts(paParams, {{1, MaskAllButLastFour(pan)}, {2, rec}, {3, rrn}, {4, auth}, {5, receipt}});
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
  std::wstring pan = GetParam(paParams, 0).ToText();
  int64_t amount = 0;
  std::wstring rec, rrn, auth, receipt;
  FLastResultCode = LoyaltySale(amount, pan, rec, rrn, auth, receipt);
  PutParam(paParams, 0, MaskAllButLastFour(pan));
  PutParam(paParams, 1, AmountToHost(amount));
  PutTexts(paParams, {{2, rec}, {3, rrn}, {4, auth}, {5, receipt}});
  return FinishForm(pvarRetValue);
}

HResult TDriver::LoyaltyRefundForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  std::wstring pan = GetParam(paParams, 0).ToText();
  const int64_t amount = GetParam(paParams, 1).ToCurrency();
  std::wstring rec, rrn, auth, receipt;
  FLastResultCode = LoyaltyRefund(amount, pan, rec, rrn, auth, receipt);
  PutTexts(paParams, {{0, MaskAllButLastFour(pan)}, {2, rec}, {3, rrn}, {4, auth}, {5, receipt}});
  return FinishForm(pvarRetValue);
}

HResult TDriver::PaymentForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  std::wstring pan = GetParam(paParams, 1).ToText();
  int64_t amount = GetParam(paParams, 2).ToCurrency();
  std::wstring rec, rrn, auth, receipt;
  FLastResultCode = Payment(amount, pan, rec, rrn, auth, receipt);
  PutParam(paParams, 1, MaskAllButLastFour(pan));
  PutParam(paParams, 2, AmountToHost(amount));
  PutTexts(paParams, {{3, rec}, {4, rrn}, {5, auth}, {6, receipt}});
  return FinishForm(pvarRetValue);
}

void RegisterDriverClassTDriver() {
  RegisterDriverClass(L"TDriver", [] { return CreateDriver<TDriver>(); });
}

}  // namespace velko
