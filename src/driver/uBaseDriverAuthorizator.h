// TBaseDriverAuthorizator: makes a driver an acquiring-terminal driver. It adds
// the equipment type, the "CurrencyCode" setting and the host methods of the
// acquiring family in the layout of the driver's revision (driver/
// MethodLayouts). One host form serves every card operation of every layout:
// it reads the positions the layout entry gives (amounts to currency, texts),
// runs one typed operation, and writes back the positions the entry gives,
// every card number masked. What the terminal cannot do (a customer's QR
// code, cash withdrawal, a partial cancellation) is answered false with a
// text saying so, before anything is sent. The typed operations answer "not
// supported" here and are overridden by the complete driver. Host's thread
// only.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <utility>
#include <string>

#include "driver/uCustomBaseDriver.h"

namespace velko {

// What a card operation hands back to the host.
struct TCardAnswer {
  int64_t Amount = 0;             // currency, where the server names the amount
  std::wstring PAN;               // the card number, masked before the host sees it
  std::wstring RecNum;            // receipt number
  std::wstring RRN;               // reference number
  std::wstring AuthorizationCode;
  std::wstring ReceiptText;       // the slip
};

// A typed card payment: amount and card data in, the answer out.
using TCardPayment = std::function<int32_t(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer)>;

// What "ПараметрыТерминала" reports: the terminal's identifier and what the
// host may offer the cashier. A capability left false is one the host does
// not offer.
struct TTerminalParameters {
  std::wstring TerminalID;
  bool PrintSlipOnTerminal = false;
  bool ShortSlip = false;
  bool CashWithdrawal = false;
  bool ElectronicCertificates = false;
  bool PartialCancellation = false;
  bool ConsumerPresentedQR = false;
  bool ListCardTransactions = false;
};

// The texts of the operations the terminal server does not offer.
inline constexpr const wchar_t* kNoConsumerQRText = L"Устройство не поддерживает оплату по QR-коду покупателя";
inline constexpr const wchar_t* kNoCashWithdrawalText = L"Устройство не поддерживает выдачу наличных";
inline constexpr const wchar_t* kNoPartialCancellationText = L"Устройство не поддерживает частичную отмену операции";

class TBaseDriverAuthorizator : public TCustomBaseDriver {
 public:
  using TCustomBaseDriver::TCustomBaseDriver;

  void RegisterSettings() override;
  void RegisterMethods() override;
  void Create() override;

  // Typed operations; amounts are currency (ten-thousandths). The host form
  // fills the answer with what the host passed (the card data as PAN, the
  // amount, and for a refund the receipt and reference numbers) before the
  // call, and writes it back afterwards, the card number masked.
  virtual int32_t PayByPaymentCard(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer);
  virtual int32_t CancelPaymentByPaymentCard(int64_t Amount, const std::wstring& RecNum,
                                             const std::wstring& RRN,
                                             const std::wstring& AuthorizationCode, TCardAnswer& Answer);
  virtual int32_t ReturnPaymantByPaymantCard(int64_t Amount, const std::wstring& CardData,
                                             TCardAnswer& Answer);
  virtual int32_t AuthorizePreSales(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer);
  virtual int32_t AuthorizeCompletion(int64_t Amount, const std::wstring& RecNum, const std::wstring& RRN,
                                      const std::wstring& AuthorizationCode, TCardAnswer& Answer);
  virtual int32_t Settelment(std::wstring& ReceiptText);
  virtual int32_t EmergencyReversal();
  virtual bool PrintSlipOnTerminal();
  // Base: the slip printing of PrintSlipOnTerminal, every capability false,
  // no terminal ID; result 0.
  virtual int32_t TerminalParameters(TTerminalParameters& Parameters);

  // An amount as the host gets it back: a double of the currency value.
  static double AmountToHost(int64_t Amount);

 protected:
  // Texts written back at their positions.
  static void PutTexts(HostParams& paParams,
                       std::initializer_list<std::pair<int32_t, std::wstring>> Texts);
  // The end of every host form of the family: true exactly when the code is 0.
  HResult FinishForm(HostValue& pvarRetValue);
  // The host form of a payment (positions: 1 card data and masked card, 2
  // amount, 3 receipt number, 4 reference number, 5 authorisation code, 6
  // slip), for every operation of that shape.
  HResult CardPaymentForm(HostValue& pvarRetValue, HostParams& paParams, const TCardPayment& Operation);
  // A card operation's answer at the positions of the payment form (1 masked
  // card, 3 receipt number, 4 reference number, 5 authorisation code, 6 slip).
  static void PutCardAnswer(HostParams& paParams, const TCardAnswer& Answer);
  // The merchant the running operation names in place of the MerchantID
  // setting; empty: the setting's.
  const std::wstring& OperationMerchant() const { return FOperationMerchant; }

 private:
  struct TOperationInput;
  class MerchantScope;
  // The host form of a card operation (and of settlement and emergency
  // reversal) at the positions of its layout entry.
  HResult LayoutOperationForm(const TMethodLayout& Layout, HostValue& pvarRetValue, HostParams& paParams);
  // Runs the entry's typed operation.
  int32_t RunOperation(THostMethod Method, const TOperationInput& Input, TCardAnswer& Answer);
  // Answers false with the code and text; nothing is written, nothing sent.
  HResult Refuse(HostValue& pvarRetValue, int32_t Code, const std::wstring& Text);
  HResult SlipPrintingForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult TerminalParametersForm(HostValue& pvarRetValue, HostParams& paParams);

  std::wstring FOperationMerchant;
};

}  // namespace velko
