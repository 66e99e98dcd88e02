#include "platform/FolderTrust.h"

#include <atomic>

namespace velko {
namespace {

std::atomic<int>& LookOnlyCount() {
  static std::atomic<int> count{0};
  return count;
}

}  // namespace

ScopedLookOnly::ScopedLookOnly() { ++LookOnlyCount(); }
ScopedLookOnly::~ScopedLookOnly() { --LookOnlyCount(); }
bool FoldersLookOnly() { return LookOnlyCount().load() > 0; }

FolderVerdict DecideFolder(FolderOwner owner, FolderAccess access, bool repaired, bool keepEveryAccount) {
  const bool made_by_us = owner != FolderOwner::kOther;
  if (made_by_us && access == FolderAccess::kTillOnly) return FolderVerdict::kUse;
  if (repaired) return FolderVerdict::kUseRepaired;
  // Tills already number there: sending them to a fresh numerator elsewhere
  // would repeat receipt numbers, which is worse than the warning.
  if (made_by_us && access == FolderAccess::kEveryAccount && keepEveryAccount) return FolderVerdict::kUseWarned;
  return FolderVerdict::kRefuse;
}

}  // namespace velko
