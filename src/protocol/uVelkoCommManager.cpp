#include "protocol/uVelkoCommManager.h"

#include <algorithm>
#include <limits>

#include "common/ResultCodes.h"
#include "common/TextUtf.h"
#include "platform/PlatformError.h"
#include "platform/Services.h"

namespace velko {

TCommunicationManager::TCommunicationManager() : TCommunicationManager(CreatePlatformTcpClient()) {}

TCommunicationManager::TCommunicationManager(std::unique_ptr<TcpClient> Socket)
    : FWSocket(std::move(Socket)) {
  FWSocket->SetDataHandler([this] { OnDataAvailable(); });
}

TCommunicationManager::~TCommunicationManager() { FWSocket->Close(); }

void TCommunicationManager::SetAnswerTimeOut(int64_t Seconds) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 1000;
  FAnswerTimeOut = std::clamp(Seconds, -kLimit, kLimit) * 1000;
}

int32_t TCommunicationManager::ExecuteTransaction(TTransactDataList& TransactData) {
  // Encoded first: a request the length fields cannot carry is refused
  // before any connection is made.
  const std::string request = TransactData.EncodedData();
  if (FPort < 1 || FPort > 65535)
    throw PlatformError("The server port " + std::to_string(FPort) + " is not a valid TCP port");

  FWSocket->Close();
  FWSocket->Connect(WideToUtf8(FAddress), static_cast<uint16_t>(FPort));
  // The platform ends a refused attempt at once; one that it keeps pending
  // (a silent address) ends here when the answer time-out has passed.
  const uint64_t started = Services().Process->TickCount();
  while (FWSocket->GetState() == TcpClient::State::Connecting) {
    WaitOnce(started, FAnswerTimeOut);
    if (FWSocket->GetState() == TcpClient::State::Connecting && TimeIsUp(started, FAnswerTimeOut))
      break;
  }
  if (FWSocket->GetState() != TcpClient::State::Connected) {
    FWSocket->Close();
    return rc::kNoConnection;
  }

  FAnswerFlag = false;
  FAnswer.clear();
  FWSocket->Send(request);
  const int32_t result = WaitForAnswer(TransactData);
  FWSocket->Close();
  return result;
}

int32_t TCommunicationManager::WaitForAnswer(TTransactDataList& TransactData) {
  FErrorCode = rc::kTimeOut;
  const uint64_t started = Services().Process->TickCount();
  for (;;) {
    WaitOnce(started, FAnswerTimeOut);
    if (FAnswerFlag) break;
    if (TimeIsUp(started, FAnswerTimeOut)) break;
  }
  TransactData.DecodeAnswer(FAnswer);
  return FErrorCode;
}

// A negative limit ends the wait after the first wake-up; elapsed time is
// measured on the 64-bit tick counter, so even the longest limit is honoured.
void TCommunicationManager::WaitOnce(uint64_t started, int64_t limit_ms) {
  const int64_t elapsed = static_cast<int64_t>(Services().Process->TickCount() - started);
  // An elapsed time equal to the limit still waits: one millisecond more.
  const int64_t left = std::max<int64_t>(0, limit_ms - elapsed + 1);
  FWSocket->Wait(static_cast<uint32_t>(std::min<int64_t>(left, 0x7FFFFFFF)));
}

bool TCommunicationManager::TimeIsUp(uint64_t started, int64_t limit_ms) const {
  const int64_t elapsed = static_cast<int64_t>(Services().Process->TickCount() - started);
  return elapsed > limit_ms;
}

void TCommunicationManager::OnDataAvailable() {
  // At most one whole message is kept: a server that sends more cannot make
  // the driver's memory grow. What is read beyond it is dropped.
  const std::string got = FWSocket->Receive(kMaxMessageLength);
  const std::optional<size_t> before = DeclaredBodyLength(FAnswer);
  const size_t room = before ? kMessageLengthSize + *before : kMaxMessageLength;
  if (FAnswer.size() < room) FAnswer.append(got, 0, room - FAnswer.size());
  const std::optional<size_t> declared = DeclaredBodyLength(FAnswer);
  if (!declared) return;
  if (FAnswer.size() > kMessageLengthSize + *declared) FAnswer.resize(kMessageLengthSize + *declared);
  if (FAnswer.size() - kMessageLengthSize >= *declared) {
    FErrorCode = rc::kOk;
    FAnswerFlag = true;
  }
}

}  // namespace velko
