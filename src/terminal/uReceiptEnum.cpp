#include "terminal/uReceiptEnum.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "platform/FolderTrust.h"
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

TReceiptEnum::TFolderChoice TReceiptEnum::ChooseDefaultFolder(bool create) {
  create = create && !FoldersLookOnly();
  TFolderChoice choice;
  const std::wstring root = MachineDataRoot();
  const std::string account = ThisAccountName();
  if (!root.empty()) {
    const std::wstring machine = IncludeTrailingPathDelimiter(root) + L"velko32";
    FolderCheck check = CheckTillFolder(machine, true);
    if (!check.exists && create && CreateTillFolder(machine)) check = CheckTillFolder(machine, true);
    if (check.exists) {
      if (check.verdict == FolderVerdict::kRefuse) {
        // Never a fresh numerator elsewhere: the receipt numbers already
        // used there would be used again.
        choice.Folder = IncludeTrailingPathDelimiter(machine);
        choice.MachineWide = choice.Exists = true;
        choice.Fix = Utf8ToWide(TillFolderCommand({}, {machine}, account));
        choice.Refusal = Utf8ToWide(check.reason);
        return choice;
      }
      if (check.verdict != FolderVerdict::kUse) {
        choice.Note = Utf8ToWide(check.reason);
        if (check.verdict == FolderVerdict::kUseWarned) choice.Fix = Utf8ToWide(TillFolderCommand({}, {machine}, account));
      }
      if (MayCreateFilesIn(machine)) {
        choice.Folder = IncludeTrailingPathDelimiter(machine);
        choice.MachineWide = choice.Exists = true;
        return choice;
      }
      choice.Note = L"this account cannot create files in the machine-wide " + machine + L" (owner " +
                    Utf8ToWide(check.ownerName) + L")";
      choice.Fix = Utf8ToWide(TillFolderCommand({}, {}, account));
    } else if (!create && MayCreateFilesIn(root)) {
      choice.Folder = IncludeTrailingPathDelimiter(machine);  // made at the first operation
      choice.MachineWide = true;
      return choice;
    } else {
      choice.Note = L"the machine-wide " + machine + L" does not exist and this account cannot create it";
      choice.Fix = Utf8ToWide(TillFolderCommand({machine}, {}, account));
    }
  }
  const std::optional<std::wstring> user = create ? UserAppDataFolder() : UserAppDataFolderPath();
  if (!user) {
    choice.Refusal = L"no application-data folder is available for the receipt numerator" +
                     (choice.Note.empty() ? L"" : L": " + choice.Note);
    return choice;
  }
  const std::wstring own = IncludeTrailingPathDelimiter(*user) + L"velko32";
  choice.Note += L"; this account's own " + own + L" is used, which other accounts of this machine do not share";
  FolderCheck check = CheckTillFolder(own, true);
  if (!check.exists && create && CreateTillFolder(own)) check = CheckTillFolder(own, true);
  choice.Folder = IncludeTrailingPathDelimiter(own);
  choice.Exists = check.exists;
  if (check.exists && check.verdict == FolderVerdict::kRefuse) choice.Refusal = Utf8ToWide(check.reason);
  return choice;
}

std::wstring TReceiptEnum::DefaultFolder() { return ChooseDefaultFolder(true).Folder; }

TReceiptEnum::TReceiptEnum(FileService& files) : FFiles(files), FFileDir(DefaultFolder()) {}

bool TReceiptEnum::RefreshDefaultFolder() {
  const TFolderChoice choice = ChooseDefaultFolder(true);
  FFileDir = choice.Folder;
  if (!choice.Refusal.empty()) {
    FLockError = L"the numerator folder " + choice.Folder + L" is refused: " + choice.Refusal +
                 (choice.Fix.empty() ? L"" : L"; what to do: " + choice.Fix);
    return false;
  }
  // The folder never changes silently; an older folder's warning is given
  // once per instance.
  if (choice.Folder != FLastReported) {
    if (!choice.Note.empty() || !FLastReported.empty())
      TLog::Append(L"Numerator",
                   L"the numerator folder is " + choice.Folder +
                       (choice.Note.empty() ? L"" : L": " + choice.Note) +
                       (choice.Fix.empty() ? L"" : L"; what to do: " + choice.Fix),
                   TMsgType::mtInfo);
    FLastReported = choice.Folder;
  }
  return true;
}

