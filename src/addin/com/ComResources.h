// Owners for the COM and OLE automation resources the server touches: BSTR,
// VARIANT, SAFEARRAY, interface pointers and registry keys. Each frees its
// resource exactly once, moves but never copies, and can hand it over with
// release(); the server uses nothing else to hold them.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace velko::com {

class unique_bstr {
 public:
  unique_bstr() = default;
  explicit unique_bstr(BSTR value) : value_(value) {}
  // Raises std::bad_alloc when the string cannot be allocated.
  static unique_bstr from(const std::wstring& text);
  unique_bstr(unique_bstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  unique_bstr& operator=(unique_bstr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.value_, nullptr));
    return *this;
  }
  unique_bstr(const unique_bstr&) = delete;
  unique_bstr& operator=(const unique_bstr&) = delete;
  ~unique_bstr() { reset(); }

  BSTR get() const { return value_; }
  BSTR release() { return std::exchange(value_, nullptr); }
  void reset(BSTR value = nullptr) {
    if (value_) SysFreeString(value_);
    value_ = value;
  }

 private:
  BSTR value_ = nullptr;
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

class unique_safearray {
 public:
  unique_safearray() = default;
  explicit unique_safearray(SAFEARRAY* value) : value_(value) {}
  unique_safearray(unique_safearray&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  unique_safearray& operator=(unique_safearray&& other) noexcept {
    if (this != &other) reset(std::exchange(other.value_, nullptr));
    return *this;
  }
  unique_safearray(const unique_safearray&) = delete;
  unique_safearray& operator=(const unique_safearray&) = delete;
  ~unique_safearray() { reset(); }

  SAFEARRAY* get() const { return value_; }
  SAFEARRAY* release() { return std::exchange(value_, nullptr); }
  void reset(SAFEARRAY* value = nullptr) {
    if (value_) SafeArrayDestroy(value_);
    value_ = value;
  }

 private:
  SAFEARRAY* value_ = nullptr;
};

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

class unique_hkey {
 public:
  unique_hkey() = default;
  explicit unique_hkey(HKEY value) : value_(value) {}
  unique_hkey(unique_hkey&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  unique_hkey& operator=(unique_hkey&& other) noexcept {
    if (this != &other) reset(std::exchange(other.value_, nullptr));
    return *this;
  }
  unique_hkey(const unique_hkey&) = delete;
  unique_hkey& operator=(const unique_hkey&) = delete;
  ~unique_hkey() { reset(); }

  HKEY get() const { return value_; }
  HKEY* put() {
    reset();
    return &value_;
  }
  void reset(HKEY value = nullptr) {
    if (value_) RegCloseKey(value_);
    value_ = value;
  }

 private:
  HKEY value_ = nullptr;
};

// A block from the COM task allocator, until it is handed to a caller.
class unique_cotaskmem {
 public:
  explicit unique_cotaskmem(void* value) : value_(value) {}
  unique_cotaskmem(const unique_cotaskmem&) = delete;
  unique_cotaskmem& operator=(const unique_cotaskmem&) = delete;
  ~unique_cotaskmem() {
    if (value_) CoTaskMemFree(value_);
  }
  void* get() const { return value_; }
  void* release() { return std::exchange(value_, nullptr); }

 private:
  void* value_;
};

}  // namespace velko::com
