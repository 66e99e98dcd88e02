#include "emulator/TerminalEmulator.h"

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "common/CardMask.h"
#include "common/TextUtf.h"
#include "emulator/PrivateFile.h"
#include "platform/ServerCodePage.h"

namespace velko::emulator {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// How often a serving thread looks at the stop request while it blocks.
constexpr int kStopCheckMs = 100;

const char* ActionName(ScriptAction a) {
  switch (a) {
    case ScriptAction::Answer: return "answer";
    case ScriptAction::Decline: return "decline";
    case ScriptAction::TT: return "tt";
    case ScriptAction::Silent: return "silent";
    case ScriptAction::Close: return "close";
    case ScriptAction::Pieces: return "pieces";
    case ScriptAction::Partial: return "partial";
    case ScriptAction::Garbage: return "garbage";
    case ScriptAction::Extra: return "extra";
  }
  return "answer";
}

std::string IsoTimeNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

json DecodedTags(const std::string& message) {
  json tags = json::array();
  for (const TRawField& f : SplitFields(message)) {
    PTTag tag = nullptr;
    for (PTTag t : AllTags)
      if (t->Code == f.Code || t->OutCode == f.Code) tag = t;
    const bool text = tag && tag->DataType != dtHex;
    tags.push_back({ToHex(f.Code), text ? WideToUtf8(ServerCodePageToWide(f.Value)) : ToHex(f.Value)});
  }
  return tags;
}

// The bytes as masked text would mask them, byte for byte, so that fields
// still split where they did.
std::string MaskBytes(const std::string& bytes, std::wstring (*mask)(std::wstring_view)) {
  std::wstring wide;
  for (unsigned char b : bytes) wide.push_back(static_cast<wchar_t>(b));
  const std::wstring masked = mask(wide);
  std::string out = bytes;
  for (size_t i = 0; i < out.size(); ++i)
    if (masked[i] == L'*') out[i] = '*';
  return out;
}

// The bytes with card data masked as the driver's own log masks it: the
// fields that carry card data whole but the card number's last four digits,
// and anything else that looks like a card number by the pattern rule. The
// log's decoded tags and its hex both come from these.
std::string MaskCardDataInBytes(const std::string& bytes) {
  std::vector<TRawField> fields = SplitFields(bytes);
  bool card_fields = false;
  for (TRawField& f : fields) {
    if (!CarriesCardData(f.Code)) continue;
    f.Value = MaskBytes(f.Value, &MaskCardData);
    card_fields = true;
  }
  if (!card_fields) return MaskBytes(bytes, &MaskCardNumbersInText);
  std::string fields_masked;
  try {
    fields_masked = EncodeFields(fields);
  } catch (const TMessageTooLong&) {
  }
  if (fields_masked.size() != bytes.size()) {
    // Not a message that frames back as it came (cut short, padded): the
    // card fields cannot be placed, so every digit goes.
    std::string out = bytes;
    for (char& c : out)
      if (c >= '0' && c <= '9') c = '*';
    return out;
  }
  return MaskBytes(fields_masked, &MaskCardNumbersInText);
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(gen() & 0xFF));
  return out;
}

}  // namespace

std::string ToHex(const std::string& bytes) {
  static const char d[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(d[b >> 4]);
    out.push_back(d[b & 15]);
  }
  return out;
}

TerminalEmulator::TerminalEmulator(EmulatorOptions options)
    : options_(std::move(options)), server_(std::make_unique<EmulatedServer>(options_.journal_path)) {
  if (!options_.log_path.empty()) {
    MakePrivateFile(options_.log_path);
    log_.open(options_.log_path, std::ios::binary | std::ios::app);
    if (!log_) throw std::runtime_error("cannot open the log file " + options_.log_path);
  }
}

TerminalEmulator::~TerminalEmulator() { Stop(); }

void TerminalEmulator::Start() {
  listener_ = EmulatorSocket::Listen(options_.host, options_.port);
  port_ = listener_.LocalPort();
  stopping_ = false;
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

void TerminalEmulator::Stop() {
  stopping_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<Connection> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(connections_);
  }
  for (Connection& c : threads) c.thread.join();
  listener_.Close();
}

void TerminalEmulator::LoadScript(const std::string& json_lines) { SetRules(ParseScript(json_lines)); }

void TerminalEmulator::SetRules(std::vector<ScriptRule> rules) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_ = std::move(rules);
  counts_.clear();
}

void TerminalEmulator::AddRule(ScriptRule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(std::move(rule));
}

std::vector<ExchangeRecord> TerminalEmulator::Exchanges() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exchanges_;
}

size_t TerminalEmulator::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::optional<ScriptRule> TerminalEmulator::RuleFor(const std::string& op, std::optional<int> function) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_;
  const int n = ++counts_[op];
  for (const ScriptRule& r : rules_) {
    if (r.op != "*" && r.op != op) continue;
    if (r.function && r.function != function) continue;
    const int count = r.op == "*" ? static_cast<int>(requests_) : n;
    if (count < r.nth) continue;
    if (r.times != 0 && count >= r.nth + r.times) continue;
    return r;
  }
  return std::nullopt;
}

void TerminalEmulator::Remember(ExchangeRecord record) {
  std::lock_guard<std::mutex> lock(mutex_);
  exchanges_.push_back(std::move(record));
}

void TerminalEmulator::Log(const std::string& peer, const std::string& direction,
                           const std::string& operation, const std::string& bytes, const std::string& note) {
  if (!log_.is_open()) return;
  json line = {{"time", IsoTimeNow()}, {"peer", peer}, {"direction", direction}, {"operation", operation}};
  const std::string masked = MaskCardDataInBytes(bytes);
  if (direction == "request" || direction == "answer") line["tags"] = DecodedTags(masked);
  line["hex"] = ToHex(masked);
  if (!note.empty()) line["note"] = WideToUtf8(MaskCardNumbersInText(Utf8ToWide(note)));
  std::lock_guard<std::mutex> lock(log_mutex_);
  log_ << line.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  log_.flush();
}

