// The host's method layouts, one table a revision of its equipment interface.
//
// A revision of the host's interface names the methods it calls and lays the
// same typed values onto its own parameter positions: revision 2004 (and
// 3004, whose acquiring calls keep that layout) pays with seven parameters,
// revision 4000 with nine, a merchant number and a customer's QR code in
// front of the amount. A layout entry says which method it is, its two names,
// its parameter count and, for the card operations, which typed value sits
// at which position and whether the driver reads it (In) and writes it back
// (Out). The driver classes register their host methods from these tables and
// their host forms read and write the positions the entry gives, so a new
// layout is a new table, not a new copy of the forms.
//
// Constant data; safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velko {

// What a host method does, whatever positions its layout gives it.
enum class THostMethod : uint8_t {
  // The equipment standard (TCustomBaseDriver).
  hmGetInterfaceRevision,
  hmGetDescription,     // seven outputs (revision 2004)
  hmGetDescriptionXml,  // one DriverDescription text (3004 on)
  hmGetLastError,
  hmGetParameters,
  hmSetParameter,
  hmOpen,
  hmClose,
  hmGetAdditionalActions,
  hmDoAdditionalAction,
  hmDeviceTest,
  hmSetLocalization,
  // The acquiring family (TBaseDriverAuthorizator).
  hmTerminalParameters,
  hmPay,
  hmPayWithCashWithdrawal,
  hmRefund,
  hmCancel,
  hmPreAuthorise,
  hmComplete,
  hmCancelPreAuthorisation,
  hmEmergencyReversal,
  hmSettlement,
  hmPrintSlipOnTerminal,
};

// A typed value of a card operation.
enum class TLayoutField : uint8_t {
  lfNone,  // a position nothing reads or writes
  lfDeviceID,
  lfMerchantNumber,
  lfConsumerQR,
  lfAmount,
  lfAmountOriginal,  // of the transaction a cancellation refers to
  lfAmountCash,
  lfCardNumber,      // card data in, the masked number out
  lfReceiptNumber,
  lfRRN,
  lfAuthorizationCode,
  lfSlip,
};

struct TLayoutPosition {
  TLayoutField Field = TLayoutField::lfNone;
  bool In = false;   // the host form reads it
  bool Out = false;  // the host form writes it back
};

inline constexpr int32_t kMaxLayoutParams = 10;

struct TMethodLayout {
  THostMethod Method;
  const wchar_t* Name;   // the name the host is told
  const wchar_t* Alias;  // the other name
  int32_t ParamsCount;
  // Position k holds Positions[k] (k < ParamsCount).
  std::array<TLayoutPosition, kMaxLayoutParams> Positions{};
  // A further name lookup accepts after every entry's two names; may be null.
  const wchar_t* LookupName = nullptr;
};

struct TInterfaceLayout {
  int32_t Revision;
  // Registered after the base methods, the equipment part first.
  std::span<const TMethodLayout> Equipment;
  std::span<const TMethodLayout> Acquiring;
  // 3004 on: "Подключить" answers a device ID that every operation passes
  // back in position 0, "ПолучитьОписание" one XML text, and "EquipmentType"
  // is a parameter the host sets.
  bool DeviceIDs;
};

// The layout of a revision; nullptr for one the driver does not speak.
const TInterfaceLayout* FindInterfaceLayout(int32_t Revision);
// Every revision the driver speaks, lowest first.
std::span<const TInterfaceLayout> InterfaceLayouts();
// The position of a field in an entry; -1 when the entry has none.
int32_t FieldPosition(const TMethodLayout& Method, TLayoutField Field);
// The entry of that method in a layout; nullptr when the layout has none.
const TMethodLayout* FindMethodLayout(const TInterfaceLayout& Layout, THostMethod Method);

}  // namespace velko
