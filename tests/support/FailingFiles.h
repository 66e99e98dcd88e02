// A file service whose writes never reach the disk: reads and locks are the
// platform's own, every write and flush fails.
#pragma once

#include <memory>
#include <string>

#include "platform/LockedFile.h"

namespace velko::testing {

class FailingWrites : public FileService {
 public:
  std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) override {
    auto real = PlatformFileService().OpenExclusive(path);
    if (!real) return nullptr;
    return std::make_unique<File>(std::move(real));
  }

 private:
  class File : public LockedFile {
   public:
    explicit File(std::unique_ptr<LockedFile> real) : real_(std::move(real)) {}
    bool Size(uint64_t& s) override { return real_->Size(s); }
    bool LockRange(uint64_t n) override { return real_->LockRange(n); }
    void UnlockRange(uint64_t n) override { real_->UnlockRange(n); }
    bool ReadAt(uint64_t o, void* b, size_t n, size_t& g) override { return real_->ReadAt(o, b, n, g); }
    bool WriteAt(uint64_t, const void*, size_t) override { return false; }
    bool Flush() override { return false; }

   private:
    std::unique_ptr<LockedFile> real_;
  };
};

}  // namespace velko::testing
