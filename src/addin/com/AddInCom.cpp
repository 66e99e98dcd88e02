#include "addin/com/AddInCom.h"

#include <new>

#include "addin/com/HostValueCom.h"
#include "common/Common.Log.h"
#include "common/TextUtf.h"

namespace velko::com {
namespace {

// The edge of every COM method: whatever escapes is answered, never thrown.
template <class F>
HRESULT Boundary(F&& operation) noexcept {
  try {
    return static_cast<HRESULT>(operation());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const HostValueError& error) {
    try {
      TLog::Append(L"EXCEPTION", Utf8ToWide(error.what()), TMsgType::mtError);
    } catch (...) {
    }
    return E_INVALIDARG;
  } catch (...) {
    return E_FAIL;
  }
}

// The host's event interface behind the dispatch's event sink.
class ComEventSink final : public IHostEventSink {
 public:
  explicit ComEventSink(com_ptr<IAsyncEvent> event) : event_(std::move(event)) {}

  HResult SetEventBufferDepth(long depth) override { return event_->SetEventBufferDepth(depth); }
  HResult ExternalEvent(const std::wstring& source, const std::wstring& message,
                        const std::wstring& data) override {
    unique_bstr s = unique_bstr::from(source);
    unique_bstr m = unique_bstr::from(message);
    unique_bstr d = unique_bstr::from(data);
    return event_->ExternalEvent(s.get(), m.get(), d.get());
  }

 private:
  com_ptr<IAsyncEvent> event_;
};

// The host's connection object during Init: the interfaces it offers are
// asked for here and held by the dispatch until Done; the connection object
// itself is not kept.
class ComHostConnection final : public IHostConnection {
 public:
  explicit ComHostConnection(IDispatch* connection) : connection_(connection) {}

  std::shared_ptr<IHostEventSink> QueryEventSink() override {
    com_ptr<IAsyncEvent> event;
    if (FAILED(connection_->QueryInterface(IID_IAsyncEvent, reinterpret_cast<void**>(event.put()))) || !event)
      return nullptr;
    return std::make_shared<ComEventSink>(std::move(event));
  }

  std::shared_ptr<void> QueryExtWndsSupport() override {
    com_ptr<IExtWndsSupport> windows;
    if (FAILED(connection_->QueryInterface(IID_IExtWndsSupport, reinterpret_cast<void**>(windows.put()))) ||
        !windows)
      return nullptr;
    // The deleter gives the reference back when the dispatch lets go of it.
    IExtWndsSupport* raw = windows.get();
    std::shared_ptr<void> held(raw, [](void* p) { static_cast<IExtWndsSupport*>(p)->Release(); });
    windows.detach();
    return held;
  }

 private:
  IDispatch* connection_;
};

void PutBstr(BSTR* target, const std::wstring& text) { *target = unique_bstr::from(text).release(); }

}  // namespace

com_ptr<IPropertyLink> TAddInComObject::Create(const TAddInClass& cls) {
  return ComObject<TAddInComObject>::Make<IPropertyLink>(cls);
}

void* TAddInComObject::InternalQueryInterface(REFIID riid) {
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyLink))
    return static_cast<IPropertyLink*>(this);
  if (IsEqualIID(riid, IID_ILanguageExtender)) return static_cast<ILanguageExtender*>(this);
  if (IsEqualIID(riid, IID_ISpecifyPropertyPages)) return static_cast<ISpecifyPropertyPages*>(this);
  if (IsEqualIID(riid, IID_IInitDone)) return static_cast<IInitDone*>(this);
  if (IsEqualIID(riid, IID_IDispatch)) return static_cast<IDispatch*>(this);
  return nullptr;
}

// IPropertyLink.

HRESULT TAddInComObject::ChangeSettings() {
  return Boundary([&] { return object_.ChangeSettings(); });
}

HRESULT TAddInComObject::CapSettingsDlg(BOOL* Value) {
  return Boundary([&]() -> HRESULT {
    if (!Value) return E_POINTER;
    bool capable = false;
    const HResult result = object_.CapSettingsDlg(capable);
    *Value = capable ? TRUE : FALSE;
    return result;
  });
}

