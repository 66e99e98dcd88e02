// The checks of `velko doctor`, as lines of one report: what was found, how
// serious it is, and for a line that blocks payments, what to do.
#pragma once

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

#ifdef _WIN32
// The add-in's COM registration, machine-wide (both registry views) and per
// user, and the Native package beside the registered DLLs.
std::vector<DoctorLine> ComRegistrationLines();
#endif

}  // namespace velko::tool
