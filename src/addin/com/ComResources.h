// Owners for the COM and OLE automation resources the server touches: BSTR,
// VARIANT, SAFEARRAY, interface pointers and registry keys. Each frees its
// resource exactly once, moves but never copies, and can hand it over with
// release(); the server uses nothing else to hold them. The handle-like ones
// are unique_resource (platform/UniqueResource.h) with their own traits; a
// VARIANT is held by value and an interface pointer counts references, so
// those two have owners of their own.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <string>
#include <utility>

#include "platform/UniqueResource.h"

namespace velko::com {

struct bstr_traits {
  using type = BSTR;
  static type invalid() noexcept { return nullptr; }
  static void close(type value) noexcept { SysFreeString(value); }
};

class unique_bstr : public unique_resource<bstr_traits> {
 public:
  using unique_resource::unique_resource;
  // Raises std::bad_alloc when the string cannot be allocated.
  static unique_bstr from(const std::wstring& text);
};

// A VARIANT that is cleared when its owner goes.
class unique_variant {
 public:
  unique_variant() { VariantInit(&value_); }
  unique_variant(unique_variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  unique_variant& operator=(unique_variant&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = other.value_;
      VariantInit(&other.value_);
    }
    return *this;
  }
  unique_variant(const unique_variant&) = delete;
  unique_variant& operator=(const unique_variant&) = delete;
  ~unique_variant() { reset(); }

  VARIANT* get() { return &value_; }
  const VARIANT* get() const { return &value_; }
  VARIANT* operator->() { return &value_; }
  const VARIANT* operator->() const { return &value_; }
  void reset() { VariantClear(&value_); }
  // Moves the value into `target`, which must hold nothing that needs freeing.
  void release_to(VARIANT* target) {
    *target = value_;
    VariantInit(&value_);
  }

 private:
  VARIANT value_;
};

struct safearray_traits {
  using type = SAFEARRAY*;
  static type invalid() noexcept { return nullptr; }
  static void close(type value) noexcept { SafeArrayDestroy(value); }
};
using unique_safearray = unique_resource<safearray_traits>;

// An interface pointer that holds one reference.
template <class T>
class com_ptr {
 public:
  com_ptr() = default;
  com_ptr(std::nullptr_t) {}
  // Takes over a reference the caller already owns.
  static com_ptr attach(T* raw) {
    com_ptr p;
    p.value_ = raw;
    return p;
  }
  com_ptr(const com_ptr& other) : value_(other.value_) {
    if (value_) value_->AddRef();
  }
  com_ptr(com_ptr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  com_ptr& operator=(com_ptr other) noexcept {
    std::swap(value_, other.value_);
    return *this;
  }
  ~com_ptr() { reset(); }

  T* get() const { return value_; }
  T* operator->() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }
  T** put() {
    reset();
    return &value_;
  }
  T* detach() { return std::exchange(value_, nullptr); }
  void reset() {
    if (T* old = std::exchange(value_, nullptr)) old->Release();
  }
  // The interface `riid` of this object, or an empty pointer.
  template <class U>
  com_ptr<U> query(REFIID riid) const {
    com_ptr<U> result;
    if (value_ && FAILED(value_->QueryInterface(riid, reinterpret_cast<void**>(result.put())))) result.reset();
    return result;
  }

 private:
  T* value_ = nullptr;
};

struct hkey_traits {
  using type = HKEY;
  static type invalid() noexcept { return nullptr; }
  static void close(type value) noexcept { RegCloseKey(value); }
};
using unique_hkey = unique_resource<hkey_traits>;

// A block from the COM task allocator, until it is handed to a caller.
struct cotaskmem_traits {
  using type = void*;
  static type invalid() noexcept { return nullptr; }
  static void close(type value) noexcept { CoTaskMemFree(value); }
};
using unique_cotaskmem = unique_resource<cotaskmem_traits>;

}  // namespace velko::com
