// Any bytes as a request to the emulator: it must answer with one well-framed
// message (or none) and never crash, whatever the script says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "emulator/TerminalEmulator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks a script action for the request, the rest is the request.
  velko::emulator::TerminalEmulator emu;  // fresh journal each time; never listens
  velko::emulator::ScriptRule rule;
  rule.action = static_cast<velko::emulator::ScriptAction>(data[0] % 3);  // answer, decline, tt
  rule.journal = (data[0] & 0x10) ? "undetermined" : "";
  emu.AddRule(rule);
  const std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
  for (int round = 0; round < 2; ++round) {  // a second time: the journal now knows it
    const std::string answer = emu.HandleRequest(request, "fuzz");
    const auto declared = velko::DeclaredBodyLength(answer);
    if (!declared || answer.size() != 2 + *declared) std::abort();
  }
  return 0;
}
