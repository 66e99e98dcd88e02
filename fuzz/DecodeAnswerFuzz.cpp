// Any bytes as an answer: decoding must neither crash nor read past the input,
// and whatever it keeps must encode again within the message limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/uVelkoCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  velko::TTransactDataList list;
  list.DecodeAnswer(answer);
  size_t value_bytes = 0;
  for (const auto& field : list.Fields()) {
    if (!field.Tag) std::abort();
    value_bytes += field.Data.size();
  }
  if (value_bytes > size) std::abort();  // one character per byte at most
  (void)list.Approve();
  (void)list.TransactionAmount();
  (void)list.StrOperationType();
  const std::string again = list.EncodedData();  // fits: it came in one message
  if (again.size() < 2) std::abort();
  return 0;
}
