#include "common/BaseSecurity.h"

#include "common/TextUtf.h"
#include "platform/FolderTrust.h"
#include "platform/Folders.h"
#include "platform/PlatformError.h"

namespace velko {

void EnsureSharedFolder(const std::wstring& path) {
  if (FolderExists(path)) {
    if (SharedFolderFault(path)) (void)RepairSharedFolder(path);
    return;
  }
  if (!CreateSharedFolder(path) && !FolderExists(path)) {
    throw PlatformError("Unable to create the folder " + WideToUtf8(path) + ": " +
                        LastSystemErrorText());
  }
}

TSharedFolderChoice ChooseSharedFolder(const std::wstring& sub, bool create) {
  create = create && !FoldersLookOnly();
  TSharedFolderChoice choice;
  const std::string account = ThisAccountName();
  const std::wstring root = MachineDataRoot();
  if (!root.empty()) {
    const std::wstring machine = IncludeTrailingPathDelimiter(root) + sub;
    // The log and the settings leave an older every-account folder at once:
    // another account could have written either.
    FolderCheck check = CheckTillFolder(machine, false);
    if (!check.exists && create && CreateTillFolder(machine)) check = CheckTillFolder(machine, false);
    if (check.exists && check.verdict != FolderVerdict::kRefuse && MayCreateFilesIn(machine)) {
      choice.Folder = machine;
      choice.MachineWide = choice.Exists = true;
      return choice;
    }
    if (!check.exists && !create && MayCreateFilesIn(root)) {
      choice.Folder = machine;  // made at the first use
      choice.MachineWide = true;
      return choice;
    }
    if (!check.exists) {
      choice.Note = L"the machine-wide " + machine + L" does not exist and this account cannot create it";
      choice.Fix = Utf8ToWide(TillFolderCommand({machine}, {}, account));
    } else if (check.verdict == FolderVerdict::kRefuse) {
      choice.Note = Utf8ToWide(check.reason);
      choice.Fix = Utf8ToWide(TillFolderCommand({}, {machine}, account));
    } else {
      choice.Note = L"this account cannot create files in the machine-wide " + machine + L" (owner " +
                    Utf8ToWide(check.ownerName) + L")";
      choice.Fix = Utf8ToWide(TillFolderCommand({}, {}, account));
    }
  }
  const std::optional<std::wstring> user = create ? UserAppDataFolder() : UserAppDataFolderPath();
  if (!user) return choice;
  const std::wstring own = IncludeTrailingPathDelimiter(*user) + sub;
  choice.Note += (choice.Note.empty() ? L"" : L"; ") + std::wstring(L"this account's own ") + own + L" is used";
  FolderCheck check = CheckTillFolder(own, false);
  if (!check.exists && create) {
    // The sub-folder name may hold more than one level.
    std::wstring partial;
    for (size_t i = 0; i + 1 < own.size(); ++i) {
      partial.push_back(own[i]);
      if ((own[i] == L'/' || own[i] == L'\\') && i > 0 && !FolderExists(partial)) CreateFolder(partial);
    }
    if (CreateTillFolder(own)) check = CheckTillFolder(own, false);
  }
  if (check.exists && check.verdict == FolderVerdict::kRefuse) {
    choice.Note += L", but " + Utf8ToWide(check.reason);
    return choice;
  }
  choice.Folder = own;
  choice.Exists = check.exists;
  return choice;
}

}  // namespace velko

namespace velko {

void PrepareTillFolders() noexcept {
  try {
    const std::wstring root = MachineDataRoot();
    if (root.empty()) return;
    for (const wchar_t* sub : {L"velko32", L"a_velko1c83"}) {
      const std::wstring folder = IncludeTrailingPathDelimiter(root) + sub;
      if (!CheckTillFolder(folder, true).exists) (void)CreateTillFolder(folder);
    }
  } catch (...) {
  }
}

}  // namespace velko
