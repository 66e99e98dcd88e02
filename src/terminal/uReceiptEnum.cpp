#include "terminal/uReceiptEnum.h"

#include <vector>

#include "common/BaseSecurity.h"
#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "platform/Folders.h"
#include "platform/PlatformError.h"
#include "platform/Services.h"

namespace velko {
namespace {

uint32_t ReadLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteLE32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool IsBlankOnly(const std::wstring& text) {
  for (wchar_t c : text)
    if (c != L' ' && c != L'\t') return false;
  return true;
}

}  // namespace

std::wstring TReceiptEnum::DefaultFolder() {
  auto base = CommonAppDataFolder();
  const bool own = !base;
  if (own) base = UserAppDataFolder();
  if (!base) throw PlatformError("No application-data folder is available for the receipt numerator");
  const std::wstring folder = IncludeTrailingPathDelimiter(*base) + L"velko32";
  if (own) {
    // Another account on this machine numbers the same register in its own
    // folder: the server would see its receipt numbers twice.
    TLog::Append(L"Numerator",
                 L"the machine-wide folder " + IncludeTrailingPathDelimiter(MachineWideDataFolder()) +
                     L"velko32 does not exist and cannot be created by this account; this account's own " +
                     folder + L" is used, which other accounts of this machine do not share",
                 TMsgType::mtInfo);
  }
  EnsureSharedFolder(folder);
  return IncludeTrailingPathDelimiter(folder);
}

TReceiptEnum::TReceiptEnum(FileService& files) : FFiles(files), FFileDir(DefaultFolder()) {}

TReceiptEnum::~TReceiptEnum() { Unlock(true); }

std::wstring TReceiptEnum::FilePath() const {
  return FFileDir + L"ECR" + std::to_wstring(FECRNumber);
}

int TReceiptEnum::Lock() {
  const std::wstring path = FilePath();
  Unlock(false);
  FLockError.clear();
  std::unique_ptr<LockedFile> file;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    file = FFiles.OpenExclusive(path);
    if (file) break;
    // Something planted in the file's place is refused at once: no retry
    // can make it the numerator.
    if (auto reason = RefusedFileReason(path)) {
      FLockError = Utf8ToWide(*reason);
      return kCannotRead;
    }
    Services().Process->Sleep(kLockRetryMs);
  }
  if (!file) return kCannotOpen;

  uint64_t size = 0;
  if (!file->Size(size) || size > UINT32_MAX) return kCannotRead;
  if (!file->LockRange(size)) return kCannotOpen;

  std::vector<unsigned char> content(static_cast<size_t>(size));
  size_t got = 0;
  if (!file->ReadAt(0, content.data(), content.size(), got) || got != content.size()) {
    file->UnlockRange(size);
    return kCannotRead;
  }
  FFileSize = static_cast<uint32_t>(size);
  if (size < kRecordSize) {
    FReceiptNum = 1;
    FVoidReceiptNum = 0;
  } else {
    FReceiptNum = ReadLE32(content.data());
    FVoidReceiptNum = ReadLE32(content.data() + 4);
  }
  FFileHandle = std::move(file);
  return kLocked;
}

void TReceiptEnum::Unlock(bool Save) {
  if (!FFileHandle) return;
  // Best effort: the engine writes, and checks, before it unlocks; this
  // covers only an instance that goes away while it holds the file.
  if (Save) (void)SaveData();
  FFileHandle->UnlockRange(FFileSize);
  FFileHandle.reset();
}

bool TReceiptEnum::SaveData() {
  if (!FFileHandle) return false;
  unsigned char record[kRecordSize];
  WriteLE32(record, FReceiptNum);
  WriteLE32(record + 4, FVoidReceiptNum);
  // The record protects a customer from a charge the shop never recorded: it
  // must be on disk before the engine goes on.
  return FFileHandle->WriteAt(0, record, sizeof record) && FFileHandle->Flush();
}

bool TReceiptEnum::ReadBack(uint32_t& ReceiptNum, uint32_t& VoidReceiptNum) {
  if (!FFileHandle) return false;
  unsigned char record[kRecordSize];
  size_t got = 0;
  if (!FFileHandle->ReadAt(0, record, sizeof record, got) || got != sizeof record) return false;
  ReceiptNum = ReadLE32(record);
  VoidReceiptNum = ReadLE32(record + 4);
  return true;
}

void TReceiptEnum::IncReceiptNumber() {
  if (FFileHandle) ++FReceiptNum;  // wraps to 0 after 4294967295
}

void TReceiptEnum::SetVoidReceiptNum(uint32_t Value) {
  if (FFileHandle) FVoidReceiptNum = Value;
}

void TReceiptEnum::SetECRNumber(int32_t Value) {
  if (!FFileHandle) FECRNumber = Value;
}

void TReceiptEnum::SetFileDir(const std::wstring& Value) {
  FFileDir = IsBlankOnly(Value) ? DefaultFolder() : IncludeTrailingPathDelimiter(Value);
}

}  // namespace velko
