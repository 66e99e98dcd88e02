// The host's Native API values to host values and back: the one place where
// the Native component converts what the host passes into what the dispatch
// works on, and where every block handed to the host is allocated.
//
// Conversions raise HostValueError for what the other side cannot hold and
// std::bad_alloc when the host's memory manager refuses a block. Host's thread.
#pragma once

#include <memory>
#include <string>

#include "addin/native/NativeAbi.h"
#include "common/HostValue.h"

namespace velko::native {

// UTF-16 of the host and the driver's wide texts (UTF-16 or UTF-32).
std::wstring FromNativeText(const NativeChar* text, size_t length);
std::wstring FromNativeText(const NativeChar* text);  // zero-terminated; null is empty
std::u16string ToUtf16(const std::wstring& text);

// Blocks of the host's memory manager.
class HostMemory {
 public:
  explicit HostMemory(NativeMemoryManager* manager) : manager_(manager) {}
  // A zero-terminated copy of `text`; throws std::bad_alloc.
  NativeChar* CopyText(const std::wstring& text) const;
  void Free(void* block) const;

 private:
  NativeMemoryManager* manager_;
};

HostValue FromNative(const NativeVariant& value);
// Fills `target` without reading it: what it held is the caller's business.
void ToNative(const HostValue& value, NativeVariant& target, const HostMemory& memory);
// Replaces a value the host owns: the block it held (a text or bytes) goes
// back to the host's memory manager first.
void ReplaceNative(const HostValue& value, NativeVariant& target, const HostMemory& memory);

// The host's parameter array as host values, and back: only the elements the
// method changed are written.
std::shared_ptr<HostArray> ParamsFromNative(const NativeVariant* params, long count);
void WriteBackChanged(NativeVariant* params, const HostArray& before, const HostArray& after,
                      const HostMemory& memory);

// Dates: days since 30.12.1899 and the calendar struct.
NativeTm DateToTm(double days);
double TmToDate(const NativeTm& tm);

}  // namespace velko::native
