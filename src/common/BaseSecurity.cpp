#include "common/BaseSecurity.h"

#include "common/TextUtf.h"
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

}  // namespace velko
