// TReceiptEnum: the receipt numerator of one cash register.
//
// A small file, "ECR" plus the cash-register number, in a folder that every
// driver instance on the machine reaches (by default "velko32" under the
// machine-wide application-data folder). It holds, little-endian, the receipt
// number of the next operation (offset 0) and the receipt number of a
// transaction whose outcome is not yet settled (offset 4; 0 for none). Bytes
// past the first eight are kept as they are; the file is never truncated.
//
// The file doubles as the terminal's lock: Lock opens it exclusively (six
// attempts 200 ms apart), and every other instance that uses the same file
// fails to lock until Unlock. Between operations the file is the truth.
//
// The default folder is looked up again at every Lock and never changes
// silently: it is "velko32" in the machine-wide data folder when that is the
// till's (FolderTrust.h) and this account can work in it, else in the
// user's own. A machine-wide folder that is not the till's is refused (4568
// naming it and its owner), never traded for a fresh numerator elsewhere.
// When the machine-wide folder appears while the user's own holds state, the
// first Lock carries that state over under both locks (the larger next
// number, the unfinished record; two records are voided in turn, the
// machine-wide one first) and renames the old file.
//
// One instance is used on one thread; instances exclude each other through
// the file, in this process and in others.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/LockedFile.h"

namespace velko {

class TReceiptEnum {
 public:
  // Lock results.
  static constexpr int kLocked = 0;
  static constexpr int kCannotOpen = 1;
  static constexpr int kCannotRead = 2;

  static constexpr int kLockAttempts = 6;
  static constexpr uint32_t kLockRetryMs = 200;
  static constexpr size_t kRecordSize = 8;

  // Finds (and when missing and possible creates) the default folder. Never
  // throws: a folder that cannot be used is reported by Lock.
  explicit TReceiptEnum(FileService& files = PlatformFileService());
  ~TReceiptEnum();
  TReceiptEnum(const TReceiptEnum&) = delete;
  TReceiptEnum& operator=(const TReceiptEnum&) = delete;

  [[nodiscard]] int Lock();
  // After a Lock that gave kCannotRead because something other than the
  // numerator file stands in its place: why, naming the path. Else empty.
  const std::wstring& LockError() const { return FLockError; }
  void Unlock(bool Save);
  // Writes the two numbers at offset 0 and pushes them to stable storage.
  // False when not locked or when the record did not reach the file.
  [[nodiscard]] bool SaveData();
  void IncReceiptNumber();
  // Reads the two numbers as the file now holds them, without taking them
  // over: what a write that reported failure actually left there. False when
  // not locked or when the eight bytes cannot be read.
  [[nodiscard]] bool ReadBack(uint32_t& ReceiptNum, uint32_t& VoidReceiptNum);

  uint32_t ReceiptNum() const { return FReceiptNum; }
  uint32_t VoidReceiptNum() const { return FVoidReceiptNum; }
  void SetVoidReceiptNum(uint32_t Value);
  int32_t ECRNumber() const { return FECRNumber; }
  void SetECRNumber(int32_t Value);
  const std::wstring& FileDir() const { return FFileDir; }
  void SetFileDir(const std::wstring& Value);

  bool Locked() const { return FFileHandle != nullptr; }
  std::wstring FilePath() const;

  // Where the default folder is and why (FolderTrust.h); `create`: make a
  // missing one where this account may (never under ScopedLookOnly).
  struct TFolderChoice {
    std::wstring Folder;       // with a delimiter
    bool MachineWide = false;
    bool Exists = false;
    std::wstring Refusal;      // not empty: the folder is not the till's (names it and its owner)
    std::wstring Note;         // why the user's own folder, or the older folder's warning
    std::wstring Fix;          // the one command that gives the till its machine-wide folder
  };
  static TFolderChoice ChooseDefaultFolder(bool create);
  static std::wstring DefaultFolder();
  // The user's own numerator of this register whose state the next Lock in
  // the machine-wide folder carries over; empty when there is none.
  std::wstring PendingMove() const;

  // The receipt number after `Number`: 0 means "no record", so it is skipped.
  static uint32_t NextReceiptNumber(uint32_t Number) { return Number == UINT32_MAX ? 1 : Number + 1; }

 private:
  FileService& FFiles;
  std::wstring FFileDir;
  std::unique_ptr<LockedFile> FFileHandle;
  uint32_t FReceiptNum = 1;
  uint32_t FFileSize = 0;
  uint32_t FVoidReceiptNum = 0;
  int32_t FECRNumber = 1;
  std::wstring FLockError;
  bool FDefault = true;        // FFileDir is the default folder, chosen at every Lock
  std::wstring FLastReported;  // the folder the log last heard of

  // Picks the default folder for this Lock; false (and FLockError) when the
  // machine-wide one is refused.
  bool RefreshDefaultFolder();
  // Carries the user's own numerator's state into the locked one.
  bool MoveOwnNumerator();
};

}  // namespace velko
