// `velko doctor` on Windows: where each class of the add-in is registered for
// COM and what each registration points at. A 32-bit host reads the 32-bit registry view,
// a 64-bit host the 64-bit one; per-user entries come before machine-wide ones.
// What the registrations mean for the till is decided in DoctorRegistration.cpp.
#include <windows.h>

#include "addin/com/ComResources.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Doctor.h"
#include "addin/AddInClasses.h"
#include "common/TextUtf.h"

namespace velko::tool {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kClasses = L"Software\\Classes\\";

std::optional<std::wstring> ReadDefault(HKEY root, const std::wstring& path, REGSAM view) {
  com::unique_hkey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return std::nullopt;
  wchar_t buffer[1024] = {};
  DWORD bytes = sizeof buffer - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::nullopt;
  std::wstring value(buffer, bytes / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  if (type == REG_EXPAND_SZ) {
    wchar_t expanded[1024] = {};
    if (ExpandEnvironmentStringsW(value.c_str(), expanded, 1024) > 0) value = expanded;
  }
  return value;
}

// 32 or 64 from the file's PE header; 0 when it is not a Windows module.
int ModuleBits(const std::wstring& path) {
  std::ifstream in(fs::path(path), std::ios::binary);
  unsigned char dos[64] = {};
  if (!in.read(reinterpret_cast<char*>(dos), sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return 0;
  const uint32_t pe = dos[60] | dos[61] << 8 | dos[62] << 16 | static_cast<uint32_t>(dos[63]) << 24;
  unsigned char header[6] = {};
  if (!in.seekg(pe) || !in.read(reinterpret_cast<char*>(header), sizeof header)) return 0;
  if (header[0] != 'P' || header[1] != 'E' || header[2] != 0 || header[3] != 0) return 0;
  const unsigned machine = header[4] | header[5] << 8;
  return machine == IMAGE_FILE_MACHINE_I386 ? 32 : machine == IMAGE_FILE_MACHINE_AMD64 ? 64 : 0;
}

// A zip beside the DLL that holds a MANIFEST.XML (its name stands in the
// zip's directory uncompressed).
std::string NativePackageNear(const std::wstring& dll) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(dll).parent_path(), ec)) {
    std::wstring ext = entry.path().extension().wstring();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::towlower);
    if (ext != L".zip") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string upper = bytes;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    if (upper.find("MANIFEST.XML") != std::string::npos) return WideToUtf8(entry.path().wstring());
  }
  return "";
}

struct Place {
  const char* name;
  HKEY root;
  REGSAM view;
  int hostBits;
};

// The file version from the DLL's version resource, "a.b.c.d"; empty when it has none.
std::string FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return "";
  std::vector<unsigned char> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info)
    return "";
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
}

// The bitness of Windows itself (not of this program): a 32-bit velko.exe on
// a 64-bit Windows still has 64-bit hosts beside it.
int WindowsBits() {
  SYSTEM_INFO info{};
  ::GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? 32 : 64;
}

}  // namespace

std::vector<DoctorLine> ComRegistrationLines() {
  const Place places[] = {
      {"COM registration, this user, 64-bit hosts", HKEY_CURRENT_USER, KEY_WOW64_64KEY, 64},
      {"COM registration, this user, 32-bit hosts", HKEY_CURRENT_USER, KEY_WOW64_32KEY, 32},
      {"COM registration, machine-wide, 64-bit hosts", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, 64},
      {"COM registration, machine-wide, 32-bit hosts", HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, 32},
  };
  std::vector<ComRegistrationFound> found;
  for (const Place& place : places)
    for (const TAddInClass& cls : AddInClasses()) {
      const std::wstring prog_id = std::wstring(L"AddIn.") + cls.ExtensionName;
      ComRegistrationFound here{place.name, place.hostBits, std::nullopt, false, 0, "", WideToUtf8(cls.ExtensionName)};
      const auto clsid = ReadDefault(place.root, std::wstring(kClasses) + prog_id + L"\\Clsid", place.view);
      const auto path =
          clsid ? ReadDefault(place.root, std::wstring(kClasses) + L"CLSID\\" + *clsid + L"\\InprocServer32", place.view)
                : std::nullopt;
      if (path) {
        here.path = WideToUtf8(*path);
        std::error_code ec;
        here.exists = fs::is_regular_file(fs::path(*path), ec);
        if (here.exists) {
          here.bits = ModuleBits(*path);
          here.version = FileVersion(*path);
        }
      }
      found.push_back(std::move(here));
    }
  return ComRegistrationVerdict(found, WindowsBits(),
                                [](const std::string& dll) { return NativePackageNear(Utf8ToWide(dll)); });
}

}  // namespace velko::tool
