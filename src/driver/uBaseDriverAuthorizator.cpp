#include "driver/uBaseDriverAuthorizator.h"

#include "common/CardMask.h"
#include "common/ResultCodes.h"
#include "common/uCommonUtils.h"

namespace velko {
double TBaseDriverAuthorizator::AmountToHost(int64_t Amount) { return CurrencyToDouble(Amount); }

void TBaseDriverAuthorizator::PutTexts(HostParams& paParams,
                                       std::initializer_list<std::pair<int32_t, std::wstring>> Texts) {
  for (const auto& [position, text] : Texts) PutParam(paParams, position, text);
}

HResult TBaseDriverAuthorizator::FinishForm(HostValue& pvarRetValue) {
  pvarRetValue = HostValue::FromBool(FLastResultCode == 0);
  return kS_OK;
}

void TBaseDriverAuthorizator::RegisterSettings() {
  TCustomBaseDriver::RegisterSettings();
  AddSetting(L"CurrencyCode", L"КодВалюты", TDataType::dtString, HostValue::FromString(L"643"), false,
             L"Код валюты", L"Код валюты в соответствии с Общероссийским классификатором валют");
}

void TBaseDriverAuthorizator::RegisterMethods() {
  TCustomBaseDriver::RegisterMethods();
  using Self = TBaseDriverAuthorizator;
  const int32_t payment = AddMethod(L"PayByPaymentCard", L"ОплатитьПлатежнойКартой", Bind(&Self::PaymentForm), 7);
  const int32_t refund =
      AddMethod(L"ReturnPaymantByPaymantCard", L"ВернутьПлатежПоПлатежнойКарте", Bind(&Self::RefundForm), 7);
  const int32_t cancellation = AddMethod(L"CancelPaymentByPaymentCard", L"ОтменитьПлатежПоПлатежнойКарте",
                                         Bind(&Self::CancellationForm), 7);
  const int32_t pre_authorisation = AddMethod(L"AuthorizePreSales", L"ПреавторизацияПоПлатежнойКарте",
                                              Bind(&Self::PreAuthorisationForm), 7);
  const int32_t completion = AddMethod(L"AuthorizeCompletion", L"ЗавершитьПреавторизациюПоПлатежнойКарте",
                                       Bind(&Self::CompletionForm), 7);
  const int32_t pre_authorisation_cancellation =
      AddMethod(L"CancelAuthorisationByPaymentCard", L"ОтменитьПреавторизациюПоПлатежнойКарте",
                Bind(&Self::CancellationForm), 7);
  // Position 1 of every card operation: the card data in, the masked number out.
  for (const int32_t method : {payment, refund, cancellation, pre_authorisation, completion,
                               pre_authorisation_cancellation})
    MarkCardParams(method, {1});
  AddMethod(L"EmergencyReversal", L"АварийнаяОтменаОперации", Bind(&Self::EmergencyReversalForm), 1);
  const int32_t settlement = AddMethod(L"Settelment", L"ИтогиДняПоКартам", Bind(&Self::SettlementForm), 2);
  AddMethod(L"PrintSlipOnTerminal", L"ПечатьКвитанцийНаТерминале", Bind(&Self::SlipPrintingForm), 0);
  // Configurations written in the host language's English script call these
  // methods by the equipment standard's English names. The table keeps its
  // own names and numbers, which hosts already hold.
  AddMethodLookupName(refund, L"ReturnPaymentByPaymentCard");
  AddMethodLookupName(pre_authorisation, L"AuthorisationByPaymentCard");
  AddMethodLookupName(completion, L"AuthConfirmationByPaymentCard");
  AddMethodLookupName(settlement, L"Settlement");
}

void TBaseDriverAuthorizator::Create() {
  TCustomBaseDriver::Create();
  FDriverInfo.EquipmentType = L"ЭквайринговыйТерминал";
}

void TBaseDriverAuthorizator::PutCardAnswer(HostParams& paParams, const TCardAnswer& Answer) {
  PutTexts(paParams, {{1, MaskCardNumber(Answer.PAN)}, {3, Answer.RecNum}, {4, Answer.RRN},
                      {5, Answer.AuthorizationCode}, {6, Answer.ReceiptText}});
}

HResult TBaseDriverAuthorizator::CardPaymentForm(HostValue& pvarRetValue, HostParams& paParams,
                                                 const TCardPayment& Operation) {
  FLastResultDescription.clear();
  TCardAnswer answer;
  answer.PAN = GetParam(paParams, 1).ToText();
  answer.Amount = GetAmountParam(paParams, 2);
  const std::wstring card = answer.PAN;
  FLastResultCode = Operation(answer.Amount, card, answer);
  PutParam(paParams, 2, AmountToHost(answer.Amount));
  PutCardAnswer(paParams, answer);
  return FinishForm(pvarRetValue);
}

HResult TBaseDriverAuthorizator::PaymentForm(HostValue& pvarRetValue, HostParams& paParams) {
  return CardPaymentForm(pvarRetValue, paParams, [this](int64_t amount, const std::wstring& card, TCardAnswer& answer) {
    return PayByPaymentCard(amount, card, answer);
  });
}

HResult TBaseDriverAuthorizator::RefundForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  TCardAnswer answer;
  answer.PAN = GetParam(paParams, 1).ToText();
  const int64_t amount = GetAmountParam(paParams, 2);
  answer.RecNum = GetParam(paParams, 3).ToText();
  answer.RRN = GetParam(paParams, 4).ToText();
  const std::wstring card = answer.PAN;
  FLastResultCode = ReturnPaymantByPaymantCard(amount, card, answer);
  PutCardAnswer(paParams, answer);
  return FinishForm(pvarRetValue);
}

