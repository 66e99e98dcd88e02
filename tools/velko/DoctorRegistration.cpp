// `velko doctor`'s verdict on the add-in's COM registration: what each
// registry place holds, read on Windows (Doctor_win32.cpp), becomes one line
// per place, and a blocking line when no host at all could create the add-in.
// Portable, so that the verdict for either bitness of Windows is tested on any.
#include <string>
#include <vector>

#include "Doctor.h"

namespace velko::tool {

std::vector<DoctorLine> ComRegistrationVerdict(const std::vector<ComRegistrationFound>& found, int windows_bits,
                                               const std::function<std::string(const std::string& dll)>&
                                                   native_package_near) {
  std::vector<DoctorLine> lines;
  int usable = 0;
  std::string package;
  for (const ComRegistrationFound& here : found) {
    // On a 32-bit Windows the 64-bit view is the 32-bit one under another name.
    if (windows_bits == 32 && here.hostBits == 64) continue;
    DoctorLine line{here.place, Severity::kOk, "", "", {{"hostBits", here.hostBits}}};
    if (!here.path) {
      line.text = "not registered";
      line.data["registered"] = false;
      lines.push_back(std::move(line));
      continue;
    }
    const std::string& path = *here.path;
    line.data["registered"] = true;
    line.data["path"] = path;
    line.data["exists"] = here.exists;
    if (!here.exists) {
      line.severity = Severity::kBlocks;
      line.text = path + ": the registered file does not exist";
      line.fix = "register the DLL again from where it now is: regsvr32 <folder>\\a_velko1c83.dll";
      lines.push_back(std::move(line));
      continue;
    }
    line.data["bits"] = here.bits;
    line.data["version"] = here.version;
    line.text = path + ": exists, " +
                (here.bits ? std::to_string(here.bits) + "-bit" : std::string("not a Windows DLL")) +
                (here.version.empty() ? "" : ", version " + here.version);
    if (here.bits != here.hostBits) {
      const std::string host_bits = std::to_string(here.hostBits);
      line.severity = Severity::kBlocks;
      line.text += ", but " + host_bits + "-bit hosts cannot load it";
      line.fix = "register the " + host_bits + "-bit DLL with the " + host_bits + "-bit regsvr32";
    } else {
      ++usable;
      if (package.empty()) package = native_package_near(path);
    }
    lines.push_back(std::move(line));
  }
  if (windows_bits == 32)
    lines.push_back({"COM registration, 64-bit hosts", Severity::kOk, "none: this Windows is 32-bit", "",
                     {{"windowsBits", 32}}});
  if (usable == 0)
    lines.push_back({"COM registration", Severity::kBlocks, "no usable registration for any host",
                     "register the DLL of the host's bitness: regsvr32 a_velko1c83.dll (as administrator for "
                     "every user)",
                     {}});
  lines.push_back({"Native package", Severity::kOk,
                   package.empty() ? "no Native package found next to the DLL" : package + " next to the DLL", "",
                   {{"path", package.empty() ? nlohmann::json() : nlohmann::json(package)}}});
  return lines;
}

}  // namespace velko::tool
