#include "emulator/EmulatedServer.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <tuple>
#include <utility>
#include <nlohmann/json.hpp>

#include "common/TextUtf.h"
#include "emulator/PrivateFile.h"
#include "platform/ServerCodePage.h"

namespace velko::emulator {
namespace {

using json = nlohmann::json;

constexpr const char* kGiftPrefix = "639300";
constexpr const char* kTokenPrefix = "VK1:";
constexpr unsigned char kTokenKey = 0x5A;

const char* const kFinancialOps[] = {"PUR", "PAY", "REF", "AUT", "CMP", "ACT", "XTR", "XRE"};
const char* const kKnownOps[] = {"PUR", "PAY", "REF", "AUT", "CMP", "VOI", "SRV",
                                 "JRN", "VER", "ACT", "XBA", "XTR", "XRE"};

bool IsIn(const std::string& op, const char* const* list, size_t n) {
  return std::find_if(list, list + n, [&](const char* x) { return op == x; }) != list + n;
}
bool IsFinancial(const std::string& op) { return IsIn(op, kFinancialOps, std::size(kFinancialOps)); }
bool IsKnown(const std::string& op) { return IsIn(op, kKnownOps, std::size(kKnownOps)); }

// Server code-page bytes of a UTF-8 text.
std::string Cp(const std::string& utf8) { return WideToServerCodePage(Utf8ToWide(utf8)); }

std::optional<int64_t> Digits(const std::string* value) {
  if (!value || value->empty() || value->size() > 18) return std::nullopt;
  int64_t v = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// A field's value without the blanks or zero bytes that pad a fixed width.
std::string Trimmed(const std::string& value) {
  const size_t begin = value.find_first_not_of(std::string(" \0", 2));
  if (begin == std::string::npos) return "";
  return value.substr(begin, value.find_last_not_of(std::string(" \0", 2)) - begin + 1);
}

// The tags of each request in the order the driver puts them. Any may be
// missing (the checks for the ones that must be there come elsewhere); the
// ones present keep this order, each once. "VOI" has two: the host's
// cancellation and the driver's automatic void. "ACT" and "XBA" also take a
// card token, which the driver never sends but the emulator's own tests do.
struct TagOrder {
  const char* op;
  std::vector<PTTag> tags;
};

const std::vector<TagOrder>& DriverTagOrders() {
  static const std::vector<TagOrder> orders = [] {
    const PTTag cur = &TagCurrencyCode, ecr = &TagECRNumber, card = &TagCardNumberEnc, merchant = &TagMerchantID,
                rrn = &TagReferenceNumber, auth = &TagAuthorizationCode, receipt = &TagReceiptNumber,
                op = &TagOperationType, amount = &TagAmount;
    return std::vector<TagOrder>{
        {"PUR", {cur, ecr, card, merchant, receipt, op, amount}},
        {"PAY", {cur, ecr, card, receipt, op, amount}},
        {"REF", {cur, ecr, rrn, card, merchant, receipt, op, amount}},
        {"AUT", {cur, ecr, card, receipt, op, amount}},
        {"CMP", {cur, ecr, &TagInvoiceNumber, auth, receipt, op, amount}},
        {"VOI", {cur, ecr, rrn, merchant, receipt, auth, op, amount}},
        {"VOI", {cur, ecr, op, receipt}},
        {"SRV", {cur, ecr, receipt, op, &TagServiceFunction}},
        {"JRN", {cur, ecr, receipt, op, &TagJournalQuery}},
        {"VER", {cur, ecr, receipt, op}},
        {"ACT", {cur, ecr, card, receipt, op, amount}},
        {"XBA", {cur, ecr, card, receipt, op}},
        {"XTR", {cur, ecr, card, receipt, op, amount}},
        {"XRE", {cur, ecr, card, receipt, op, amount}},
    };
  }();
  return orders;
}

bool InDriverOrder(const ParsedRequest& req) {
  if (req.foreign_tags) return false;
  for (const TagOrder& order : DriverTagOrders()) {
    if (req.operation != order.op) continue;
    size_t at = 0;
    bool fits = true;
    for (const auto& field : req.fields) {
      while (at < order.tags.size() && order.tags[at] != field.first) ++at;
      if (at == order.tags.size()) {
        fits = false;
        break;
      }
      ++at;
    }
    if (fits) return true;
  }
  return false;
}

// The three query bytes the driver sends with "JRN".
const std::string kJournalQueryBytes("\xA4\0\0", 3);

// Why a request is not in the driver's wire format, or nullptr.
const char* WireFault(const ParsedRequest& req) {
  const std::string* ecr = req.Get(TagECRNumber);
  if (!ecr || Trimmed(*ecr).empty() || Trimmed(*ecr).find_first_not_of("0123456789") != std::string::npos)
    return "НЕ УКАЗАН НОМЕР КАССЫ";
  if (!InDriverOrder(req)) return "НАРУШЕН ПОРЯДОК ПОЛЕЙ ЗАПРОСА";
  if (req.operation == "JRN" && (!req.Get(TagJournalQuery) || *req.Get(TagJournalQuery) != kJournalQueryBytes))
    return "НЕВЕРНЫЙ ЗАПРОС ЖУРНАЛА";
  return nullptr;
}

std::string EcrOf(const ParsedRequest& req) {
  const std::string* ecr = req.Get(TagECRNumber);
  return ecr ? Trimmed(*ecr) : "";
}

std::string Pad(int64_t v, int width) {
  std::string s = std::to_string(v);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), '0');
  return s;
}

std::tm Now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return tm;
}

