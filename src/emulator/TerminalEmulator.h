// The terminal-server emulator: serves the terminal server's protocol on a
// loopback port, one thread per connection, answering every request from an
// EmulatedServer and misbehaving where a script says so.
//
// In a test:
//   velko::emulator::TerminalEmulator emu;            // in-memory journal
//   emu.Start();                                      // 127.0.0.1, a free port
//   emu.SetScript({R"({"op":"PUR","action":"close"})"});  or AddRule(rule)
//   ... connect to 127.0.0.1:emu.Port() ...
//   emu.Server().Find(15)                             // the journal
//   emu.Stop();                                       // also in the destructor
// Bad input never stops it: an unreadable request gets an answer without
// approval (or the connection is closed), is logged, and serving goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/EmulatedServer.h"
#include "emulator/EmulatorScript.h"
#include "emulator/EmulatorSocket.h"

namespace velko::emulator {

struct EmulatorOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;          // 0: a free one
  std::string journal_path;   // empty: the journal lives in memory
  std::string log_path;       // empty: no log
  int request_timeout_ms = 30000;  // a request that does not complete in time is dropped
};

// One request as the emulator saw it, for tests.
struct ExchangeRecord {
  std::string peer;
  std::string operation;
  std::string request;
  std::string answer;  // what was sent (empty: nothing)
  std::string action;  // "answer", "close", ...
};

class TerminalEmulator {
 public:
  explicit TerminalEmulator(EmulatorOptions options = {});
  ~TerminalEmulator();
  TerminalEmulator(const TerminalEmulator&) = delete;
  TerminalEmulator& operator=(const TerminalEmulator&) = delete;

  // Listens and starts serving; throws std::runtime_error when it cannot.
  void Start();
  // Stops accepting, ends the open connections and waits for their threads.
  void Stop();
  uint16_t Port() const { return port_; }
  const std::string& Host() const { return options_.host; }

  // Replaces the script (JSON Lines text, see EmulatorScript.h) and resets
  // the per-operation counts; throws std::runtime_error for a bad rule.
  void LoadScript(const std::string& json_lines);
  void SetRules(std::vector<ScriptRule> rules);
  void AddRule(ScriptRule rule);

  EmulatedServer& Server() { return *server_; }
  std::vector<ExchangeRecord> Exchanges() const;
  // Requests seen so far, all operations.
  size_t RequestCount() const;

  // Handles one request message as a connection would (without sockets): the
  // rule that applies, the answer and the log line. For the fuzzer and tests.
  std::string HandleRequest(const std::string& request, const std::string& peer,
                            ScriptRule* applied = nullptr);

 private:
  void AcceptLoop();
  void Serve(EmulatorSocket socket, std::string peer);
  std::optional<ScriptRule> RuleFor(const std::string& op, std::optional<int> function);
  void Log(const std::string& peer, const std::string& direction, const std::string& operation,
           const std::string& bytes, const std::string& note);
  void Remember(ExchangeRecord record);

  EmulatorOptions options_;
  std::unique_ptr<EmulatedServer> server_;
  EmulatorSocket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread accept_thread_;

  mutable std::mutex mutex_;  // everything below
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Connection> connections_;  // finished ones are joined at the next accept
  std::vector<ScriptRule> rules_;
  std::map<std::string, int> counts_;
  std::vector<ExchangeRecord> exchanges_;
  size_t requests_ = 0;
  std::ofstream log_;
  std::mutex log_mutex_;
};

// Lower-case hex of bytes, for logs.
std::string ToHex(const std::string& bytes);

}  // namespace velko::emulator