// ILanguageExtender.

HRESULT TAddInComObject::RegisterExtensionAs(BSTR* bstrExtensionName) {
  return Boundary([&]() -> HRESULT {
    if (!bstrExtensionName) return E_POINTER;
    std::wstring name;
    const HResult result = object_.RegisterExtensionAs(name);
    if (result == kS_OK) PutBstr(bstrExtensionName, name);
    return result;
  });
}

HRESULT TAddInComObject::GetNProps(long* plProps) {
  return Boundary([&]() -> HRESULT {
    if (!plProps) return E_POINTER;
    int32_t count = 0;
    const HResult result = object_.GetNProps(count);
    *plProps = count;
    return result;
  });
}

HRESULT TAddInComObject::FindProp(BSTR bstrPropName, long* plPropNum) {
  return Boundary([&]() -> HRESULT {
    if (!plPropNum) return E_POINTER;
    int32_t number = -1;
    const HResult result = object_.FindProp(FromBstr(bstrPropName), number);
    *plPropNum = number;
    return result;
  });
}

HRESULT TAddInComObject::GetPropName(long lPropNum, long lPropAlias, BSTR* pbstrPropName) {
  return Boundary([&]() -> HRESULT {
    if (!pbstrPropName) return E_POINTER;
    std::wstring name;
    const HResult result = object_.GetPropName(lPropNum, lPropAlias, name);
    if (result == kS_OK) PutBstr(pbstrPropName, name);
    return result;
  });
}

HRESULT TAddInComObject::GetPropVal(long lPropNum, VARIANT* pvarPropVal) {
  return Boundary([&]() -> HRESULT {
    if (!pvarPropVal) return E_POINTER;
    VariantClear(pvarPropVal);
    HostValue value;
    const HResult result = object_.GetPropVal(lPropNum, value);
    ToVariant(value).release_to(pvarPropVal);
    return result;
  });
}

HRESULT TAddInComObject::SetPropVal(long lPropNum, VARIANT* varPropVal) {
  return Boundary([&]() -> HRESULT {
    const HostValue value = varPropVal ? FromVariant(*varPropVal) : HostValue();
    return object_.SetPropVal(lPropNum, value);
  });
}

// Neither writes its flag: the host's own value stands.
HRESULT TAddInComObject::IsPropReadable(long lPropNum, BOOL*) {
  return Boundary([&] {
    bool unused = false;
    return object_.IsPropReadable(lPropNum, unused);
  });
}

HRESULT TAddInComObject::IsPropWritable(long lPropNum, BOOL*) {
  return Boundary([&] {
    bool unused = false;
    return object_.IsPropWritable(lPropNum, unused);
  });
}

HRESULT TAddInComObject::GetNMethods(long* plMethods) {
  return Boundary([&]() -> HRESULT {
    if (!plMethods) return E_POINTER;
    int32_t count = 0;
    const HResult result = object_.GetNMethods(count);
    *plMethods = count;
    return result;
  });
}

HRESULT TAddInComObject::FindMethod(BSTR bstrMethodName, long* plMethodNum) {
  return Boundary([&]() -> HRESULT {
    if (!plMethodNum) return E_POINTER;
    int32_t number = -1;
    const HResult result = object_.FindMethod(FromBstr(bstrMethodName), number);
    *plMethodNum = number;
    return result;
  });
}

HRESULT TAddInComObject::GetMethodName(long lMethodNum, long lMethodAlias, BSTR* pbstrMethodName) {
  return Boundary([&]() -> HRESULT {
    if (!pbstrMethodName) return E_POINTER;
    std::wstring name;
    const HResult result = object_.GetMethodName(lMethodNum, lMethodAlias, name);
    if (result == kS_OK) PutBstr(pbstrMethodName, name);
    return result;
  });
}

HRESULT TAddInComObject::GetNParams(long lMethodNum, long* plParams) {
  return Boundary([&]() -> HRESULT {
    if (!plParams) return E_POINTER;
    int32_t count = 0;
    const HResult result = object_.GetNParams(lMethodNum, count);
    if (result == kS_OK) *plParams = count;
    return result;
  });
}