std::string IssuerOf(const std::string& card) {
  if (card.rfind(kGiftPrefix, 0) == 0) return "GIFT";
  if (card.rfind("22", 0) == 0) return "MIR";
  if (card.rfind("4", 0) == 0) return "VISA";
  if (card.rfind("5", 0) == 0) return "MASTER";
  return "CARD";
}

std::string MaskedCard(const std::string& card) {
  if (card.size() < 10) return std::string(card.size(), '*');
  return card.substr(0, 6) + std::string(card.size() - 10, '*') + card.substr(card.size() - 4);
}

const char* OperationTitle(const std::string& op) {
  if (op == "PUR" || op == "PAY") return "ОПЛАТА";
  if (op == "REF") return "ВОЗВРАТ";
  if (op == "AUT") return "ПРЕДАВТОРИЗАЦИЯ";
  if (op == "CMP") return "ЗАВЕРШЕНИЕ РАСЧЕТА";
  if (op == "VOI") return "ОТМЕНА";
  if (op == "ACT") return "АКТИВАЦИЯ ПОДАРОЧНОЙ КАРТЫ";
  if (op == "XTR") return "ОПЛАТА БОНУСАМИ";
  if (op == "XRE") return "ВОЗВРАТ БОНУСОВ";
  if (op == "XBA") return "БАЛАНС БОНУСОВ";
  if (op == "VER") return "ЧТЕНИЕ КАРТЫ";
  if (op == "JRN") return "КОПИЯ ЧЕКА";
  return "СЕРВИСНАЯ ОПЕРАЦИЯ";
}

std::string Centered(const std::string& utf8, size_t width = 32) {
  const size_t len = Utf8ToWide(utf8).size();
  return len >= width ? utf8 : std::string((width - len) / 2, ' ') + utf8;
}

std::string Slip(const std::vector<std::string>& body) {
  std::vector<std::string> lines = {
      Centered("ВЕЛКО ТЕСТ БАНК"), Centered("ООО \"РОМАШКА\""), Centered("г. Москва, ул. Примерная, д. 1"),
      Centered("ИНН 7701234567"), "--------------------------------"};
  lines.insert(lines.end(), body.begin(), body.end());
  lines.push_back("--------------------------------");
  lines.push_back(Centered("СПАСИБО ЗА ПОКУПКУ"));
  lines.push_back(Centered("СОХРАНЯЙТЕ ЧЕК"));
  lines.push_back("================================");
  std::string text;
  for (const std::string& l : lines) text += l + "\r\n";
  return Cp(text);
}

}  // namespace

std::string MinorToText(int64_t minor) {
  const bool negative = minor < 0;
  const uint64_t m = negative ? 0 - static_cast<uint64_t>(minor) : static_cast<uint64_t>(minor);
  std::string cents = std::to_string(m % 100);
  if (cents.size() < 2) cents.insert(0, "0");
  return (negative ? "-" : "") + std::to_string(m / 100) + "," + cents;
}

// ---- Requests ---------------------------------------------------------------

const std::string* ParsedRequest::Get(const TTag& tag) const {
  for (const auto& [t, v] : fields)
    if (t == &tag) return &v;
  return nullptr;
}

ParsedRequest ParseRequest(std::string_view message) {
  ParsedRequest req;
  size_t consumed = 0;
  const std::vector<TRawField> raw = SplitFields(message, &consumed);
  for (const TRawField& f : raw) {
    bool known = false;
    for (PTTag tag : AllTags) {
      if (tag->Code == f.Code || tag->OutCode == f.Code) {
        req.fields.emplace_back(tag, f.Value);
        known = tag->Code == f.Code;
        break;
      }
    }
    if (!known) req.foreign_tags = true;
  }
  const std::optional<size_t> declared = DeclaredBodyLength(message);
  req.complete = declared && message.size() >= kMessageLengthSize + *declared && consumed == *declared;
  if (const std::string* op = req.Get(TagOperationType)) req.operation = *op;
  if (const std::string* fn = req.Get(TagServiceFunction); fn && fn->size() == 1)
    req.function = static_cast<unsigned char>((*fn)[0]);
  return req;
}

