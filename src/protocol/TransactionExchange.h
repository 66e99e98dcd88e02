// The seam between the transaction engine and the server exchange: one
// request/answer exchange with the terminal server. TCommunicationManager is
// the real one (TCP); tests put a scripted one in its place.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/uVelkoCommon.h"

namespace velko {

class TTransactionExchange {
 public:
  virtual ~TTransactionExchange() = default;
  virtual void SetAddress(const std::wstring& Address) = 0;
  virtual void SetPort(int32_t Port) = 0;
  virtual void SetAnswerTimeOut(int64_t Seconds) = 0;
  // 0: an answer came and is decoded into the list; 1007: no connection, the
  // list still holds the request; any other code (74): no usable answer, the
  // list holds what could be decoded from a partial one.
  virtual int32_t ExecuteTransaction(TTransactDataList& TransactData) = 0;
};

}  // namespace velko
