#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/TextUtf.h"
#include "platform/Folders.h"
#include "platform/PlatformError.h"

namespace velko {
namespace {

std::string Narrow(const std::wstring& path) { return WideToUtf8(path); }

std::optional<std::wstring> EnvFolder(const char* name) {
  const char* value = std::getenv(name);
  if (value && *value) return Utf8ToWide(value);
  return std::nullopt;
}

// Creates every missing level of a folder path; true when it exists afterwards.
bool EnsureFolderTree(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
  if (slash != std::string::npos && slash > 0 && !EnsureFolderTree(path.substr(0, slash)))
    return false;
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

std::string LastSystemErrorText() { return SystemErrorText(static_cast<unsigned long>(errno)); }
std::string SystemErrorText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

wchar_t PathDelimiter() { return L'/'; }

std::wstring IncludeTrailingPathDelimiter(const std::wstring& path) {
  if (!path.empty() && path.back() == L'/') return path;
  return path + L'/';
}

std::optional<std::wstring> UserAppDataFolderPath() {
  if (std::optional<std::wstring> folder = EnvFolder("XDG_DATA_HOME")) return folder;
  auto home = EnvFolder("HOME");
  if (!home) return std::nullopt;
  return IncludeTrailingPathDelimiter(*home) + L".local/share";
}

std::optional<std::wstring> UserAppDataFolder() {
  std::optional<std::wstring> folder = UserAppDataFolderPath();
  if (!folder || !EnsureFolderTree(Narrow(*folder))) return std::nullopt;
  return folder;
}

std::wstring MachineDataRoot() {
  if (auto overridden = EnvFolder("VELKO_COMMON_APPDATA")) {
    EnsureFolderTree(Narrow(*overridden));
    return *overridden;
  }
  return MachineWideDataFolder();
}

std::optional<std::wstring> CommonAppDataFolder() {
  if (auto overridden = EnvFolder("VELKO_COMMON_APPDATA")) {
    if (!EnsureFolderTree(Narrow(*overridden))) return std::nullopt;
    return overridden;
  }
  // Every account on the till must share one numerator per register: the
  // machine-wide folder is used whenever the driver's folders are there,
  // whoever made them, or this process can make them.
  const std::string machine = Narrow(MachineWideDataFolder());
  for (const char* folder : {"/velko32", "/a_velko1c83"}) {
    struct stat st {};
    if (stat((machine + folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Utf8ToWide(machine);
  }
  if (access(machine.c_str(), W_OK) == 0) return Utf8ToWide(machine);
  return std::nullopt;
}

std::wstring MachineWideDataFolder() { return L"/var/lib"; }

bool FolderExists(const std::wstring& path) {
  struct stat st {};
  return stat(Narrow(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::wstring& path) {
  struct stat st {};
  return stat(Narrow(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateFolder(const std::wstring& path) {
  std::string narrow = Narrow(path);
  while (narrow.size() > 1 && narrow.back() == '/') narrow.pop_back();
  return mkdir(narrow.c_str(), 0777) == 0;
}

bool CreateSharedFolder(const std::wstring& path) {
  if (!CreateFolder(path)) return false;
  // The umask would otherwise take the group and other write bits away. The
  // sticky bit keeps one user from removing or renaming another's files.
  if (chmod(Narrow(path).c_str(), 01777) != 0)
    throw PlatformError("Unable to open " + Narrow(path) + " to every user: " + LastSystemErrorText());
  return true;
}

std::optional<std::string> SharedFolderFault(const std::wstring& path) {
  struct stat st {};
  if (stat(Narrow(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0)
    return Narrow(path) + " is writable by every user without the sticky bit: any user may remove or rename "
                          "what is in it";
  return std::nullopt;
}

bool RepairSharedFolder(const std::wstring& path) { return chmod(Narrow(path).c_str(), 01777) == 0; }

}  // namespace velko
