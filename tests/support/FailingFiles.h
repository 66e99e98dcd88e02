// A file service whose writes do not reach the disk: reads and locks are the
// platform's own; a write that the rule picks fails (every write without a
// rule), and so does the flush after it. A verdict may instead let the bytes
// reach the file and fail only the flush, as a disk that reports an error
// after taking the data does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/LockedFile.h"

namespace velko::testing {

class FailingWrites : public FileService {
 public:
  // Picks the writes that fail by their offset and bytes.
  using Rule = std::function<bool(uint64_t offset, const unsigned char* data, size_t length)>;

  enum class Failure { kNone, kLost, kUnflushed };
  // Says of each write whether and how it fails.
  using Verdict = std::function<Failure(uint64_t offset, const unsigned char* data, size_t length)>;

  explicit FailingWrites(Rule fails = nullptr)
      : verdict_([fails = std::move(fails)](uint64_t o, const unsigned char* d, size_t n) {
          return !fails || fails(o, d, n) ? Failure::kLost : Failure::kNone;
        }) {}
  explicit FailingWrites(Verdict verdict) : verdict_(std::move(verdict)) {}

  std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) override {
    auto real = PlatformFileService().OpenExclusive(path);
    if (!real) return nullptr;
    return std::make_unique<File>(std::move(real), verdict_);
  }

  // The numerator's writes that clear the record of an unfinished
  // transaction (what an operation writes at its end when all went well).
  static Rule RecordCleared() {
    return [](uint64_t offset, const unsigned char* data, size_t length) {
      return offset == 0 && length >= 8 && (data[4] | data[5] | data[6] | data[7]) == 0;
    };
  }
  // The numerator's writes that record an unfinished transaction.
  static Rule RecordWritten() {
    return [](uint64_t offset, const unsigned char* data, size_t length) {
      return offset == 0 && length >= 8 && (data[4] | data[5] | data[6] | data[7]) != 0;
    };
  }

 private:
  class File : public LockedFile {
   public:
    File(std::unique_ptr<LockedFile> real, const Verdict& verdict) : real_(std::move(real)), verdict_(verdict) {}
    bool Size(uint64_t& s) override { return real_->Size(s); }
    bool LockRange(uint64_t n) override { return real_->LockRange(n); }
    void UnlockRange(uint64_t n) override { real_->UnlockRange(n); }
    bool ReadAt(uint64_t o, void* b, size_t n, size_t& g) override { return real_->ReadAt(o, b, n, g); }
    bool WriteAt(uint64_t o, const void* d, size_t n) override {
      failure_ = verdict_(o, static_cast<const unsigned char*>(d), n);
      if (failure_ == Failure::kLost) return false;
      return real_->WriteAt(o, d, n);
    }
    bool Flush() override { return failure_ == Failure::kNone && real_->Flush(); }

   private:
    std::unique_ptr<LockedFile> real_;
    Verdict verdict_;
    Failure failure_ = Failure::kNone;
  };

  Verdict verdict_;
};

}  // namespace velko::testing