std::wstring TReceiptEnum::PendingMove() const {
  if (!FDefault) return L"";
  const TFolderChoice choice = ChooseDefaultFolder(false);
  if (!choice.MachineWide || !choice.Refusal.empty()) return L"";
  const std::optional<std::wstring> user = UserAppDataFolderPath();
  if (!user) return L"";
  const std::wstring own = IncludeTrailingPathDelimiter(*user) + L"velko32" + PathDelimiter() + L"ECR" +
                           std::to_wstring(FECRNumber);
  return FileExists(own) && own != FilePath() ? own : L"";
}

bool TReceiptEnum::MoveOwnNumerator() {
  const std::optional<std::wstring> user = UserAppDataFolderPath();
  if (!user) return true;
  const std::wstring own = IncludeTrailingPathDelimiter(*user) + L"velko32" + PathDelimiter() + L"ECR" +
                           std::to_wstring(FECRNumber);
  if (own == FilePath() || !FileExists(own)) return true;
  std::unique_ptr<LockedFile> old = FFiles.OpenExclusive(own);
  if (!old) return false;  // held by a till still numbering there: busy for now
  unsigned char record[kRecordSize] = {};
  size_t got = 0;
  if (!old->ReadAt(0, record, sizeof record, got)) return false;
  const uint32_t own_next = got == sizeof record ? ReadLE32(record) : 1;
  const uint32_t own_void = got == sizeof record ? ReadLE32(record + 4) : 0;
  const uint32_t next = std::max(FReceiptNum, own_next);
  std::wstring what = L"the numerator " + own + L" (next " + std::to_wstring(own_next) + L", unfinished " +
                      std::to_wstring(own_void) + L") moves into " + FilePath() + L" (next " +
                      std::to_wstring(FReceiptNum) + L", unfinished " + std::to_wstring(FVoidReceiptNum) + L")";
  const bool waits = own_void != 0 && FVoidReceiptNum != 0;
  FReceiptNum = next;
  if (!waits && own_void != 0) FVoidReceiptNum = own_void;
  if (!SaveData()) return false;
  if (waits) {
    // Two records: the machine-wide one is voided first; this one stays in
    // the old file and is carried over by the next operation's lock.
    TLog::Append(L"Numerator", what + L": the larger next number " + std::to_wstring(next) +
                                   L" is taken; its unfinished record waits until that of the machine-wide "
                                   L"numerator is settled",
                 TMsgType::mtInfo);
    return true;
  }
  // Carried: the old file keeps its next number but no record, so that
  // nothing is voided twice even when the rename below fails.
  WriteLE32(record + 4, 0);
  if (got == sizeof record) (void)old->WriteAt(4, record + 4, 4);
  (void)old->Flush();
  old.reset();
  std::wstring moved = own + L".moved";
  for (int n = 2; FileExists(moved) && n < 100; ++n) moved = own + L".moved" + std::to_wstring(n);
  std::error_code ec;
  std::filesystem::rename(std::filesystem::path(own), std::filesystem::path(moved), ec);
  TLog::Append(L"Numerator",
               what + L": now next " + std::to_wstring(FReceiptNum) + L", unfinished " +
                   std::to_wstring(FVoidReceiptNum) +
                   (ec ? L"; the old file could not be renamed and is ignored from now on"
                       : L"; the old file is now " + moved),
               TMsgType::mtInfo);
  return true;
}

TReceiptEnum::~TReceiptEnum() { Unlock(true); }

std::wstring TReceiptEnum::FilePath() const {
  return FFileDir + L"ECR" + std::to_wstring(FECRNumber);
}

int TReceiptEnum::Lock() {
  Unlock(false);
  FLockError.clear();
  if (FDefault && !RefreshDefaultFolder()) return kCannotRead;
  const std::wstring path = FilePath();
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
  if (FDefault && !FoldersLookOnly() && !MoveOwnNumerator()) {
    // The old file is held or unreadable: nothing is numbered until its
    // state can be carried over.
    Unlock(false);
    return kCannotOpen;
  }
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
  if (FFileHandle) FReceiptNum = NextReceiptNumber(FReceiptNum);
}

void TReceiptEnum::SetVoidReceiptNum(uint32_t Value) {
  if (FFileHandle) FVoidReceiptNum = Value;
}

void TReceiptEnum::SetECRNumber(int32_t Value) {
  if (!FFileHandle) FECRNumber = Value;
}

void TReceiptEnum::SetFileDir(const std::wstring& Value) {
  FDefault = IsBlankOnly(Value);
  FFileDir = FDefault ? DefaultFolder() : IncludeTrailingPathDelimiter(Value);
}

}  // namespace velko
