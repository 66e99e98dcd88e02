// Any bytes as the standard input of `velko session`: every line is answered
// with one line of JSON, and nothing crashes. The object lives for the whole
// run, as in a session; the receipt-number prompt answers Cancel, the data
// folder is a temporary one, and the only server address is loopback.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "SessionLine.h"
#include "platform/ReceiptPrompt.h"
#include "platform/Services.h"

namespace {

struct Session {
  velko::ScriptedReceiptPrompt prompt;
  velko::ScopedServiceOverride cashier{nullptr, nullptr, &prompt};
  velko::tool::HostHarness host;
};

// The server address stays loopback whatever the input says: lines that might
// name the address setting (in either language, in any letter case, or behind
// a JSON escape) are left out.
bool MaySetTheAddress(const std::string& line) {
  std::string lower;
  for (char c : line) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
  return lower.find("ddress") != std::string::npos || line.find('\\') != std::string::npos ||
         line.find("\xD0\xB4") != std::string::npos || line.find("\xD0\x94") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/velko-session-fuzz-XXXXXX";
  if (!::mkdtemp(folder)) std::abort();
  ::setenv("VELKO_COMMON_APPDATA", folder, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session session;
  session.prompt.answers.clear();
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    std::string line = input.substr(start, end - start);
    start = end + 1;
    if (MaySetTheAddress(line)) continue;
    const std::string answer = velko::tool::SessionAnswer(session.host, line);
    const auto parsed = nlohmann::json::parse(answer, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) std::abort();
  }
  return 0;
}
