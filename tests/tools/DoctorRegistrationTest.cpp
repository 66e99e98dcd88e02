// velko doctor's verdict on the COM registration, for either bitness of
// Windows: a 32-bit Windows reads the same registry through both views, and
// has no 64-bit hosts that could be blocked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Doctor.h"

namespace velko::tool {
namespace {

constexpr const char* kDll = "C:\\Drivers\\velko\\x86\\a_velko1c83.dll";

// The four places as the registry answers them when the 32-bit DLL is
// registered machine-wide (on a 32-bit Windows both views show it).
std::vector<ComRegistrationFound> MachineWide32BitDll(bool in_64_bit_view) {
  const ComRegistrationFound none{"", 0, std::nullopt, false, 0, ""};
  auto place = [&](const char* name, int host_bits, bool registered) {
    ComRegistrationFound found = none;
    found.place = name;
    found.hostBits = host_bits;
    if (registered) found.path = kDll, found.exists = true, found.bits = 32, found.version = "1.1.1.4";
    return found;
  };
  return {place("COM registration, this user, 64-bit hosts", 64, false),
          place("COM registration, this user, 32-bit hosts", 32, false),
          place("COM registration, machine-wide, 64-bit hosts", 64, in_64_bit_view),
          place("COM registration, machine-wide, 32-bit hosts", 32, true)};
}

std::vector<std::string> Render(const std::vector<DoctorLine>& lines) {
  std::vector<std::string> out;
  for (const DoctorLine& line : lines)
    out.push_back((line.severity == Severity::kBlocks ? "BLOCKS " : "") + line.check + ": " + line.text);
  return out;
}

TEST(DoctorRegistration, TheVerdictFollowsTheBitnessOfWindows) {
  const std::string ok32 = std::string(kDll) + ": exists, 32-bit, version 1.1.1.4";
  const struct {
    const char* name;
    std::vector<ComRegistrationFound> found;
    int windows_bits;
    std::vector<std::string> expected;
  } cases[] = {
      {"32-bit Windows: one registration, no 64-bit hosts to block", MachineWide32BitDll(true), 32,
       {"COM registration, this user, 32-bit hosts: not registered",
        "COM registration, machine-wide, 32-bit hosts: " + ok32,
        "COM registration, 64-bit hosts: none: this Windows is 32-bit",
        "Native package: no Native package found next to the DLL"}},
      {"64-bit Windows: a 32-bit DLL in the 64-bit view blocks 64-bit hosts", MachineWide32BitDll(true), 64,
       {"COM registration, this user, 64-bit hosts: not registered",
        "COM registration, this user, 32-bit hosts: not registered",
        "BLOCKS COM registration, machine-wide, 64-bit hosts: " + ok32 + ", but 64-bit hosts cannot load it",
        "COM registration, machine-wide, 32-bit hosts: " + ok32,
        "Native package: no Native package found next to the DLL"}},
      {"32-bit Windows without a registration: no host can create the add-in",
       std::vector<ComRegistrationFound>{{"COM registration, machine-wide, 64-bit hosts", 64, std::nullopt, false, 0, ""},
                                         {"COM registration, machine-wide, 32-bit hosts", 32, std::nullopt, false, 0, ""}},
       32,
       {"COM registration, machine-wide, 32-bit hosts: not registered",
        "COM registration, 64-bit hosts: none: this Windows is 32-bit",
        "BLOCKS COM registration: no usable registration for any host",
        "Native package: no Native package found next to the DLL"}},
  };
  for (const auto& c : cases) {
    const auto lines = ComRegistrationVerdict(c.found, c.windows_bits, [](const std::string&) { return ""; });
    EXPECT_EQ(Render(lines), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace velko::tool
