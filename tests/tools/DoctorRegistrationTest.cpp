// velko doctor's verdict on the COM registration, for either bitness of
// Windows and for each class of the add-in: a 32-bit Windows reads the same
// registry through both views, and has no 64-bit hosts that could be blocked;
// a DLL older than the later classes registers the first class alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "Doctor.h"

namespace velko::tool {
namespace {

constexpr const char* kDll = "C:\\Drivers\\velko\\x86\\a_velko1c83.dll";
constexpr const char* kOldDll = "C:\\Drivers\\old\\a_velko1c83.dll";
const std::vector<std::string> kClasses = {"a_velko1c83", "a_velko1c83_3004", "a_velko1c83_4000"};

// A place as the registry answers it for each class: the 32-bit DLL `dll`
// for the classes in `registered`, nothing for the others.
std::vector<ComRegistrationFound> Place(const char* name, int host_bits, const std::vector<std::string>& registered,
                                        const char* dll = kDll) {
  std::vector<ComRegistrationFound> out;
  for (const std::string& cls : kClasses) {
    ComRegistrationFound found{name, host_bits, std::nullopt, false, 0, "", cls};
    if (std::find(registered.begin(), registered.end(), cls) != registered.end())
      found.path = dll, found.exists = true, found.bits = 32, found.version = "1.1.1.4";
    out.push_back(found);
  }
  return out;
}

std::vector<ComRegistrationFound> Places(std::initializer_list<std::vector<ComRegistrationFound>> places) {
  std::vector<ComRegistrationFound> out;
  for (const auto& place : places) out.insert(out.end(), place.begin(), place.end());
  return out;
}

// The four places when the 32-bit DLL is registered machine-wide (on a
// 32-bit Windows both views show it).
std::vector<ComRegistrationFound> MachineWide32BitDll(bool in_64_bit_view) {
  return Places({Place("COM registration, this user, 64-bit hosts", 64, {}),
                 Place("COM registration, this user, 32-bit hosts", 32, {}),
                 Place("COM registration, machine-wide, 64-bit hosts", 64,
                       in_64_bit_view ? kClasses : std::vector<std::string>{}),
                 Place("COM registration, machine-wide, 32-bit hosts", 32, kClasses)});
}

std::vector<std::string> Render(const std::vector<DoctorLine>& lines) {
  std::vector<std::string> out;
  for (const DoctorLine& line : lines)
    out.push_back((line.severity == Severity::kBlocks ? "BLOCKS " : line.severity == Severity::kNote ? "NOTE " : "") +
                  line.check + ": " + line.text);
  return out;
}

TEST(DoctorRegistration, TheVerdictFollowsTheBitnessOfWindowsAndEachClass) {
  const std::string ok32 = std::string(kDll) + ": exists, 32-bit, version 1.1.1.4";
  const std::string all = "; classes a_velko1c83, a_velko1c83_3004, a_velko1c83_4000";
  const std::string none_found = "Native package: no Native package found next to the DLL";
  const auto note = [](const std::string& cls) {
    return "NOTE COM registration, " + cls +
           ": no usable registration: a host whose equipment library needs this class cannot create AddIn." + cls;
  };
  const struct {
    const char* name;
    std::vector<ComRegistrationFound> found;
    int windows_bits;
    std::vector<std::string> expected;
  } cases[] = {
      {"32-bit Windows: one registration, no 64-bit hosts to block", MachineWide32BitDll(true), 32,
       {"COM registration, this user, 32-bit hosts: not registered",
        "COM registration, machine-wide, 32-bit hosts: " + ok32 + all,
        "COM registration, 64-bit hosts: none: this Windows is 32-bit", none_found}},
      {"64-bit Windows: a 32-bit DLL in the 64-bit view blocks 64-bit hosts", MachineWide32BitDll(true), 64,
       {"COM registration, this user, 64-bit hosts: not registered",
        "COM registration, this user, 32-bit hosts: not registered",
        "BLOCKS COM registration, machine-wide, 64-bit hosts: " + ok32 + ", but 64-bit hosts cannot load it" + all,
        "COM registration, machine-wide, 32-bit hosts: " + ok32 + all, none_found}},
      {"32-bit Windows without a registration: no host can create the add-in",
       Places({Place("COM registration, machine-wide, 64-bit hosts", 64, {}),
               Place("COM registration, machine-wide, 32-bit hosts", 32, {})}),
       32,
       {"COM registration, machine-wide, 32-bit hosts: not registered",
        "COM registration, 64-bit hosts: none: this Windows is 32-bit",
        "BLOCKS COM registration: no usable registration for any host", none_found}},
      {"an older DLL registers the first class alone: the later classes get a note each, nothing blocks",
       Places({Place("COM registration, machine-wide, 32-bit hosts", 32, {"a_velko1c83"}, kOldDll)}), 32,
       {"COM registration, machine-wide, 32-bit hosts: " + std::string(kOldDll) +
            ": exists, 32-bit, version 1.1.1.4; classes a_velko1c83; not registered here: a_velko1c83_3004, "
            "a_velko1c83_4000",
        "COM registration, 64-bit hosts: none: this Windows is 32-bit", note("a_velko1c83_3004"),
        note("a_velko1c83_4000"), none_found}},
      {"two DLLs in one place: a line each, with the classes it serves",
       Places({[] {
         auto place = Place("COM registration, machine-wide, 32-bit hosts", 32, {"a_velko1c83"}, kOldDll);
         const auto newer = Place("COM registration, machine-wide, 32-bit hosts", 32, kClasses);
         place[1] = newer[1], place[2] = newer[2];
         return place;
       }()}),
       32,
       {"COM registration, machine-wide, 32-bit hosts: " + std::string(kOldDll) +
            ": exists, 32-bit, version 1.1.1.4; classes a_velko1c83",
        "COM registration, machine-wide, 32-bit hosts: " + ok32 + "; classes a_velko1c83_3004, a_velko1c83_4000",
        "COM registration, 64-bit hosts: none: this Windows is 32-bit", none_found}},
  };
  for (const auto& c : cases) {
    const auto lines = ComRegistrationVerdict(c.found, c.windows_bits, [](const std::string&) { return ""; });
    EXPECT_EQ(Render(lines), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace velko::tool
