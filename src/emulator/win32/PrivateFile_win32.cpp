#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <stdexcept>

#include "common/TextUtf.h"
#include "emulator/PrivateFile.h"
#include "platform/FolderTrust.h"
#include "platform/PlatformError.h"
#include "platform/win32/PlainFile_win32.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace velko::emulator {
namespace {

struct LocalFreeDeleter {
  void operator()(void* p) const { if (p) ::LocalFree(p); }
};

}  // namespace

void MakePrivateFile(const std::string& path) {
  const std::wstring wide = Utf8ToWide(path);
  // The link itself, never what it points to; the list is changed on this
  // very handle.
  const unique_hfile file(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) throw std::runtime_error("cannot open the file " + path + ": " + LastSystemErrorText());
  if (auto reason = NotAPlainFile(file.get(), wide)) throw std::runtime_error("refused: " + *reason);
  if (auto reason = ForeignFileOwner(file.get(), wide)) throw std::runtime_error("refused: " + *reason);
  // Full control for this account, SYSTEM and Administrators; nothing inherited.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)",
                                                              SDDL_REVISION_1, &sd, nullptr))
    throw std::runtime_error("cannot make " + path + " private: " + LastSystemErrorText());
  const std::unique_ptr<void, LocalFreeDeleter> owner(sd);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  const DWORD rc = ::SetSecurityInfo(file.get(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, dacl, nullptr);
  if (rc != ERROR_SUCCESS)
    throw std::runtime_error("cannot make " + path + " private to this account: " + SystemErrorText(rc));
}

}  // namespace velko::emulator