// ---- The server -------------------------------------------------------------

struct EmulatedServer::Answered {
  std::vector<std::pair<PTTag, std::string>> fields;
  void Put(const TTag& tag, std::string bytes) { fields.emplace_back(&tag, std::move(bytes)); }
  std::string Encode() const {
    std::vector<TRawField> raw;
    for (const auto& [tag, v] : fields) raw.push_back({std::string(tag->OutCode), FitFieldValue(*tag, v)});
    return EncodeFields(raw);
  }
};

EmulatedServer::EmulatedServer(std::string journal_path) : journal_path_(std::move(journal_path)) {
  if (journal_path_.empty()) return;
  std::ifstream in(journal_path_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const json j = json::parse(line, nullptr, false);
    if (!j.is_object()) continue;  // a torn last line of an interrupted run
    try {
      if (j.contains("batch")) {
        batch_ = j.at("batch").get<int>();
        continue;
      }
      JournalEntry e;
      e.ecr = j.value("ecr", "01");
      e.merchant = j.value("merchant", "");
      e.receipt = j.at("receipt").get<uint32_t>();
      e.op = j.at("op").get<std::string>();
      e.amount = j.at("amount").get<int64_t>();
      e.status = j.at("status").get<std::string>();
      e.code = j.value("code", "");
      e.message = j.value("message", "");
      e.rrn = j.value("rrn", "");
      e.auth = j.value("auth", "");
      e.card = j.value("card", "");
      e.date = j.value("date", "");
      e.time = j.value("time", "");
      e.voided = j.value("voided", false);
      e.batch = j.value("batch_of", 1);
      e.of = j.value("of", "");
      Record(e);
    } catch (const json::exception&) {
      continue;
    }
  }
  sequence_ = static_cast<uint32_t>(journal_.size());
  MakePrivateFile(journal_path_);
}

const std::vector<std::string>& EmulatedServer::TestCards() {
  static const std::vector<std::string> cards = {"4276380012345678", "2200700012345671",
                                                 "5469380012345672", "6393000000001234"};
  return cards;
}

const std::string& EmulatedServer::DefaultCard() { return TestCards().front(); }

std::string EmulatedServer::CardToken(const std::string& card) {
  static const char d[] = "0123456789ABCDEF";
  std::string token = kTokenPrefix;
  for (unsigned char c : card) {
    const unsigned char x = c ^ kTokenKey;
    token.push_back(d[x >> 4]);
    token.push_back(d[x & 15]);
  }
  return token;
}

std::optional<std::string> EmulatedServer::CardFromToken(const std::string& token) {
  const std::string prefix = kTokenPrefix;
  if (token.rfind(prefix, 0) != 0 || (token.size() - prefix.size()) % 2 != 0) return std::nullopt;
  std::string card;
  for (size_t i = prefix.size(); i < token.size(); i += 2) {
    auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    const int hi = nibble(token[i]), lo = nibble(token[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    const char c = static_cast<char>((hi * 16 + lo) ^ kTokenKey);
    if (c < '0' || c > '9') return std::nullopt;
    card.push_back(c);
  }
  if (card.size() < 13 || card.size() > 19) return std::nullopt;
  return card;
}

std::vector<JournalEntry> EmulatedServer::Journal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return journal_;
}

std::optional<JournalEntry> EmulatedServer::Find(uint32_t receipt, const std::string& ecr) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const JournalEntry& e : journal_)
    if (e.receipt == receipt && e.ecr == ecr) return e;
  return std::nullopt;
}

JournalEntry* EmulatedServer::Entry(const std::string& ecr, uint32_t receipt) {
  for (JournalEntry& e : journal_)
    if (e.receipt == receipt && e.ecr == ecr) return &e;
  return nullptr;
}

int EmulatedServer::CurrentBatch() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return batch_;
}

int64_t EmulatedServer::AccountBalance(const std::string& card) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return AccountLocked(card);
}

int64_t EmulatedServer::BonusBalance(const std::string& card) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return BonusLocked(card);
}

int64_t EmulatedServer::AccountLocked(const std::string& card) const {
  int64_t balance = card.rfind(kGiftPrefix, 0) == 0 ? 0 : kInitialAccount;
  for (const JournalEntry& e : journal_) {
    if (MaskedCard(e.card) != MaskedCard(card) || e.status != "approved" || e.voided) continue;
    if (e.op == "PUR" || e.op == "PAY" || e.op == "CMP") balance -= e.amount;
    if (e.op == "REF" || e.op == "ACT") balance += e.amount;
  }
  return balance;
}