HRESULT TAddInComObject::GetParamDefValue(long lMethodNum, long lParamNum, VARIANT* pvarParamDefValue) {
  return Boundary([&]() -> HRESULT {
    if (!pvarParamDefValue) return E_POINTER;
    VariantClear(pvarParamDefValue);
    HostValue value;
    const HResult result = object_.GetParamDefValue(lMethodNum, lParamNum, value);
    ToVariant(value).release_to(pvarParamDefValue);
    return result;
  });
}

HRESULT TAddInComObject::HasRetVal(long lMethodNum, BOOL* pboolRetValue) {
  return Boundary([&]() -> HRESULT {
    if (!pboolRetValue) return E_POINTER;
    int32_t has = 0;
    const HResult result = object_.HasRetVal(lMethodNum, has);
    *pboolRetValue = has;
    return result;
  });
}

HRESULT TAddInComObject::CallAsProc(long lMethodNum, SAFEARRAY** paParams) {
  return Call(lMethodNum, nullptr, paParams, false);
}

HRESULT TAddInComObject::CallAsFunc(long lMethodNum, VARIANT* pvarRetValue, SAFEARRAY** paParams) {
  return Call(lMethodNum, pvarRetValue, paParams, true);
}

HRESULT TAddInComObject::Call(long lMethodNum, VARIANT* pvarRetValue, SAFEARRAY** paParams, bool as_function) {
  // A host that releases this object from inside the call (a handler run
  // while the call waits) must not destroy it under the call.
  IPropertyLink* self = this;
  self->AddRef();
  const auto self_hold = com_ptr<IPropertyLink>::attach(self);
  return Boundary([&]() -> HRESULT {
    if (as_function && !pvarRetValue) return E_POINTER;
    std::shared_ptr<HostArray> params = ParamsFromHost(paParams);
    const HostArray params_before = *params;
    HResult result = kS_OK;
    if (as_function) {
      // What the host left in its return slot is not read: the slot is
      // replaced (and the old value freed) when the method answers.
      HostValue ret;
      result = object_.CallAsFunc(lMethodNum, ret, *params);
      WriteBackChanged(pvarRetValue, HostValue(), ret);
    } else {
      result = object_.CallAsProc(lMethodNum, *params);
    }
    if (paParams) WriteBackChanged(*paParams, params_before, *params);
    return result;
  });
}

HRESULT TAddInComObject::SetLocale(BSTR bstrLocale) {
  return Boundary([&] { return object_.SetLocale(FromBstr(bstrLocale)); });
}

// ISpecifyPropertyPages.

HRESULT TAddInComObject::GetPages(CAUUID* pPages) {
  // {F5ED8AEB-FC31-42B1-949C-76A70E6C5874}; the caller frees the block.
  return Boundary([&]() -> HRESULT {
    if (!pPages) return E_POINTER;
    unique_cotaskmem block(CoTaskMemAlloc(sizeof(GUID)));
    if (!block.get()) return E_OUTOFMEMORY;
    *static_cast<GUID*>(block.get()) = CLSID_AddInPropertyPage;
    pPages->cElems = 1;
    pPages->pElems = static_cast<GUID*>(block.release());
    return S_OK;
  });
}

// IInitDone.

HRESULT TAddInComObject::Init(IDispatch* pConnection) {
  return Boundary([&] {
    if (!pConnection) return object_.Init(nullptr);
    ComHostConnection connection(pConnection);
    return object_.Init(&connection);
  });
}

HRESULT TAddInComObject::Done() {
  return Boundary([&] { return object_.Done(); });
}

HRESULT TAddInComObject::GetInfo(SAFEARRAY** pInfo) {
  return Boundary([&]() -> HRESULT {
    if (!pInfo || !*pInfo) return E_POINTER;
    std::shared_ptr<HostArray> info = FromSafeArray(*pInfo);
    const HostArray before = *info;
    const HResult result = object_.GetInfo(*info);
    WriteBackChanged(*pInfo, before, *info);
    return result;
  });
}

// IDispatch.

HRESULT TAddInComObject::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
HRESULT TAddInComObject::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT TAddInComObject::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT TAddInComObject::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

}  // namespace velko::com