std::string TerminalEmulator::HandleRequest(const std::string& request, const std::string& peer,
                                            ScriptRule* applied) {
  const ParsedRequest parsed = ParseRequest(request);
  const std::optional<ScriptRule> rule = RuleFor(parsed.operation, parsed.function);
  const ScriptRule effective = rule.value_or(ScriptRule{});
  if (applied) *applied = effective;
  Log(peer, "request", parsed.operation, request,
      parsed.complete ? (rule ? std::string("script: ") + ActionName(effective.action) : "")
                      : "malformed request");
  return server_->Answer(request, rule ? &*rule : nullptr);
}

void TerminalEmulator::AcceptLoop() {
  while (!stopping_) {
    std::string peer;
    EmulatorSocket s = listener_.Accept(kStopCheckMs, &peer);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (*it->done) {
        it->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    if (!s.Valid()) continue;
    auto done = std::make_shared<std::atomic<bool>>(false);
    connections_.push_back({std::thread([this, sock = std::move(s), peer, done]() mutable {
                              Serve(std::move(sock), peer);
                              *done = true;
                            }),
                            done});
  }
}

void TerminalEmulator::Serve(EmulatorSocket socket, std::string peer) {
  try {
    // The request: two length bytes and the body they announce.
    std::string request;
    const auto started = Clock::now();
    for (;;) {
      const std::optional<size_t> declared = DeclaredBodyLength(request);
      if (declared && request.size() >= kMessageLengthSize + *declared) {
        request.resize(kMessageLengthSize + *declared);  // what follows is not ours
        break;
      }
      const size_t want = declared ? kMessageLengthSize + *declared - request.size() : kMessageLengthSize;
      const auto status = socket.Receive(request, std::max<size_t>(want, 1), kStopCheckMs);
      const bool late = Clock::now() - started > std::chrono::milliseconds(options_.request_timeout_ms);
      if (status == EmulatorSocket::ReceiveStatus::Closed || stopping_ || late) {
        Log(peer, "event", "", request,
            status == EmulatorSocket::ReceiveStatus::Closed ? "connection closed before the request was complete"
                                                            : "request incomplete in time; connection closed");
        Remember({peer, "", request, "", "truncated"});
        return;
      }
    }

    ScriptRule rule;
    const std::string answer = HandleRequest(request, peer, &rule);
    const std::string op = ParseRequest(request).operation;
    if (rule.delay_ms > 0) {
      const auto until = Clock::now() + std::chrono::milliseconds(rule.delay_ms);
      while (!stopping_ && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kStopCheckMs, rule.delay_ms)));
    }
    const uint32_t seed = static_cast<uint32_t>(request.size() * 7919u + answer.size());
    auto hold_until_client_closes = [&] {
      std::string ignored;
      while (!stopping_) {
        ignored.clear();
        if (socket.Receive(ignored, 4096, kStopCheckMs) == EmulatorSocket::ReceiveStatus::Closed) break;
      }
    };

    // What the client will get is recorded before it gets it, so that a test
    // that has its answer also finds the exchange here.
    auto record = [&](const std::string& sent, const std::string& direction, const std::string& note) {
      Log(peer, direction, op, sent, note);
      Remember({peer, op, request, sent, ActionName(rule.action)});
    };
    switch (rule.action) {
      case ScriptAction::Answer:
      case ScriptAction::Decline:
      case ScriptAction::TT:
        record(answer, "answer", rule.action == ScriptAction::Answer ? "" : ActionName(rule.action));
        socket.SendAll(answer);
        break;
      case ScriptAction::Extra: {
        const std::string sent =
            answer + (!rule.data.empty() ? rule.data : RandomBytes(rule.bytes.value_or(16), seed));
        record(sent, "answer", "extra bytes after the answer (script)");
        socket.SendAll(sent);
        break;
      }
      case ScriptAction::Silent:
        record("", "event", "no answer (script)");
        hold_until_client_closes();
        break;
      case ScriptAction::Close:
        record("", "event", "closed without answering (script)");
        break;
      case ScriptAction::Pieces: {
        record(answer, "answer", "answer in pieces (script)");
        const std::vector<size_t> sizes = rule.pieces.empty() ? std::vector<size_t>{2} : rule.pieces;
        size_t at = 0;
        for (size_t n : sizes) {
          if (at >= answer.size()) break;
          const std::string piece = answer.substr(at, n);
          socket.SendAll(piece);
          at += piece.size();
          std::this_thread::sleep_for(std::chrono::milliseconds(rule.gap_ms));
        }
        if (at < answer.size()) socket.SendAll(answer.substr(at));
        break;
      }
      case ScriptAction::Partial: {
        const std::string sent = answer.substr(0, rule.bytes.value_or(answer.size() / 2));
        record(sent, "answer", "partial answer (script); silent from here");
        socket.SendAll(sent);
        hold_until_client_closes();
        break;
      }
      case ScriptAction::Garbage: {
        const std::string sent = !rule.data.empty() ? rule.data : RandomBytes(rule.bytes.value_or(16), seed);
        record(sent, "event", "garbage instead of an answer (script)");
        socket.SendAll(sent);
        break;
      }
    }
  } catch (const std::exception& e) {
    // Nothing a client sends may stop the server.
    Log(peer, "event", "", "", std::string("error: ") + e.what());
  }
}

}  // namespace velko::emulator
