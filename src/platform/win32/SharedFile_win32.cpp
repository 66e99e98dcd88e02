#include <windows.h>

#include <atomic>
#include <string>

#include "platform/SharedFile.h"
#include "platform/win32/PlainFile_win32.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace velko {

AppendResult AppendDenyingWriters(const std::wstring& path, std::string_view bytes) {
  // A link or a second name in the log's place is not written through.
  const unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? AppendResult::kBusy
                                                                              : AppendResult::kFailed;
  }
  if (NotAPlainFile(file.get(), path)) return AppendResult::kFailed;
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

bool CanCreateFileIn(const std::wstring& folder) {
  static std::atomic<unsigned> serial{0};
  std::wstring path = folder;
  if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path.push_back(L'\\');
  path += L".velko-probe-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
  // CREATE_NEW never opens what is there; the file goes when it is closed.
  const unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                           FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), "probe", 5, &written, nullptr) && written == 5;
}

}  // namespace velko
