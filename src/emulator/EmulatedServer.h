// What the emulated terminal server does with a request: the bank's side of
// every operation type, with a journal by cash register and receipt number
// that answers "JRN", "VOI" and "CMP" from what was really done, and card
// balances, bonuses, gift cards and settlement totals that follow from it.
//
// It is as strict as a bank about the fields it is given, so that end-to-end
// runs catch a wrong one: a request needs the register's number and its tags
// in the order the driver sends them ("30"); a journal query carries exactly
// the driver's three query bytes ("30"); "CMP" completes only the
// pre-authorisation of its register whose receipt number's low six digits are
// the invoice and whose authorisation code is the one given ("B4" none, "M1"
// another code), and not one completed already ("M7"); "VOI" declines an
// amount ("M2"), reference number ("M3"), authorisation code ("M1") or merchant
// ("M4") that is not the transaction's, a payment partly refunded ("M6"), and
// a transaction cancelled already ("M8"; the driver's automatic void, which
// carries no amount, is approved again instead).
// A refund that names a payment by its reference number needs an approved
// payment with that number ("B4") and no more than is left of it ("M5"); a
// refund without one (by card) is approved as any payment is.
//
// Pure request -> answer (no sockets), so tests and the fuzzer can drive it
// directly. Thread-safe: one lock around the journal.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/EmulatorScript.h"
#include "protocol/uVelkoFraming.h"
#include "protocol/uVelkoTags.h"

namespace velko::emulator {

// A request's fields by tag (raw bytes), as far as they could be read.
struct ParsedRequest {
  std::string operation;  // "PUR", ...; empty when absent
  std::optional<int> function;
  std::vector<std::pair<PTTag, std::string>> fields;
  bool complete = false;  // the whole declared body was read as fields
  bool foreign_tags = false;  // a field whose code is no tag's request code
  const std::string* Get(const TTag& tag) const;
};
ParsedRequest ParseRequest(std::string_view message);

struct JournalEntry {
  std::string ecr = "01";  // the cash register's number as the request gave it
  uint32_t receipt = 0;
  std::string op;
  int64_t amount = 0;  // minor units
  std::string status;  // "approved", "declined", "undetermined"
  std::string code;
  std::string message;  // UTF-8
  std::string rrn;
  std::string auth;
  // The card number; the journal file keeps only its first six and last
  // four digits, and an entry read back from it has that form. Entries of
  // one card are found by that form too.
  std::string card;
  std::string merchant;  // the merchant identifier the request gave, if any
  std::string date;  // "ddMM"
  std::string time;  // "hhmm"
  bool voided = false;
  int batch = 1;
  // A refund's payment, a completion's pre-authorisation: its reference number.
  std::string of;
};

class EmulatedServer {
 public:
  // With a journal file: read now, appended to after every change.
  explicit EmulatedServer(std::string journal_path = "");

  // The answer message to a request; the rule (may be null) forces a decline,
  // a "TT", a card or keeps the operation out of the journal.
  std::string Answer(std::string_view request, const ScriptRule* rule = nullptr);

  std::vector<JournalEntry> Journal() const;
  std::optional<JournalEntry> Find(uint32_t receipt, const std::string& ecr = "01") const;
  // Minor units. A gift card starts at 0 and grows by its activations.
  int64_t AccountBalance(const std::string& card) const;
  int64_t BonusBalance(const std::string& card) const;
  int CurrentBatch() const;

  // The card the pinpad reads when a request brings no card data.
  static const std::string& DefaultCard();
  static const std::vector<std::string>& TestCards();
  // Card data as "VER" hands it out and later requests send it back.
  static std::string CardToken(const std::string& card);
  static std::optional<std::string> CardFromToken(const std::string& token);

  static constexpr const char* kTerminalId = "00012345";
  static constexpr const char* kMerchantNo = "781000012345678";
  static constexpr int64_t kInitialAccount = 10000000;  // 100 000,00
  static constexpr int64_t kInitialBonus = 100000;      // 1 000,00
  static constexpr int64_t kBonusPaymentLimit = 50000;  // 500,00 per payment

 private:
  struct Answered;
  Answered Handle(const ParsedRequest& req, const ScriptRule* rule);
  Answered Financial(const ParsedRequest& req, uint32_t receipt, const std::string& card,
                     int64_t amount, const ScriptRule* rule);
  Answered Void(const ParsedRequest& req, uint32_t receipt);
  // The bank's answer code and message to a refund or completion on what the
  // journal holds ("00" when it may go ahead); `of` gets the reference number
  // of the transaction it belongs to.
  std::pair<std::string, std::string> RefundCheck(const ParsedRequest& req, int64_t amount, std::string& of) const;
  std::pair<std::string, std::string> CompletionCheck(const ParsedRequest& req, const std::string& ecr,
                                                      std::string& of) const;
  int64_t RefundedLocked(const std::string& rrn) const;
  Answered JournalQuery(const std::string& ecr, uint32_t receipt);
  JournalEntry* Entry(const std::string& ecr, uint32_t receipt);
  Answered Service(const ParsedRequest& req, uint32_t receipt, const std::string& card);
  std::string CardOf(const ParsedRequest& req, const ScriptRule* rule, bool* bad_token);
  void Record(const JournalEntry& e);
  void Persist(const JournalEntry& e);
  void PersistBatch();
  int64_t AccountLocked(const std::string& card) const;
  int64_t BonusLocked(const std::string& card) const;

  mutable std::mutex mutex_;
  std::string journal_path_;
  std::vector<JournalEntry> journal_;
  int batch_ = 1;
  uint32_t sequence_ = 0;
  std::string card_in_reader_;
};

// "12345,67" for minor units, for slips and messages.
std::string MinorToText(int64_t minor);

}  // namespace velko::emulator
