#include "driver/MethodLayouts.h"

namespace velko {
namespace {

using enum THostMethod;
using enum TLayoutField;

constexpr TLayoutPosition In(TLayoutField field) { return {field, true, false}; }
constexpr TLayoutPosition Out(TLayoutField field) { return {field, false, true}; }
constexpr TLayoutPosition InOut(TLayoutField field) { return {field, true, true}; }
// The device ID in front of every operation: one object drives one device, so
// whatever the host passes there names it.
constexpr TLayoutPosition kID{lfDeviceID, false, false};

// ---- The equipment standard --------------------------------------------------

// Revision 2004 (standard 2.4): the driver describes itself in seven outputs.
constexpr TMethodLayout kEquipment2004[] = {
    {hmGetDescription, L"ПолучитьОписание", L"GetDescription", 7},
    {hmGetLastError, L"ПолучитьОшибку", L"GetLastError", 1},
    {hmGetParameters, L"ПолучитьПараметры", L"GetParameters", 1},
    {hmSetParameter, L"УстановитьПараметр", L"SetParameter", 2},
    {hmOpen, L"Подключить", L"Open", 1},
    {hmClose, L"Отключить", L"Close", 1},
    {hmGetAdditionalActions, L"ПолучитьДополнительныеДействия", L"GetAdditionalActions", 1},
    {hmDoAdditionalAction, L"ВыполнитьДополнительноеДействие", L"DoAdditionalAction", 1},
    {hmDeviceTest, L"ТестУстройства", L"DeviceTest", 2},
};

// From revision 3000 on: the host asks the revision first and reads the
// description as one XML text.
#define VELKO_EQUIPMENT_3000                                                              \
  {hmGetInterfaceRevision, L"ПолучитьРевизиюИнтерфейса", L"GetInterfaceRevision", 0},     \
      {hmGetDescriptionXml, L"ПолучитьОписание", L"GetDescription", 1},                   \
      {hmGetLastError, L"ПолучитьОшибку", L"GetLastError", 1},                            \
      {hmGetParameters, L"ПолучитьПараметры", L"GetParameters", 1},                       \
      {hmSetParameter, L"УстановитьПараметр", L"SetParameter", 2},                        \
      {hmOpen, L"Подключить", L"Open", 1},                                                \
      {hmClose, L"Отключить", L"Close", 1},                                               \
      {hmGetAdditionalActions, L"ПолучитьДополнительныеДействия", L"GetAdditionalActions", 1}, \
      {hmDoAdditionalAction, L"ВыполнитьДополнительноеДействие", L"DoAdditionalAction", 1}, \
      {hmDeviceTest, L"ТестУстройства", L"DeviceTest", 2}

constexpr TMethodLayout kEquipment3004[] = {VELKO_EQUIPMENT_3000};

// Revision 4000 adds the localization call the host makes after opening.
constexpr TMethodLayout kEquipment4000[] = {
    VELKO_EQUIPMENT_3000,
    {hmSetLocalization, L"УстановитьЛокализацию", L"SetLocalization", 2},
};

#undef VELKO_EQUIPMENT_3000

// ---- The acquiring family ----------------------------------------------------
// Configurations written in the host language's English script call some of
// these by the standard's English names, which the lookup names accept.

// The seven-parameter layout: 0 ID, 1 card, 2 amount, 3 receipt number,
// 4 reference number, 5 authorisation code, 6 slip.
constexpr std::array<TLayoutPosition, kMaxLayoutParams> kPay7 = {
    kID, InOut(lfCardNumber), InOut(lfAmount), Out(lfReceiptNumber), Out(lfRRN), Out(lfAuthorizationCode),
    Out(lfSlip)};
constexpr std::array<TLayoutPosition, kMaxLayoutParams> kRefund7 = {
    kID, InOut(lfCardNumber), In(lfAmount), InOut(lfReceiptNumber), InOut(lfRRN), Out(lfAuthorizationCode),
    Out(lfSlip)};
// An operation on an earlier one (cancellation, completion): the card and the
// slip come back, the rest stays as the host passed it.
constexpr std::array<TLayoutPosition, kMaxLayoutParams> kReferenced7 = {
    kID, Out(lfCardNumber), In(lfAmount), In(lfReceiptNumber), In(lfRRN), In(lfAuthorizationCode), Out(lfSlip)};
constexpr std::array<TLayoutPosition, kMaxLayoutParams> kPreAuthorise7 = {
    kID, InOut(lfCardNumber), In(lfAmount), Out(lfReceiptNumber), Out(lfRRN), Out(lfAuthorizationCode),
    Out(lfSlip)};

#define VELKO_PREAUTHORISATION_7                                                                         \
  {hmPreAuthorise, L"AuthorizePreSales", L"ПреавторизацияПоПлатежнойКарте", 7, kPreAuthorise7,          \
   L"AuthorisationByPaymentCard"},                                                                       \
      {hmComplete, L"AuthorizeCompletion", L"ЗавершитьПреавторизациюПоПлатежнойКарте", 7, kReferenced7, \
       L"AuthConfirmationByPaymentCard"},                                                                \
      {hmCancelPreAuthorisation, L"CancelAuthorisationByPaymentCard", L"ОтменитьПреавторизациюПоПлатежнойКарте", \
       7, kReferenced7}

#define VELKO_SERVICE_METHODS                                                                          \
  {hmEmergencyReversal, L"EmergencyReversal", L"АварийнаяОтменаОперации", 1, {kID}},                   \
      {hmSettlement, L"Settelment", L"ИтогиДняПоКартам", 2, {kID, Out(lfSlip)}, L"Settlement"},        \
      {hmPrintSlipOnTerminal, L"PrintSlipOnTerminal", L"ПечатьКвитанцийНаТерминале", 0}

#define VELKO_ACQUIRING_7                                                                                \
  {hmPay, L"PayByPaymentCard", L"ОплатитьПлатежнойКартой", 7, kPay7},                                   \
      {hmRefund, L"ReturnPaymantByPaymantCard", L"ВернутьПлатежПоПлатежнойКарте", 7, kRefund7,          \
       L"ReturnPaymentByPaymentCard"},                                                                   \
      {hmCancel, L"CancelPaymentByPaymentCard", L"ОтменитьПлатежПоПлатежнойКарте", 7, kReferenced7},   \
      VELKO_PREAUTHORISATION_7, VELKO_SERVICE_METHODS

constexpr TMethodLayout kAcquiring2004[] = {VELKO_ACQUIRING_7};

// 3004: the same seven-parameter calls, and the terminal's capabilities,
// asked right after opening (0 ID, 1 the XML text).
constexpr TMethodLayout kAcquiring3004[] = {
    VELKO_ACQUIRING_7,
    {hmTerminalParameters, L"TerminalParameters", L"ПараметрыТерминала", 2},
};

// 4000: merchant number and customer's QR code in front of the amount.
// Payment and refund 9, cancellation and cash withdrawal 10 parameters. The
// host never reads back position 4 of the cancellation (the original
// transaction's amount), so nothing is written there.
constexpr TMethodLayout kAcquiring4000[] = {
    {hmPay, L"PayByPaymentCard", L"ОплатитьПлатежнойКартой", 9,
     {kID, In(lfMerchantNumber), In(lfConsumerQR), InOut(lfAmount), InOut(lfCardNumber), Out(lfReceiptNumber),
      Out(lfRRN), Out(lfAuthorizationCode), Out(lfSlip)}},
    {hmRefund, L"ReturnPaymantByPaymantCard", L"ВернутьПлатежПоПлатежнойКарте", 9,
     {kID, In(lfMerchantNumber), In(lfConsumerQR), In(lfAmount), InOut(lfCardNumber), InOut(lfReceiptNumber),
      InOut(lfRRN), Out(lfAuthorizationCode), Out(lfSlip)},
     L"ReturnPaymentByPaymentCard"},
    {hmCancel, L"CancelPaymentByPaymentCard", L"ОтменитьПлатежПоПлатежнойКарте", 10,
     {kID, In(lfMerchantNumber), In(lfConsumerQR), In(lfAmount), In(lfAmountOriginal), Out(lfCardNumber),
      In(lfReceiptNumber), In(lfRRN), In(lfAuthorizationCode), Out(lfSlip)}},
    // The host's libraries spell it with a Latin "C" before "Выдачей"; the
    // lookup name is the one with the Cyrillic letter.
    {hmPayWithCashWithdrawal, L"PayByPaymentCardWithCashWithdrawal", L"ОплатитьПлатежнойКартойCВыдачейНаличных", 10,
     {kID, In(lfMerchantNumber), In(lfConsumerQR), InOut(lfAmount), In(lfAmountCash), InOut(lfCardNumber),
      Out(lfReceiptNumber), Out(lfRRN), Out(lfAuthorizationCode), Out(lfSlip)},
     L"ОплатитьПлатежнойКартойСВыдачейНаличных"},
    // No host shows the pre-authorisation family at a later revision: it
    // keeps the seven-parameter layout.
    VELKO_PREAUTHORISATION_7,
    VELKO_SERVICE_METHODS,
    {hmTerminalParameters, L"TerminalParameters", L"ПараметрыТерминала", 2},
};

#undef VELKO_ACQUIRING_7
#undef VELKO_SERVICE_METHODS
#undef VELKO_PREAUTHORISATION_7

constexpr TInterfaceLayout kLayouts[] = {
    {2004, kEquipment2004, kAcquiring2004, false},
    {3004, kEquipment3004, kAcquiring3004, true},
    {4000, kEquipment4000, kAcquiring4000, true},
};

}  // namespace

std::span<const TInterfaceLayout> InterfaceLayouts() { return kLayouts; }

const TInterfaceLayout* FindInterfaceLayout(int32_t Revision) {
  for (const TInterfaceLayout& layout : kLayouts)
    if (layout.Revision == Revision) return &layout;
  return nullptr;
}

int32_t FieldPosition(const TMethodLayout& Method, TLayoutField Field) {
  for (int32_t i = 0; i < Method.ParamsCount; ++i)
    if (Method.Positions[static_cast<size_t>(i)].Field == Field) return i;
  return -1;
}

const TMethodLayout* FindMethodLayout(const TInterfaceLayout& Layout, THostMethod Method) {
  for (const auto part : {Layout.Equipment, Layout.Acquiring})
    for (const TMethodLayout& entry : part)
      if (entry.Method == Method) return &entry;
  return nullptr;
}

}  // namespace velko
