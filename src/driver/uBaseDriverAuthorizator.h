// TBaseDriverAuthorizator: makes a driver an acquiring-terminal driver. It adds
// the equipment type, the "CurrencyCode" setting and the nine host methods of
// the acquiring family. Their host forms convert the host's values (amounts to
// currency, texts), run one typed operation each, and write the results back
// with every card number masked; the typed operations answer "not supported"
// here and are overridden by the complete driver. Host's thread only.
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
// An operation on an earlier one, named by its receipt number, reference
// number and authorisation code (cancellation, completion).
using TReferencedOperation =
    std::function<int32_t(int64_t Amount, const std::wstring& RecNum, const std::wstring& RRN,
                          const std::wstring& AuthCode, TCardAnswer& Answer)>;

class TBaseDriverAuthorizator : public TCustomBaseDriver {
 public:
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

 private:
  HResult ReferencedOperationForm(HostValue& pvarRetValue, HostParams& paParams,
                                  const TReferencedOperation& Operation);
  HResult PaymentForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult RefundForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult CancellationForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult PreAuthorisationForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult CompletionForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult EmergencyReversalForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult SettlementForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult SlipPrintingForm(HostValue& pvarRetValue, HostParams& paParams);
};

}  // namespace velko