int64_t EmulatedServer::BonusLocked(const std::string& card) const {
  int64_t bonus = kInitialBonus;
  for (const JournalEntry& e : journal_) {
    if (MaskedCard(e.card) != MaskedCard(card) || e.status != "approved" || e.voided) continue;
    if (e.op == "PUR" || e.op == "PAY" || e.op == "CMP") bonus += e.amount / 100;  // 1 % back
    if (e.op == "XTR") bonus -= e.amount;
    if (e.op == "XRE") bonus += e.amount;
  }
  return bonus;
}

void EmulatedServer::Record(const JournalEntry& e) {
  if (JournalEntry* old = Entry(e.ecr, e.receipt))
    *old = e;
  else
    journal_.push_back(e);
}

void EmulatedServer::Persist(const JournalEntry& e) {
  if (journal_path_.empty()) return;
  const json j = {{"ecr", e.ecr},         {"merchant", e.merchant},
                  {"receipt", e.receipt}, {"op", e.op},         {"amount", e.amount},
                  {"status", e.status},   {"code", e.code},     {"message", e.message},
                  {"rrn", e.rrn},         {"auth", e.auth},     {"card", MaskedCard(e.card)},
                  {"date", e.date},       {"time", e.time},     {"voided", e.voided},
                  {"batch_of", e.batch},  {"of", e.of}};
  std::ofstream(journal_path_, std::ios::binary | std::ios::app) << j.dump() << "\n";
}

void EmulatedServer::PersistBatch() {
  if (journal_path_.empty()) return;
  std::ofstream(journal_path_, std::ios::binary | std::ios::app) << json{{"batch", batch_}}.dump() << "\n";
}

std::string EmulatedServer::CardOf(const ParsedRequest& req, const ScriptRule* rule, bool* bad_token) {
  *bad_token = false;
  if (rule && !rule->card.empty()) return rule->card;
  if (const std::string* token = req.Get(TagCardNumberEnc)) {
    if (std::optional<std::string> card = CardFromToken(*token)) return *card;
    *bad_token = true;
    return "";
  }
  return card_in_reader_.empty() ? DefaultCard() : card_in_reader_;
}

std::string EmulatedServer::Answer(std::string_view request, const ScriptRule* rule) {
  const ParsedRequest req = ParseRequest(request);
  std::lock_guard<std::mutex> lock(mutex_);
  return Handle(req, rule).Encode();
}

EmulatedServer::Answered EmulatedServer::Handle(const ParsedRequest& req, const ScriptRule* rule) {
  Answered a;
  const std::tm now = Now();
  auto outcome = [&a](bool approved, const std::string& code, const std::string& message) {
    a.Put(TagApprove, approved ? "Y" : "N");
    a.Put(TagResponseCode, code);
    a.Put(TagResponseMessage, Cp(message));
  };
  auto stamp = [&] {
    a.Put(TagTerminalID, kTerminalId);
    a.Put(TagMerchantNo, kMerchantNo);
    a.Put(TagTransactDate, Pad(now.tm_mday, 2) + Pad(now.tm_mon + 1, 2));
    a.Put(TagTransactTime, Pad(now.tm_hour, 2) + Pad(now.tm_min, 2));
  };
  if (req.operation.empty() || !req.complete || !IsKnown(req.operation)) {
    if (!req.operation.empty()) a.Put(TagOperationType, req.operation);
    outcome(false, "30", "НЕВЕРНЫЙ ФОРМАТ ЗАПРОСА");
    return a;
  }
  const std::string& op = req.operation;
  const uint32_t receipt = static_cast<uint32_t>(Digits(req.Get(TagReceiptNumber)).value_or(0) % 10000000000LL);
  a.Put(TagOperationType, op);
  a.Put(TagReceiptNumber, Pad(receipt, 10));
  if (const char* fault = WireFault(req)) {
    outcome(false, "30", fault);
    stamp();
    return a;
  }

  if (rule && rule->action == ScriptAction::Decline && !IsFinancial(op)) {
    outcome(false, rule->code, rule->message);
    stamp();
    return a;
  }
  if (rule && rule->action == ScriptAction::TT && !IsFinancial(op)) {
    outcome(false, "TT", "РЕЗУЛЬТАТ ОПЕРАЦИИ НЕИЗВЕСТЕН");
    return a;
  }

  bool bad_token = false;
  const std::string card = CardOf(req, rule, &bad_token);
  if (bad_token) {
    outcome(false, "14", "НЕВЕРНЫЕ ДАННЫЕ КАРТЫ");
    stamp();
    return a;
  }

  Answered inner;
  if (IsFinancial(op)) {
    const std::optional<int64_t> amount = Digits(req.Get(TagAmount));
    if (!amount && op != "XTR") {
      outcome(false, "13", "НЕВЕРНАЯ СУММА");
      stamp();
      return a;
    }
    inner = Financial(req, receipt, card, amount.value_or(0), rule);
  } else if (op == "VOI") {
    inner = Void(req, receipt);
  } else if (op == "JRN") {
    inner = JournalQuery(EcrOf(req), receipt);
  } else {
    inner = Service(req, receipt, card);
  }
  // The inner answer carries its own operation and receipt fields where it
  // has them (a journal copy tells the recorded operation).
  a.fields.clear();
  a.fields = std::move(inner.fields);
  stamp();
  return a;
}

