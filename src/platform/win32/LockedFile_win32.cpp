#include <windows.h>

#include <utility>

#include "common/TextUtf.h"
#include "platform/FolderTrust.h"
#include "platform/LockedFile.h"
#include "platform/win32/PlainFile_win32.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace velko {
namespace {

class Win32LockedFile : public LockedFile {
 public:
  explicit Win32LockedFile(unique_hfile file) : file_(std::move(file)) {}

  bool Size(uint64_t& size) override {
    LARGE_INTEGER li{};
    if (!::GetFileSizeEx(file_.get(), &li)) return false;
    size = static_cast<uint64_t>(li.QuadPart);
    return true;
  }

  bool LockRange(uint64_t length) override {
    if (length == 0) return true;
    return ::LockFile(file_.get(), 0, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32)) != 0;
  }

  void UnlockRange(uint64_t length) override {
    if (length == 0) return;
    ::UnlockFile(file_.get(), 0, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32));
  }

  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
    got = 0;
    if (!Seek(offset)) return false;
    auto* out = static_cast<char*>(buffer);
    while (got < length) {
      DWORD n = 0;
      if (!::ReadFile(file_.get(), out + got, static_cast<DWORD>(length - got), &n, nullptr)) return false;
      if (n == 0) break;
      got += n;
    }
    return true;
  }

  bool WriteAt(uint64_t offset, const void* data, size_t length) override {
    if (!Seek(offset)) return false;
    DWORD n = 0;
    return ::WriteFile(file_.get(), data, static_cast<DWORD>(length), &n, nullptr) && n == length;
  }

  bool Flush() override { return ::FlushFileBuffers(file_.get()) != 0; }

 private:
  bool Seek(uint64_t offset) {
    LARGE_INTEGER li{};
    li.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(file_.get(), li, nullptr, FILE_BEGIN) != 0;
  }

  unique_hfile file_;
};

class Win32FileService : public FileService {
 public:
  std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) override {
    // No sharing at all: no other open of the file, for any access, can coexist.
    // The reparse point itself, never what it points to: a link in the
    // file's place is refused below instead of followed.
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file || UntrustedOpenFile(file.get(), path)) return nullptr;
    return std::make_unique<Win32LockedFile>(std::move(file));
  }
};

}  // namespace

FileService& PlatformFileService() {
  static Win32FileService service;
  return service;
}

std::optional<std::string> NotAPlainFile(HANDLE file, const std::wstring& path) {
  // The two small queries, not GetFileInformationByHandle: that one also asks
  // for the volume, which costs an append to the shared log dearly under load.
  FILE_ATTRIBUTE_TAG_INFO tag{};
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
      !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
    return WideToUtf8(path) + " cannot be examined";
  if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return WideToUtf8(path) + " is a link (reparse point), not a regular file";
  if (standard.Directory || (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return WideToUtf8(path) + " is not a regular file";
  if (standard.NumberOfLinks != 1) return WideToUtf8(path) + " " + kSecondNameReason + ", it is not used";
  return std::nullopt;
}

std::optional<std::string> UnopenedFileReason(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return WideToUtf8(path) + " is a link (reparse point), not a regular file";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return WideToUtf8(path) + " is not a regular file";
  return std::nullopt;
}

std::optional<std::string> RefusedFileReason(const std::wstring& path) {
  if (auto reason = UntrustedFileReason(path)) return reason;
  // No data access asked: this open coexists with a holder's exclusive one.
  const unique_hfile file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return UnopenedFileReason(path);
  return NotAPlainFile(file.get(), path);
}

}  // namespace velko