// Positions: 1 masked card, 2 amount, 3 receipt number, 4 reference number,
// 5 authorisation code of the operation referred to, 6 slip.
HResult TBaseDriverAuthorizator::ReferencedOperationForm(HostValue& pvarRetValue, HostParams& paParams,
                                                         const TReferencedOperation& Operation) {
  FLastResultDescription.clear();
  const int64_t amount = GetAmountParam(paParams, 2);
  const std::wstring rec = GetParam(paParams, 3).ToText();
  const std::wstring rrn = GetParam(paParams, 4).ToText();
  const std::wstring auth = GetParam(paParams, 5).ToText();
  TCardAnswer answer;
  FLastResultCode = Operation(amount, rec, rrn, auth, answer);
  PutTexts(paParams, {{1, MaskCardNumber(answer.PAN)}, {6, answer.ReceiptText}});
  return FinishForm(pvarRetValue);
}

HResult TBaseDriverAuthorizator::CancellationForm(HostValue& pvarRetValue, HostParams& paParams) {
  return ReferencedOperationForm(pvarRetValue, paParams, [this](int64_t amount, const std::wstring& rec,
                                                                const std::wstring& rrn, const std::wstring& auth,
                                                                TCardAnswer& answer) {
    return CancelPaymentByPaymentCard(amount, rec, rrn, auth, answer);
  });
}

HResult TBaseDriverAuthorizator::PreAuthorisationForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  TCardAnswer answer;
  answer.PAN = GetParam(paParams, 1).ToText();
  const int64_t amount = GetAmountParam(paParams, 2);
  const std::wstring card = answer.PAN;
  FLastResultCode = AuthorizePreSales(amount, card, answer);
  PutCardAnswer(paParams, answer);
  return FinishForm(pvarRetValue);
}

HResult TBaseDriverAuthorizator::CompletionForm(HostValue& pvarRetValue, HostParams& paParams) {
  return ReferencedOperationForm(pvarRetValue, paParams, [this](int64_t amount, const std::wstring& rec,
                                                                const std::wstring& rrn, const std::wstring& auth,
                                                                TCardAnswer& answer) {
    return AuthorizeCompletion(amount, rec, rrn, auth, answer);
  });
}

HResult TBaseDriverAuthorizator::EmergencyReversalForm(HostValue& pvarRetValue, HostParams&) {
  FLastResultDescription.clear();
  FLastResultCode = EmergencyReversal();
  return FinishForm(pvarRetValue);
}

HResult TBaseDriverAuthorizator::SettlementForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  std::wstring receipt;
  FLastResultCode = Settelment(receipt);
  PutParam(paParams, 1, receipt);
  return FinishForm(pvarRetValue);
}

HResult TBaseDriverAuthorizator::SlipPrintingForm(HostValue& pvarRetValue, HostParams&) {
  pvarRetValue = HostValue::FromBool(PrintSlipOnTerminal());
  return kS_OK;
}

int32_t TBaseDriverAuthorizator::PayByPaymentCard(int64_t, const std::wstring&, TCardAnswer&) {
  return rc::kNotSupported;
}
int32_t TBaseDriverAuthorizator::CancelPaymentByPaymentCard(int64_t, const std::wstring&, const std::wstring&,
                                                            const std::wstring&, TCardAnswer&) {
  return rc::kNotSupported;
}
int32_t TBaseDriverAuthorizator::ReturnPaymantByPaymantCard(int64_t, const std::wstring&, TCardAnswer&) {
  return rc::kNotSupported;
}
int32_t TBaseDriverAuthorizator::AuthorizePreSales(int64_t, const std::wstring&, TCardAnswer&) {
  return rc::kNotSupported;
}
int32_t TBaseDriverAuthorizator::AuthorizeCompletion(int64_t, const std::wstring&, const std::wstring&,
                                                     const std::wstring&, TCardAnswer&) {
  return rc::kNotSupported;
}
int32_t TBaseDriverAuthorizator::Settelment(std::wstring&) { return rc::kNotSupported; }
int32_t TBaseDriverAuthorizator::EmergencyReversal() { return rc::kNotSupported; }
bool TBaseDriverAuthorizator::PrintSlipOnTerminal() { return false; }

}  // namespace velko
