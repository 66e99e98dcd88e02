// An exchange with the terminal server that answers from a script and
// remembers every request, for tests of the engine and the driver facade.
#pragma once

#include <deque>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "protocol/TransactionExchange.h"
#include "protocol/uVelkoCommon.h"

namespace velko::testing {

using Fields = std::vector<std::pair<PTTag, std::wstring>>;

class ScriptedExchange : public TTransactionExchange {
 public:
  struct Reply {
    int32_t Code = 0;  // what ExecuteTransaction returns
    Fields Answer;     // what the list holds afterwards (for codes other than 1007)
    bool Throw = false;
  };
  std::deque<Reply> replies;  // an empty script approves
  std::vector<Fields> requests;
  std::wstring address;
  int32_t port = 0;
  int64_t timeout = 0;

  void SetAddress(const std::wstring& a) override { address = a; }
  void SetPort(int32_t p) override { port = p; }
  void SetAnswerTimeOut(int64_t s) override { timeout = s; }
  int32_t ExecuteTransaction(TTransactDataList& list) override {
    Fields request;
    for (const auto& field : list.Fields()) request.emplace_back(field.Tag, field.Data);
    requests.push_back(request);
    Reply reply = replies.empty() ? Approved() : replies.front();
    if (!replies.empty()) replies.pop_front();
    if (reply.Throw) throw std::runtime_error("socket could not be created");
    if (reply.Code == 1007) return reply.Code;  // nothing sent, the request stays
    list.Clear();
    for (const auto& [tag, value] : reply.Answer) list.Add(*tag, value);
    return reply.Code;
  }

  static Reply Approved(Fields extra = {}) {
    Fields answer{{&TagApprove, L"Y"}, {&TagResponseCode, L"00"}};
    answer.insert(answer.end(), extra.begin(), extra.end());
    return {0, answer, false};
  }
  static Reply Response(const std::wstring& code, const std::wstring& message = L"") {
    Fields answer{{&TagResponseCode, code}};
    if (!message.empty()) answer.emplace_back(&TagResponseMessage, message);
    return {0, answer, false};
  }
  static Reply Failure(int32_t code) { return {code, {}, false}; }
  static Reply Raise() { return {0, {}, true}; }

  static std::wstring ValueOf(const Fields& request, const TTag& wanted) {
    for (const auto& [tag, value] : request)
      if (tag == &wanted) return value;
    return L"";
  }
};

}  // namespace velko::testing
