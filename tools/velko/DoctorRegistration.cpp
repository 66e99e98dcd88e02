// `velko doctor`'s verdict on the add-in's COM registration: what each
// registry place holds for each class, read on Windows (Doctor_win32.cpp),
// becomes one line per place and registered DLL, a note for a class that no
// host could create, and a blocking line when no host could create any class.
// Portable, so that the verdict for either bitness of Windows is tested on any.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "Doctor.h"

namespace velko::tool {
namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

std::vector<DoctorLine> ComRegistrationVerdict(const std::vector<ComRegistrationFound>& found, int windows_bits,
                                               const std::function<std::string(const std::string& dll)>&
                                                   native_package_near) {
  std::vector<DoctorLine> lines;
  std::vector<std::string> places, classes;
  for (const ComRegistrationFound& here : found) {
    if (std::find(places.begin(), places.end(), here.place) == places.end()) places.push_back(here.place);
    if (std::find(classes.begin(), classes.end(), here.className) == classes.end())
      classes.push_back(here.className);
  }
  std::map<std::string, int> usable;  // by class
  int usable_any = 0;
  std::string package;
  for (const std::string& place : places) {
    std::vector<const ComRegistrationFound*> here;
    for (const ComRegistrationFound& f : found)
      if (f.place == place) here.push_back(&f);
    const int host_bits = here.front()->hostBits;
    // On a 32-bit Windows the 64-bit view is the 32-bit one under another name.
    if (windows_bits == 32 && host_bits == 64) continue;
    // The DLLs registered here, each with the classes it serves, in the order found.
    std::vector<std::pair<const ComRegistrationFound*, std::vector<std::string>>> dlls;
    std::vector<std::string> missing;
    for (const ComRegistrationFound* f : here) {
      if (!f->path) {
        missing.push_back(f->className);
        continue;
      }
      auto same = std::find_if(dlls.begin(), dlls.end(), [&](const auto& d) { return *d.first->path == *f->path; });
      if (same == dlls.end())
        dlls.push_back({f, {f->className}});
      else
        same->second.push_back(f->className);
    }
    if (dlls.empty()) {
      lines.push_back({place, Severity::kOk, "not registered", "", {{"hostBits", host_bits}, {"registered", false}}});
      continue;
    }
    for (const auto& [dll, served] : dlls) {
      const std::string& path = *dll->path;
      DoctorLine line{place, Severity::kOk, "", "",
                      {{"hostBits", host_bits}, {"registered", true}, {"path", path}, {"exists", dll->exists},
                       {"classes", served}}};
      const std::string for_classes = "; classes " + Joined(served) +
                                      (dll == dlls.front().first && !missing.empty()
                                           ? "; not registered here: " + Joined(missing)
                                           : "");
      if (!dll->exists) {
        line.severity = Severity::kBlocks;
        line.text = path + ": the registered file does not exist" + for_classes;
        line.fix = "register the DLL again from where it now is: regsvr32 <folder>\\a_velko1c83.dll";
        lines.push_back(std::move(line));
        continue;
      }
      line.data["bits"] = dll->bits;
      line.data["version"] = dll->version;
      line.text = path + ": exists, " +
                  (dll->bits ? std::to_string(dll->bits) + "-bit" : std::string("not a Windows DLL")) +
                  (dll->version.empty() ? "" : ", version " + dll->version);
      if (dll->bits != host_bits) {
        const std::string bits = std::to_string(host_bits);
        line.severity = Severity::kBlocks;
        line.text += ", but " + bits + "-bit hosts cannot load it";
        line.fix = "register the " + bits + "-bit DLL with the " + bits + "-bit regsvr32";
      } else {
        ++usable_any;
        for (const std::string& cls : served) ++usable[cls];
        if (package.empty()) package = native_package_near(path);
      }
      line.text += for_classes;
      lines.push_back(std::move(line));
    }
  }
  if (windows_bits == 32)
    lines.push_back({"COM registration, 64-bit hosts", Severity::kOk, "none: this Windows is 32-bit", "",
                     {{"windowsBits", 32}}});
  if (usable_any == 0) {
    lines.push_back({"COM registration", Severity::kBlocks, "no usable registration for any host",
                     "register the DLL of the host's bitness: regsvr32 a_velko1c83.dll (as administrator for "
                     "every user)",
                     {}});
  } else {
    // Which class a till needs depends on its equipment library, which the
    // doctor cannot see: a class no host can create is worth a note, not a block.
    for (const std::string& cls : classes) {
      if (usable[cls] > 0) continue;
      lines.push_back({"COM registration, " + cls, Severity::kNote,
                       "no usable registration: a host whose equipment library needs this class cannot create "
                       "AddIn." + cls,
                       "the registered DLL is older than this class: register this version's DLL of the host's "
                       "bitness again (regsvr32 a_velko1c83.dll)",
                       {{"class", cls}}});
    }
  }
  lines.push_back({"Native package", Severity::kOk,
                   package.empty() ? "no Native package found next to the DLL" : package + " next to the DLL", "",
                   {{"path", package.empty() ? nlohmann::json() : nlohmann::json(package)}}});
  return lines;
}

}  // namespace velko::tool
