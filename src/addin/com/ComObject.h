// The server's COM objects and the process-wide counts that decide whether the
// module may be unloaded.
//
// ComObject<Impl> is the one place where a COM object is allocated and freed:
// Make() creates it holding one reference, and the last Release() deletes it.
// Impl derives from its interfaces (in the order of its interface table) and
// supplies InternalQueryInterface; the reference count and the module's count
// of live objects live here.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <utility>

#include "addin/com/ComResources.h"

namespace velko::com {

// Live objects of the module and outstanding IClassFactory::LockServer(TRUE).
void ModuleObjectCreated() noexcept;
void ModuleObjectDestroyed() noexcept;
void ModuleLock(bool lock) noexcept;
bool ModuleInUse() noexcept;

template <class Impl>
class ComObject final : public Impl {
 public:
  // A new object seen through `Primary`, one of its interfaces. Raises
  // std::bad_alloc (or what Impl's constructor raises).
  template <class Primary, class... Args>
  static com_ptr<Primary> Make(Args&&... args) {
    return com_ptr<Primary>::attach(static_cast<Primary*>(new ComObject(std::forward<Args>(args)...)));
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = Impl::InternalQueryInterface(riid);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  template <class... Args>
  explicit ComObject(Args&&... args) : Impl(std::forward<Args>(args)...) {
    ModuleObjectCreated();
  }
  ~ComObject() override { ModuleObjectDestroyed(); }

  LONG refs_ = 1;
};

}  // namespace velko::com
