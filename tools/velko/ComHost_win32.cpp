#include "ComHost.h"

#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "addin/AddInLib.h"
#include "addin/com/ComResources.h"
#include "addin/com/HostValueCom.h"
#include "common/TextUtf.h"

namespace velko::tool {
namespace {

using com::com_ptr;
using com::unique_bstr;
using com::unique_safearray;
using com::unique_variant;

std::string HResultText(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

// The thread's membership of a single-threaded apartment, as the host's own.
class Apartment {
 public:
  Apartment() {
    const HRESULT status = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(status)) throw std::runtime_error("the COM runtime did not start: " + HResultText(status));
  }
  ~Apartment() { CoUninitialize(); }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
};

// The connection object handed to Init: IDispatch with the host's event and
// window-support interfaces behind it. Owned by the ComHost, which releases
// the add-in object before it; references only count.
class Connection final : public IDispatch, public IAsyncEvent, public IExtWndsSupport {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch))
      *ppv = static_cast<IDispatch*>(this);
    else if (IsEqualIID(riid, IID_IAsyncEvent))
      *ppv = static_cast<IAsyncEvent*>(this);
    else if (IsEqualIID(riid, IID_IExtWndsSupport))
      *ppv = static_cast<IExtWndsSupport*>(this);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE SetEventBufferDepth(long depth) override {
    depth_ = depth;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetEventBufferDepth(long* depth) override {
    if (!depth) return E_POINTER;
    *depth = depth_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR, BSTR, BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CleanBuffer() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE GetAppMainFrame(HWND* hwnd) override {
    if (!hwnd) return E_POINTER;
    *hwnd = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAppMDIFrame(HWND* hwnd) override { return GetAppMainFrame(hwnd); }
  HRESULT STDMETHODCALLTYPE CreateAddInWindow(BSTR, BSTR, long, long, RECT*, long, HWND*, IDispatch**) override {
    return E_NOTIMPL;
  }

 private:
  LONG refs_ = 0;
  long depth_ = 0;
};

class ComHost final : public Host {
 public:
  explicit ComHost(const TAddInClass& cls) {
    const std::wstring prog_id = std::wstring(L"AddIn.") + cls.ExtensionName;
    const std::string name = WideToUtf8(prog_id);
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(prog_id.c_str(), &clsid))) {
      // A DLL of a version before the later classes registers the first class alone.
      CLSID first{};
      const std::wstring first_id = std::wstring(L"AddIn.") + DefaultAddInClass().ExtensionName;
      if (&cls != &DefaultAddInClass() && SUCCEEDED(CLSIDFromProgID(first_id.c_str(), &first)))
        throw std::runtime_error(name + " is not registered, " + WideToUtf8(first_id) +
                                 " is: the registered a_velko1c83.dll is older than this class; register this "
                                 "version's DLL (regsvr32 a_velko1c83.dll)");
      throw std::runtime_error(name + " is not registered (regsvr32 a_velko1c83.dll)");
    }
    const HRESULT created =
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone, reinterpret_cast<void**>(init_.put()));
    if (created == REGDB_E_CLASSNOTREG)
      throw std::runtime_error(name + " is registered, but not for " +
                               (sizeof(void*) == 8 ? "64" : "32") + "-bit programs: register the " +
                               (sizeof(void*) == 8 ? "64" : "32") + "-bit a_velko1c83.dll, or use the velko.exe "
                               "of the other bitness");
    if (FAILED(created)) throw std::runtime_error(name + " could not be created: " + HResultText(created));
    lang_ = init_.query<ILanguageExtender>(IID_ILanguageExtender);
    if (!lang_) throw std::runtime_error(name + " offers no ILanguageExtender");
    const HRESULT initialised = init_->Init(static_cast<IDispatch*>(&connection_));
    if (initialised != S_OK) throw std::runtime_error(name + " refused Init: " + HResultText(initialised));
    initialised_ = true;
    // The object the registration leads to must be of the class asked for,
    // as the host takes it by the name it registers as.
    unique_bstr extension;
    if (FAILED(lang_->RegisterExtensionAs(extension.put())) || com::FromBstr(extension.get()) != cls.ExtensionName) {
      init_->Done();
      initialised_ = false;
      throw std::runtime_error(name + " created an object that names itself " +
                               WideToUtf8(com::FromBstr(extension.get())));
    }
  }
  ~ComHost() override {
    if (initialised_) init_->Done();
    lang_.reset();
    init_.reset();
  }
  ComHost(const ComHost&) = delete;
  ComHost& operator=(const ComHost&) = delete;

