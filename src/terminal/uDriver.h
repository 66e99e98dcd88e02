// TDriver: the complete driver the host loads. It binds the host's methods to
// the transaction engine: it registers the connection settings and six extra
// host methods, copies the settings into the engine when the device is opened,
// runs every acquiring operation as one engine call and hands the answer back
// (amounts, receipt and reference numbers, masked card numbers, slips), and
// asks the cashier for a missing receipt number in a small modal prompt.
// It is a driver of the revision it is made with; the engine below knows no
// revision. An operation that names its own merchant sends that merchant in
// place of the MerchantID setting.
// Host's thread only.
#pragma once

#include <memory>

#include "driver/uBaseDriverAuthorizator.h"
#include "terminal/uVelkoDriver.h"

namespace velko {

class TDriver : public TBaseDriverAuthorizator {
 public:
  // The engine's exchange defaults to TCP; tests may pass their own.
  explicit TDriver(std::unique_ptr<TTransactionExchange> Exchange = nullptr);
  // A driver of that interface revision (std::invalid_argument for one
  // without a layout).
  explicit TDriver(int32_t InterfaceRevision, std::unique_ptr<TTransactionExchange> Exchange = nullptr);
  ~TDriver() override;

  void RegisterSettings() override;
  void RegisterMethods() override;
  void Create() override;

  using TBaseDriverAuthorizator::Enable;
  int32_t Enable() override;
  void Disable() override;
  void GetResultDescription(int32_t Code, std::wstring& Description) override;
  using TCustomBaseDriver::DeviceTest;
  int32_t DeviceTest(std::wstring& Description) override;

  int32_t PayByPaymentCard(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) override;
  int32_t CancelPaymentByPaymentCard(int64_t Amount, const std::wstring& RecNum, const std::wstring& RRN,
                                     const std::wstring& AuthorizationCode, TCardAnswer& Answer) override;
  int32_t ReturnPaymantByPaymantCard(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) override;
  int32_t AuthorizePreSales(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer) override;
  int32_t AuthorizeCompletion(int64_t Amount, const std::wstring& RecNum, const std::wstring& RRN,
                              const std::wstring& AuthorizationCode, TCardAnswer& Answer) override;
  int32_t Settelment(std::wstring& ReceiptText) override;
  int32_t EmergencyReversal() override;
  bool PrintSlipOnTerminal() override;
  int32_t TerminalParameters(TTerminalParameters& Parameters) override;
  std::wstring OpenedDeviceID() override;

  // Typed forms of the extra methods.
  int32_t ReadCard(std::wstring& CardDataEnc, std::wstring& Issuer, std::wstring& PAN);
  int32_t GiftCardActivate(int64_t Amount, TCardAnswer& Answer);
  int32_t GetLoyaltyBalance(int64_t& Amount, std::wstring& ReceiptText);
  int32_t LoyaltySale(const std::wstring& CardData, TCardAnswer& Answer);
  int32_t LoyaltyRefund(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer);
  int32_t Payment(int64_t Amount, const std::wstring& CardData, TCardAnswer& Answer);

  TVelkoDriver& Engine() { return *FEngine; }

 private:
  // The receipt number given, or the one the cashier types; 4502 on Cancel.
  int32_t ResolveReceiptNumber(const std::wstring& Given, std::wstring& Number);
  // Copies the engine's answer (all but the amount) into Answer.
  void TakeAnswer(TCardAnswer& Answer);
  int32_t Finish(int32_t Result);
  class MerchantOverride;

  HResult ReadCardForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult GiftCardActivateForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult GetLoyaltyBalanceForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult LoyaltySaleForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult LoyaltyRefundForm(HostValue& pvarRetValue, HostParams& paParams);
  HResult PaymentForm(HostValue& pvarRetValue, HostParams& paParams);

  std::unique_ptr<TVelkoDriver> FEngine;
  // The terminal's identifier as the server's last answer that named it gave it.
  std::wstring FTerminalID;
};

// Registers TDriver, of every revision, under the name "TDriver" in the
// process's driver classes.
void RegisterDriverClassTDriver();

}  // namespace velko