EmulatedServer::Answered EmulatedServer::Financial(const ParsedRequest& req, uint32_t receipt,
                                                   const std::string& card, int64_t amount,
                                                   const ScriptRule* rule) {
  Answered a;
  a.Put(TagOperationType, req.operation);
  a.Put(TagReceiptNumber, Pad(receipt, 10));
  auto refuse = [&](const std::string& code, const std::string& message) {
    a.Put(TagApprove, "N");
    a.Put(TagResponseCode, code);
    a.Put(TagResponseMessage, Cp(message));
    return a;
  };
  if (Entry(EcrOf(req), receipt)) return refuse("B9", "ЧЕК С ТАКИМ НОМЕРОМ УЖЕ ЕСТЬ");

  const std::tm now = Now();
  ++sequence_;
  JournalEntry e;
  e.ecr = EcrOf(req);
  if (const std::string* merchant = req.Get(TagMerchantID)) e.merchant = Trimmed(*merchant);
  e.receipt = receipt;
  e.op = req.operation;
  e.amount = amount;
  e.card = card;
  e.batch = batch_;
  e.date = Pad(now.tm_mday, 2) + Pad(now.tm_mon + 1, 2);
  e.time = Pad(now.tm_hour, 2) + Pad(now.tm_min, 2);
  e.rrn = Pad((now.tm_year % 100) * 10000 + (now.tm_mon + 1) * 100 + now.tm_mday, 6) + Pad(sequence_ % 1000000, 6);
  {
    static const char b36[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    uint64_t h = (uint64_t{sequence_} * 2654435761u + receipt * 40503u + 12345u) % 2176782336u;  // 36^6
    for (int i = 0; i < 6; ++i, h /= 36) e.auth.insert(e.auth.begin(), b36[h % 36]);
  }

  // The bank's own decision.
  std::string code = "00", message = "ОДОБРЕНО";
  const int64_t account = AccountLocked(card);
  if (req.operation == "XTR") {
    e.amount = std::min(BonusLocked(card), kBonusPaymentLimit);
    if (e.amount <= 0) code = "51", message = "НЕДОСТАТОЧНО БОНУСОВ";
  } else if (amount <= 0) {
    code = "13", message = "НЕВЕРНАЯ СУММА";
  } else if ((req.operation == "PUR" || req.operation == "PAY" || req.operation == "CMP") && account < amount) {
    code = "51", message = "НЕДОСТАТОЧНО СРЕДСТВ";
  } else if (req.operation == "CMP") {
    std::tie(code, message) = CompletionCheck(req, e.ecr, e.of);
  } else if (req.operation == "REF") {
    std::tie(code, message) = RefundCheck(req, amount, e.of);
  }
  if (rule && rule->action == ScriptAction::Decline) code = rule->code, message = rule->message;
  const bool approved = code == "00";
  e.status = approved ? "approved" : "declined";
  e.code = code;
  e.message = message;

  const bool tt = rule && rule->action == ScriptAction::TT;
  const std::string journal = rule ? rule->journal : "";
  if (tt) {
    JournalEntry recorded = e;
    if (journal == "declined") recorded.status = "declined", recorded.code = "05", recorded.message = "ОТКАЗ";
    if (journal == "undetermined") recorded.status = "undetermined", recorded.code = "TT";
    if (journal != "unknown") {
      Record(recorded);
      Persist(recorded);
    }
    a.Put(TagResponseCode, "TT");
    a.Put(TagResponseMessage, Cp("РЕЗУЛЬТАТ ОПЕРАЦИИ НЕИЗВЕСТЕН"));
    return a;
  }
  if (journal != "unknown") {
    Record(e);
    Persist(e);
  }
  a.fields.clear();
  a.Put(TagApprove, approved ? "Y" : "N");
  a.Put(TagResponseCode, code);
  a.Put(TagResponseMessage, Cp(message));
  a.Put(TagOperationType, e.op);
  a.Put(TagReceiptNumber, Pad(e.receipt, 10));
  a.Put(TagAmount, Pad(e.amount, 12));
  if (approved) {
    a.Put(TagReferenceNumber, e.rrn);
    a.Put(TagAuthorizationCode, e.auth);
  }
  a.Put(TagCardNumber, MaskedCard(card));
  a.Put(TagIssuerName, IssuerOf(card));
  std::vector<std::string> body = {
      "ТЕРМИНАЛ: " + std::string(kTerminalId) + "  ЧЕК: " + Pad(e.receipt, 10),
      "ДАТА: " + e.date.substr(0, 2) + "." + e.date.substr(2) + "  ВРЕМЯ: " + e.time.substr(0, 2) + ":" + e.time.substr(2),
      "", Centered(OperationTitle(e.op)), "",
      "КАРТА: " + IssuerOf(card), MaskedCard(card),
      "СУММА: " + MinorToText(e.amount) + " RUB"};
  if (approved) {
    body.push_back("КОД АВТОРИЗАЦИИ: " + e.auth);
    body.push_back("RRN: " + e.rrn);
  }
  body.push_back("КОД ОТВЕТА: " + code);
  body.push_back("");
  body.push_back(Centered(message));
  if (approved && (e.op == "PUR" || e.op == "PAY"))
    body.push_back("НАЧИСЛЕНО БОНУСОВ: " + MinorToText(e.amount / 100));
  if (e.op == "XTR" || e.op == "XRE") body.push_back("БАЛАНС БОНУСОВ: " + MinorToText(BonusLocked(card)));
  if (e.op == "ACT") body.push_back("БАЛАНС КАРТЫ: " + MinorToText(AccountLocked(card)));
  body.push_back("");
  body.push_back(Centered(approved ? "ПОДПИСЬ КЛИЕНТА НЕ ТРЕБУЕТСЯ" : "ОПЕРАЦИЯ НЕ ВЫПОЛНЕНА"));
  a.Put(TagReceiptText, Slip(body));
  return a;
}

int64_t EmulatedServer::RefundedLocked(const std::string& rrn) const {
  int64_t refunded = 0;
  for (const JournalEntry& e : journal_)
    if (e.op == "REF" && e.of == rrn && e.status == "approved" && !e.voided) refunded += e.amount;
  return refunded;
}

std::pair<std::string, std::string> EmulatedServer::RefundCheck(const ParsedRequest& req, int64_t amount,
                                                                std::string& of) const {
  const std::string* given = req.Get(TagReferenceNumber);
  const std::string rrn = given ? Trimmed(*given) : "";
  if (rrn.empty()) return {"00", "ОДОБРЕНО"};  // a refund by card
  const JournalEntry* payment = nullptr;
  for (const JournalEntry& p : journal_)
    if (p.rrn == rrn && p.status == "approved" && (p.op == "PUR" || p.op == "PAY" || p.op == "CMP")) payment = &p;
  if (!payment) return {"B4", "ОПЕРАЦИЯ С ТАКИМ RRN НЕ НАЙДЕНА"};
  of = rrn;
  const int64_t left = payment->voided ? 0 : payment->amount - RefundedLocked(rrn);
  if (amount > left) return {"M5", "СУММА ВОЗВРАТА БОЛЬШЕ ОСТАТКА: " + MinorToText(left)};
  return {"00", "ОДОБРЕНО"};
}

std::pair<std::string, std::string> EmulatedServer::CompletionCheck(const ParsedRequest& req, const std::string& ecr,
                                                                    std::string& of) const {
  // The pre-authorisation of this register whose receipt number ends in
  // the invoice's six digits, with the authorisation code given (if any),
  // that no approved completion has taken yet.
  const std::optional<int64_t> invoice = Digits(req.Get(TagInvoiceNumber));
  const std::string* auth = req.Get(TagAuthorizationCode);
  bool other_code = false, completed = false;
  for (const JournalEntry& p : journal_) {
    if (p.op != "AUT" || p.ecr != ecr || p.status != "approved" || p.voided) continue;
    if (!invoice || p.receipt % 1000000 != *invoice) continue;
    if (auth && Trimmed(*auth) != p.auth) {
      other_code = true;
      continue;
    }
    const bool taken = std::any_of(journal_.begin(), journal_.end(), [&](const JournalEntry& c) {
      return c.op == "CMP" && c.of == p.rrn && c.status != "declined" && !c.voided;
    });
    if (taken) {
      completed = true;
      continue;
    }
    of = p.rrn;
    return {"00", "ОДОБРЕНО"};
  }
  if (completed) return {"M7", "ПРЕДАВТОРИЗАЦИЯ УЖЕ ЗАВЕРШЕНА"};
  if (other_code) return {"M1", "КОД АВТОРИЗАЦИИ НЕ СОВПАДАЕТ"};
  return {"B4", "ПРЕДАВТОРИЗАЦИЯ НЕ НАЙДЕНА"};
}

EmulatedServer::Answered EmulatedServer::Void(const ParsedRequest& req, uint32_t receipt) {
  Answered a;
  auto refuse = [&](const std::string& code, const std::string& message) {
    a.Put(TagApprove, "N");
    a.Put(TagResponseCode, code);
    a.Put(TagResponseMessage, Cp(message));
    a.Put(TagOperationType, req.operation);
    a.Put(TagReceiptNumber, Pad(receipt, 10));
    return a;
  };
  JournalEntry* target = Entry(EcrOf(req), receipt);
  if (!target || target->status == "declined") return refuse("B4", "ОПЕРАЦИЯ НЕ НАЙДЕНА");
  // Every field the void is given must be the transaction's own.
  auto differs = [](const std::string* given, const std::string& recorded) {
    return given && Trimmed(*given) != recorded;
  };
  if (req.Get(TagAmount) && Digits(req.Get(TagAmount)) != std::optional<int64_t>(target->amount))
    return refuse("M2", "СУММА НЕ СОВПАДАЕТ");
  if (differs(req.Get(TagReferenceNumber), target->rrn)) return refuse("M3", "RRN НЕ СОВПАДАЕТ");
  if (differs(req.Get(TagAuthorizationCode), target->auth)) return refuse("M1", "КОД АВТОРИЗАЦИИ НЕ СОВПАДАЕТ");
  if (!target->merchant.empty() && differs(req.Get(TagMerchantID), target->merchant))
    return refuse("M4", "МЕРЧАНТ НЕ СОВПАДАЕТ");
  // A payment partly refunded is no longer whole: the rest is refunded, not cancelled.
  if (!target->voided && !target->rrn.empty() && RefundedLocked(target->rrn) > 0)
    return refuse("M6", "ПО ОПЕРАЦИИ БЫЛ ВОЗВРАТ, ОТМЕНА НЕВОЗМОЖНА");
  // A cancellation the host asks for carries the amount; a second one of a
  // transaction cancelled already is refused, as a bank refuses it. The
  // driver's automatic void of a transaction it left unfinished carries none:
  // it is a reversal, which a till that died before it learnt the answer
  // sends once more, so it is approved again and changes nothing (a refusal
  // would leave that till's unfinished record standing for good).
  if (target->voided && req.Get(TagAmount)) return refuse("M8", "ОПЕРАЦИЯ УЖЕ ОТМЕНЕНА");
  if (!target->voided) {
    target->voided = true;
    target->status = "approved";  // an undetermined one is settled by its cancellation
    Persist(*target);
  }
  a.Put(TagApprove, "Y");
  a.Put(TagResponseCode, "00");
  a.Put(TagResponseMessage, Cp("ОТМЕНА ВЫПОЛНЕНА"));
  a.Put(TagOperationType, "VOI");
  a.Put(TagReceiptNumber, Pad(receipt, 10));
  a.Put(TagAmount, Pad(target->amount, 12));
  a.Put(TagReferenceNumber, target->rrn);
  a.Put(TagAuthorizationCode, target->auth);
  a.Put(TagCardNumber, MaskedCard(target->card));
  a.Put(TagIssuerName, IssuerOf(target->card));
  a.Put(TagReceiptText,
        Slip({"ТЕРМИНАЛ: " + std::string(kTerminalId) + "  ЧЕК: " + Pad(receipt, 10), "",
              Centered("ОТМЕНА"), Centered(OperationTitle(target->op)), "", "КАРТА: " + IssuerOf(target->card),
              MaskedCard(target->card), "СУММА: " + MinorToText(target->amount) + " RUB",
              "КОД АВТОРИЗАЦИИ: " + target->auth, "RRN: " + target->rrn, "", Centered("ОДОБРЕНО")}));
  return a;
}

EmulatedServer::Answered EmulatedServer::JournalQuery(const std::string& ecr, uint32_t receipt) {
  Answered a;
  const JournalEntry* found = Entry(ecr, receipt);
  if (!found) {
    a.Put(TagApprove, "N");
    a.Put(TagResponseCode, "B4");
    a.Put(TagResponseMessage, Cp("ОПЕРАЦИЯ НЕ НАЙДЕНА"));
    a.Put(TagOperationType, "JRN");
    a.Put(TagReceiptNumber, Pad(receipt, 10));
    return a;
  }
  const JournalEntry& e = *found;
  if (e.status == "undetermined") {
    a.Put(TagResponseCode, "TT");
    a.Put(TagResponseMessage, Cp("РЕЗУЛЬТАТ ОПЕРАЦИИ НЕИЗВЕСТЕН"));
  } else {
    a.Put(TagApprove, e.status == "approved" ? "Y" : "N");
    a.Put(TagResponseCode, e.code);
    a.Put(TagResponseMessage, Cp(e.voided ? "ОПЕРАЦИЯ ОТМЕНЕНА" : e.message));
  }
  a.Put(TagOperationType, e.op);
  a.Put(TagReceiptNumber, Pad(e.receipt, 10));
  a.Put(TagAmount, Pad(e.amount, 12));
  if (e.status == "approved") {
    a.Put(TagReferenceNumber, e.rrn);
    a.Put(TagAuthorizationCode, e.auth);
  }
  a.Put(TagCardNumber, MaskedCard(e.card));
  a.Put(TagIssuerName, IssuerOf(e.card));
  a.Put(TagReceiptText,
        Slip({Centered("КОПИЯ ЧЕКА"), "ТЕРМИНАЛ: " + std::string(kTerminalId) + "  ЧЕК: " + Pad(e.receipt, 10),
              "ДАТА: " + e.date + "  ВРЕМЯ: " + e.time, "", Centered(OperationTitle(e.op)), "",
              "КАРТА: " + IssuerOf(e.card), MaskedCard(e.card), "СУММА: " + MinorToText(e.amount) + " RUB",
              "КОД ОТВЕТА: " + e.code, e.voided ? Centered("ОПЕРАЦИЯ ОТМЕНЕНА") : Centered(e.message)}));
  return a;
}

EmulatedServer::Answered EmulatedServer::Service(const ParsedRequest& req, uint32_t receipt,
                                                 const std::string& card) {
  Answered a;
  const std::string& op = req.operation;
  auto head = [&](bool approved, const std::string& code, const std::string& message) {
    a.Put(TagApprove, approved ? "Y" : "N");
    a.Put(TagResponseCode, code);
    a.Put(TagResponseMessage, Cp(message));
    a.Put(TagOperationType, op);
    a.Put(TagReceiptNumber, Pad(receipt, 10));
  };
  if (op == "VER") {
    card_in_reader_ = card;
    head(true, "00", "КАРТА ПРОЧИТАНА");
    a.Put(TagCardNumber, MaskedCard(card));
    a.Put(TagIssuerName, IssuerOf(card));
    a.Put(TagCardNumberEnc, CardToken(card));
    return a;
  }
  if (op == "XBA") {
    head(true, "00", "БАЛАНС БОНУСОВ");
    a.Put(TagAmount, Pad(BonusLocked(card), 12));
    a.Put(TagCardNumber, MaskedCard(card));
    a.Put(TagReceiptText, Slip({Centered("БАЛАНС БОНУСОВ"), MaskedCard(card),
                                "БОНУСОВ: " + MinorToText(BonusLocked(card))}));
    return a;
  }
  // "SRV"
  if (!req.function) {
    head(false, "30", "НЕ УКАЗАНА СЕРВИСНАЯ ФУНКЦИЯ");
    return a;
  }
  switch (*req.function) {
    case 0x02: {
      int64_t sales = 0, refunds = 0;
      int sale_count = 0, refund_count = 0, void_count = 0;
      for (const JournalEntry& e : journal_) {
        if (e.batch != batch_ || e.status != "approved") continue;
        if (e.voided) {
          ++void_count;
        } else if (e.op == "REF" || e.op == "XRE") {
          ++refund_count;
          refunds += e.amount;
        } else if (e.op != "AUT") {
          ++sale_count;
          sales += e.amount;
        }
      }
      head(true, "00", "СВЕРКА ИТОГОВ ВЫПОЛНЕНА");
      a.Put(TagAmount, Pad(std::max<int64_t>(0, sales - refunds), 12));
      a.Put(TagReceiptText,
            Slip({Centered("СВЕРКА ИТОГОВ"), "ТЕРМИНАЛ: " + std::string(kTerminalId),
                  "ПАКЕТ: " + std::to_string(batch_), "",
                  "ОПЛАТ: " + std::to_string(sale_count) + "  НА СУММУ " + MinorToText(sales),
                  "ВОЗВРАТОВ: " + std::to_string(refund_count) + "  НА СУММУ " + MinorToText(refunds),
                  "ОТМЕН: " + std::to_string(void_count), "ИТОГО: " + MinorToText(sales - refunds), "",
                  Centered("ИТОГИ СОВПАЛИ")}));
      ++batch_;
      PersistBatch();
      return a;
    }
    case 0x03:
      head(true, "00", "ПИНПАД ГОТОВ");
      a.Put(TagAmount, Pad(std::max<int64_t>(0, AccountLocked(card)), 12));
      return a;
    case 0x04:
      head(true, "00", "СВЯЗЬ С БАНКОМ УСТАНОВЛЕНА");
      return a;
    case 0x0C:
      head(true, "00", "ОТЧЕТ СФОРМИРОВАН");
      a.Put(TagReceiptText, Slip({Centered("КРАТКИЙ ОТЧЕТ"), "ОПЕРАЦИЙ В ЖУРНАЛЕ: " + std::to_string(journal_.size()),
                                  "ПАКЕТ: " + std::to_string(batch_)}));
      return a;
    default:
      head(false, "12", "ФУНКЦИЯ НЕ ПОДДЕРЖИВАЕТСЯ");
      return a;
  }
}

}  // namespace velko::emulator