  void SetSetting(const std::string& id, const std::string& text) override {
    const long number = Property(id);
    // The current value's type is the setting's declared type.
    const HostValue current = Read(number);
    const TDataType type = current.IsBoolean()                   ? TDataType::dtBoolean
                           : current.IsString()                  ? TDataType::dtString
                           : current.BaseType() == vt::kDate     ? TDataType::dtDateTime
                                                                 : TDataType::dtNumber;
    if (Write(number, SettingValueFromText(id, text, type)) != S_OK)
      throw std::runtime_error("the setting " + id + " could not be written");
  }

  HResult SetProperty(const std::string& id, const HostValue& value) override {
    return static_cast<HResult>(Write(Property(id), value));
  }

  std::optional<HostValue> GetProperty(const std::string& id) override {
    unique_bstr name = unique_bstr::from(Utf8ToWide(id));
    long number = -1;
    if (FAILED(lang_->FindProp(name.get(), &number)) || number < 0) return std::nullopt;
    return Read(number);
  }

  CallResult Call(const std::string& name, std::vector<HostValue> params) override {
    CallResult result;
    result.number = Method(Utf8ToWide(name));
    if (result.number < 0) throw std::runtime_error("no method named " + name);
    BSTR method = nullptr;
    lang_->GetMethodName(result.number, 0, &method);
    result.method = com::FromBstr(unique_bstr(method).get());
    long count = 0;
    lang_->GetNParams(result.number, &count);
    if (params.size() > static_cast<size_t>(count))
      throw std::runtime_error(name + " takes " + std::to_string(count) + " parameters, not " +
                               std::to_string(params.size()));
    params.resize(static_cast<size_t>(count));
    HostValue ret;
    result.hresult = Invoke(result.number, std::move(params), ret, result.params);
    result.ret = ret;

    const long error_method = Method(L"ПолучитьОшибку");
    result.truth = Truth(ret.Deref(), result.number != error_method);
    if (error_method >= 0) {
      HostValue code;
      std::shared_ptr<HostArray> error_params;
      Invoke(error_method, {HostValue()}, code, error_params);
      try {
        result.lastErrorCode = code.ToInt32();
        if (error_params && !error_params->Items().empty())
          result.lastErrorText = error_params->Items()[0].ToText();
      } catch (const HostValueError&) {
      }
    }
    return result;
  }

 private:
  // The method's own Boolean answer as far as the COM boundary shows it. The
  // DLL hands the oldest host (an executable named 1cv7...) 1 or 0 instead;
  // only "ПолучитьОшибку" answers a number of its own, its code.
  static std::optional<bool> Truth(const HostValue& ret, bool may_be_converted) {
    if (ret.IsBoolean()) return ret.ToBool();
    if (!may_be_converted || !RunningAsOldestHost() || ret.BaseType() != vt::kInt32) return std::nullopt;
    const int32_t number = ret.ToInt32();
    if (number != 0 && number != 1) return std::nullopt;
    return number == 1;
  }

  // The DLL's own test of the host platform: the executable's name begins with "1CV7".
  static bool RunningAsOldestHost() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring name(path, length);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    return name.size() >= 4 && CompareStringOrdinal(name.c_str(), 4, L"1CV7", 4, TRUE) == CSTR_EQUAL;
  }

  long Method(const std::wstring& name) {
    unique_bstr text = unique_bstr::from(name);
    long number = -1;
    if (FAILED(lang_->FindMethod(text.get(), &number))) return -1;
    return number;
  }

  long Property(const std::string& id) {
    unique_bstr name = unique_bstr::from(Utf8ToWide(id));
    long number = -1;
    if (FAILED(lang_->FindProp(name.get(), &number)) || number < 0)
      throw std::runtime_error("no setting named " + id);
    return number;
  }

  HostValue Read(long number) {
    unique_variant value;
    lang_->GetPropVal(number, value.get());
    return com::FromVariant(*value.get());
  }

  HRESULT Write(long number, const HostValue& value) {
    unique_variant variant = com::ToVariant(value);
    return lang_->SetPropVal(number, variant.get());
  }

  // Calls a method with the parameters as the host's own array, and reads the
  // array back as the method left it.
  HResult Invoke(long number, std::vector<HostValue> params, HostValue& ret, std::shared_ptr<HostArray>& out) {
    unique_safearray array = com::ToSafeArray(*HostArray::Vector(std::move(params)));
    SAFEARRAY* raw = array.get();
    unique_variant value;
    const HRESULT status = lang_->CallAsFunc(number, value.get(), &raw);
    ret = com::FromVariant(*value.get());
    out = com::FromSafeArray(array.get());
    if (!out) out = HostArray::Vector({});
    return static_cast<HResult>(status);
  }

  Apartment apartment_;
  Connection connection_;
  com_ptr<IInitDone> init_;
  com_ptr<ILanguageExtender> lang_;
  bool initialised_ = false;
};

}  // namespace

std::unique_ptr<Host> CreateComHost(const TAddInClass& cls) { return std::make_unique<ComHost>(cls); }

}  // namespace velko::tool
