#include "driver/uBaseDriverAuthorizator.h"

#include <stdexcept>

#include "common/CardMask.h"
#include "common/ResultCodes.h"
#include "common/uCommonUtils.h"
#include "driver/HostXml.h"

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
  for (const TMethodLayout& entry : FLayout->Acquiring) {
    TDriverMethod form;
    switch (entry.Method) {
      case THostMethod::hmPrintSlipOnTerminal: form = Bind(&TBaseDriverAuthorizator::SlipPrintingForm); break;
      case THostMethod::hmTerminalParameters: form = Bind(&TBaseDriverAuthorizator::TerminalParametersForm); break;
      default:
        form = [this, &entry](HostValue& ret, HostParams& params) { return LayoutOperationForm(entry, ret, params); };
    }
    const int32_t number = AddMethod(entry.Name, entry.Alias, std::move(form), entry.ParamsCount);
    // Card data in or out, and a customer's QR code, which carries the
    // card's data too: the call log masks them.
    for (int32_t position = 0; position < entry.ParamsCount; ++position) {
      const TLayoutField field = entry.Positions[static_cast<size_t>(position)].Field;
      if (field == TLayoutField::lfCardNumber || field == TLayoutField::lfConsumerQR)
        MarkCardParams(number, {position});
    }
    if (entry.LookupName) AddMethodLookupName(number, entry.LookupName);
  }
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

// The values of a card operation as the host passed them.
struct TBaseDriverAuthorizator::TOperationInput {
  std::wstring Merchant;  // empty: the MerchantID setting
  std::wstring ConsumerQR;
  int64_t Amount = 0;
  int64_t AmountOriginal = 0;
  int64_t AmountCash = 0;
  std::wstring Card;
  std::wstring RecNum;
  std::wstring RRN;
  std::wstring AuthorizationCode;
};

// The running operation's merchant, for the driver's engine call only.
class TBaseDriverAuthorizator::MerchantScope {
 public:
  MerchantScope(TBaseDriverAuthorizator& driver, const std::wstring& merchant) : driver_(driver) {
    driver_.FOperationMerchant = merchant;
  }
  ~MerchantScope() { driver_.FOperationMerchant.clear(); }
  MerchantScope(const MerchantScope&) = delete;
  MerchantScope& operator=(const MerchantScope&) = delete;

 private:
  TBaseDriverAuthorizator& driver_;
};

namespace {

// The merchant number as the engine sends it: a whole number, 0 for the
// setting's merchant. False for anything else.
bool MerchantText(const HostValue& value, std::wstring& merchant) {
  double number = 0;
  try {
    number = value.ToDouble();
  } catch (const HostValueError&) {
    return false;
  }
  // Up to the fifteen digits the server's merchant field holds.
  if (!(number >= 0 && number < 1e15) || number != static_cast<double>(static_cast<int64_t>(number))) return false;
  merchant = number == 0 ? std::wstring() : std::to_wstring(static_cast<int64_t>(number));
  return true;
}

std::wstring ShownValue(const HostValue& value) {
  try {
    return L"\"" + value.ToText() + L"\"";
  } catch (const HostValueError&) {
    return L"(значение без текста)";
  }
}

}  // namespace

HResult TBaseDriverAuthorizator::Refuse(HostValue& pvarRetValue, int32_t Code, const std::wstring& Text) {
  FLastResultCode = Code;
  FLastResultDescription = Text;
  return FinishForm(pvarRetValue);
}

