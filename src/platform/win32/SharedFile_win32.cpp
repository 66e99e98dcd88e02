#include <windows.h>

#include "platform/SharedFile.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace velko {

AppendResult AppendDenyingWriters(const std::wstring& path, std::string_view bytes) {
  const unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? AppendResult::kBusy
                                                                              : AppendResult::kFailed;
  }
  AppendResult result = AppendResult::kWritten;
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) result = AppendResult::kFailed;
  size_t done = 0;
  while (result == AppendResult::kWritten && done < bytes.size()) {
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                     nullptr) ||
        written == 0)
      result = AppendResult::kFailed;
    done += written;
  }
  return result;
}

}  // namespace velko
