// The checks of `velko doctor`, as lines of one report: what was found, how
// serious it is, and for a line that blocks payments, what to do.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velko::tool {

enum class Severity { kOk, kNote, kBlocks };

struct DoctorLine {
  std::string check;  // what was looked at
  Severity severity = Severity::kOk;
  std::string text;   // what was found
  std::string fix;    // for kBlocks (and a kNote worth acting on)
  nlohmann::json data = nlohmann::json::object();
};

// One add-in class's COM registration in one registry place, as read there.
struct ComRegistrationFound {
  std::string place;  // "COM registration, this user, 64-bit hosts"
  int hostBits = 32;  // the hosts that read this place
  std::optional<std::string> path;  // the registered DLL; nullopt: not registered here
  bool exists = false;
  int bits = 0;  // the DLL's, from its header; 0: not a Windows module
  std::string version;
  std::string className;  // "a_velko1c83": its ProgID is AddIn.<className>
};

// The report's lines on the COM registration, from what the places hold for
// each class and the bitness of Windows itself: a 32-bit Windows has no
// 64-bit hosts, so its places of 64-bit hosts (which read the same registry
// as the 32-bit ones) are left out. One line per place and registered DLL,
// naming the classes it serves there; a class that no host at all could
// create while another class can gets a note of its own (a DLL older than
// the class is registered), and no usable class at all blocks.
// native_package_near names a Native package beside a usable DLL ("" for none).
std::vector<DoctorLine> ComRegistrationVerdict(const std::vector<ComRegistrationFound>& found, int windows_bits,
                                               const std::function<std::string(const std::string& dll)>&
                                                   native_package_near);

#ifdef _WIN32
// The add-in's COM registration, machine-wide (both registry views) and per
// user, and the Native package beside the registered DLLs.
std::vector<DoctorLine> ComRegistrationLines();
#endif

}  // namespace velko::tool