HResult TBaseDriverAuthorizator::LayoutOperationForm(const TMethodLayout& Layout, HostValue& pvarRetValue,
                                                     HostParams& paParams) {
  FLastResultDescription.clear();
  TOperationInput in;
  for (int32_t position = 0; position < Layout.ParamsCount; ++position) {
    const TLayoutPosition& at = Layout.Positions[static_cast<size_t>(position)];
    if (!at.In) continue;
    switch (at.Field) {
      case TLayoutField::lfMerchantNumber: {
        const HostValue value = GetParam(paParams, position);
        if (!MerchantText(value, in.Merchant))
          return Refuse(pvarRetValue, rc::kBadParameters,
                        L"Номер мерчанта (параметр " + std::to_wstring(position) + L") " + ShownValue(value) +
                            L" не является целым неотрицательным числом");
        break;
      }
      case TLayoutField::lfConsumerQR: in.ConsumerQR = GetParam(paParams, position).ToText(); break;
      case TLayoutField::lfAmount: in.Amount = GetAmountParam(paParams, position); break;
      case TLayoutField::lfAmountOriginal: in.AmountOriginal = GetAmountParam(paParams, position); break;
      case TLayoutField::lfAmountCash: in.AmountCash = GetAmountParam(paParams, position); break;
      case TLayoutField::lfCardNumber: in.Card = GetParam(paParams, position).ToText(); break;
      case TLayoutField::lfReceiptNumber: in.RecNum = GetParam(paParams, position).ToText(); break;
      case TLayoutField::lfRRN: in.RRN = GetParam(paParams, position).ToText(); break;
      case TLayoutField::lfAuthorizationCode: in.AuthorizationCode = GetParam(paParams, position).ToText(); break;
      case TLayoutField::lfNone:
      case TLayoutField::lfDeviceID:
      case TLayoutField::lfSlip:
        break;
    }
  }
  // What the terminal server does not offer never reaches it ("ПараметрыТерминала"
  // keeps these capabilities false, so a host asks for them only by mistake).
  if (!in.ConsumerQR.empty()) return Refuse(pvarRetValue, rc::kNotSupported, kNoConsumerQRText);
  if (in.AmountCash != 0) return Refuse(pvarRetValue, rc::kNotSupported, kNoCashWithdrawalText);
  if (Layout.Method == THostMethod::hmCancel && in.AmountOriginal > 0 && in.Amount < in.AmountOriginal)
    return Refuse(pvarRetValue, rc::kNotSupported, kNoPartialCancellationText);

  TCardAnswer answer;
  answer.PAN = in.Card;
  answer.Amount = in.Amount;
  answer.RecNum = in.RecNum;
  answer.RRN = in.RRN;
  {
    const MerchantScope merchant(*this, in.Merchant);
    FLastResultCode = RunOperation(Layout.Method, in, answer);
  }
  for (int32_t position = 0; position < Layout.ParamsCount; ++position) {
    const TLayoutPosition& at = Layout.Positions[static_cast<size_t>(position)];
    if (!at.Out) continue;
    switch (at.Field) {
      case TLayoutField::lfAmount: PutParam(paParams, position, AmountToHost(answer.Amount)); break;
      case TLayoutField::lfCardNumber: PutParam(paParams, position, MaskCardNumber(answer.PAN)); break;
      case TLayoutField::lfReceiptNumber: PutParam(paParams, position, answer.RecNum); break;
      case TLayoutField::lfRRN: PutParam(paParams, position, answer.RRN); break;
      case TLayoutField::lfAuthorizationCode: PutParam(paParams, position, answer.AuthorizationCode); break;
      case TLayoutField::lfSlip: PutParam(paParams, position, answer.ReceiptText); break;
      default: break;  // inputs only
    }
  }
  return FinishForm(pvarRetValue);
}

int32_t TBaseDriverAuthorizator::RunOperation(THostMethod Method, const TOperationInput& Input, TCardAnswer& Answer) {
  switch (Method) {
    case THostMethod::hmPay:
    case THostMethod::hmPayWithCashWithdrawal:  // without cash: a payment
      return PayByPaymentCard(Input.Amount, Input.Card, Answer);
    case THostMethod::hmRefund: return ReturnPaymantByPaymantCard(Input.Amount, Input.Card, Answer);
    case THostMethod::hmCancel:
    case THostMethod::hmCancelPreAuthorisation:  // a void, like the cancellation
      return CancelPaymentByPaymentCard(Input.Amount, Input.RecNum, Input.RRN, Input.AuthorizationCode, Answer);
    case THostMethod::hmPreAuthorise: return AuthorizePreSales(Input.Amount, Input.Card, Answer);
    case THostMethod::hmComplete:
      return AuthorizeCompletion(Input.Amount, Input.RecNum, Input.RRN, Input.AuthorizationCode, Answer);
    case THostMethod::hmSettlement: return Settelment(Answer.ReceiptText);
    case THostMethod::hmEmergencyReversal: return EmergencyReversal();
    default: throw std::logic_error("A layout entry without a card operation");
  }
}

HResult TBaseDriverAuthorizator::TerminalParametersForm(HostValue& pvarRetValue, HostParams& paParams) {
  FLastResultDescription.clear();
  TTerminalParameters parameters;
  FLastResultCode = TerminalParameters(parameters);
  PutParam(paParams, 1,
           XmlDocumentOfOneElement(L"TerminalParameters",
                                   {{L"TerminalID", parameters.TerminalID},
                                    {L"PrintSlipOnTerminal", XmlBoolean(parameters.PrintSlipOnTerminal)},
                                    {L"ShortSlip", XmlBoolean(parameters.ShortSlip)},
                                    {L"CashWithdrawal", XmlBoolean(parameters.CashWithdrawal)},
                                    {L"ElectronicCertificates", XmlBoolean(parameters.ElectronicCertificates)},
                                    {L"PartialCancellation", XmlBoolean(parameters.PartialCancellation)},
                                    {L"ConsumerPresentedQR", XmlBoolean(parameters.ConsumerPresentedQR)},
                                    {L"ListCardTransactions", XmlBoolean(parameters.ListCardTransactions)}}));
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

int32_t TBaseDriverAuthorizator::TerminalParameters(TTerminalParameters& Parameters) {
  Parameters = TTerminalParameters{};
  Parameters.PrintSlipOnTerminal = PrintSlipOnTerminal();
  return 0;
}

}  // namespace velko
