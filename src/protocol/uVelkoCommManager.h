// The exchange with the terminal server: one request, one answer, one fresh
// TCP connection each time.
//
// ExecuteTransaction connects, sends the request that the list encodes,
// collects the answer until its own length prefix is satisfied or the answer
// time-out has passed, decodes what came into the same list and closes. While
// it waits, the calling thread sleeps until the next event and keeps its
// window messages flowing (Windows), so the host's windows stay alive during
// an operation that may last minutes. Use from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/TcpClient.h"
#include "protocol/TransactionExchange.h"
#include "protocol/uVelkoCommon.h"

namespace velko {

class TCommunicationManager : public TTransactionExchange {
 public:
  static constexpr int32_t kDefaultAnswerTimeOutMs = 180000;
  static constexpr size_t kMaxAddressLength = 255;

  TCommunicationManager();
  // With another connection (a test's fake).
  explicit TCommunicationManager(std::unique_ptr<TcpClient> Socket);
  ~TCommunicationManager() override;
  TCommunicationManager(const TCommunicationManager&) = delete;
  TCommunicationManager& operator=(const TCommunicationManager&) = delete;

  // 0: a complete answer came and is decoded in the list. 74: none came
  // within the time-out; the list holds what decodes from what did come.
  // 1007: no connection; nothing was sent and the list still holds the
  // request. Throws TMessageTooLong (before connecting) for a request the
  // length fields cannot carry, and PlatformError for an address that cannot
  // be resolved, a port outside 1..65535 or a socket that cannot be created.
  int32_t ExecuteTransaction(TTransactDataList& TransactData) override;

  const std::wstring& Address() const { return FAddress; }
  void SetAddress(const std::wstring& Value) override { FAddress = Value.substr(0, kMaxAddressLength); }
  int32_t Port() const { return FPort; }
  void SetPort(int32_t Value) override { FPort = Value; }
  // In whole seconds; a negative time-out ends the wait after its first
  // wake-up.
  int32_t AnswerTimeOut() const { return static_cast<int32_t>(FAnswerTimeOut / 1000); }
  void SetAnswerTimeOut(int64_t Seconds) override;
  // The time-out in milliseconds, for tests that cannot wait whole seconds.
  int64_t AnswerTimeOutMs() const { return FAnswerTimeOut; }
  void SetAnswerTimeOutMs(int64_t Milliseconds) { FAnswerTimeOut = Milliseconds; }

  // The bytes of the latest exchange's answer (at most one whole message).
  const std::string& Answer() const { return FAnswer; }

 private:
  int32_t WaitForAnswer(TTransactDataList& TransactData);
  void OnDataAvailable();
  // One sleep until the next event, bounded by what is left of the time-out.
  void WaitOnce(uint64_t started, int64_t limit_ms);
  bool TimeIsUp(uint64_t started, int64_t limit_ms) const;

  int64_t FAnswerTimeOut = kDefaultAnswerTimeOutMs;
  int32_t FErrorCode = 0;
  bool FAnswerFlag = false;
  std::unique_ptr<TcpClient> FWSocket;
  std::wstring FAddress;
  int32_t FPort = 0;
  std::string FAnswer;
};

}  // namespace velko
