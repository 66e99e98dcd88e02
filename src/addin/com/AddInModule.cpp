// The in-process server module: the load-time steps, the class factories of
// the add-in's classes, the registry entries, and the five exports.
//
// Every class of the add-in (AddInClasses) is served under a CLSID and ProgID
// of its own, "AddIn.<class name>"; one DLL registers and unregisters them all.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>

#include "addin/AddInClasses.h"
#include "addin/AddInLib.h"
#include "addin/com/AddInCom.h"
#include "addin/com/ComObject.h"
#include "addin/com/ComResources.h"
#include "addin/com/ModuleDriver.h"
#include "common/BaseSecurity.h"
#include "common/Common.Log.h"

namespace velko::com {
namespace {

// Process-wide by nature: the module's handle and what keeps it loaded.
HMODULE g_module = nullptr;
std::atomic<long> g_live_objects{0};
std::atomic<long> g_locks{0};

constexpr const wchar_t* kDescription = L"V7 AddIn 2.0";
constexpr const wchar_t* kThreadingModel = L"Apartment";
constexpr const wchar_t* kUserPrefix = L"Software\\Classes\\";

// The steps that must precede the first object. They run once, on the first
// request for the class factory rather than inside DllMain: the debug log's
// file name needs the shell's folder lookup, which is not safe under the
// loader lock.
void PrepareModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterModuleDriverClass();
    // The debug log is optional: a machine without a writable data folder
    // still gets a working add-in, with a log that writes nowhere.
    try {
      TLog::SetLogFileName(L"a_velko1c83", L"");
    } catch (...) {
    }
  });
}

// A class as COM knows it: its add-in class and the CLSID it is served under.
struct ServedClass {
  const wchar_t* ExtensionName;  // a class of AddInClasses()
  const GUID& Clsid;
};

constexpr ServedClass kServed[] = {
    {L"a_velko1c83", CLSID_AddInVelko},
    {L"a_velko1c83_3004", CLSID_AddInVelko3004},
    {L"a_velko1c83_4000", CLSID_AddInVelko4000},
};

std::wstring ProgID(const ServedClass& served) { return std::wstring(L"AddIn.") + served.ExtensionName; }

// The add-in class behind a served one; every name above is one of them.
const TAddInClass& AddInClassOf(const ServedClass& served) {
  const TAddInClass* cls = FindAddInClass(served.ExtensionName);
  if (!cls) throw std::logic_error("a served COM class that the add-in does not offer");
  return *cls;
}

// One factory per served class, making objects of that class.
class TClassFactory final : public IClassFactory {
 public:
  explicit TClassFactory(const ServedClass& served) : served_(served) {}

  // The factory lives as long as the module; references do not own it.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      PrepareModule();
      // Every request gives a new object; the reference of Create() goes when
      // `object` does, leaving the one QueryInterface handed out.
      com_ptr<IPropertyLink> object = TAddInComObject::Create(AddInClassOf(served_));
      return object->QueryInterface(riid, ppv);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    ModuleLock(lock != FALSE);
    return S_OK;
  }

 private:
  const ServedClass& served_;
};

// The factories, in the order of kServed; they live as long as the module.
TClassFactory* Factories() {
  static TClassFactory factories[] = {TClassFactory(kServed[0]), TClassFactory(kServed[1]),
                                      TClassFactory(kServed[2])};
  static_assert(std::size(factories) == std::size(kServed));
  return factories;
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  if (StringFromGUID2(guid, text, 40) == 0) throw std::runtime_error("StringFromGUID2 failed");
  return text;
}

std::wstring ClsidKey(const ServedClass& served) { return L"CLSID\\" + GuidText(served.Clsid); }

// The path the registry names: the module's own, in its short form when it has
// a blank.
std::wstring ServerPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) throw std::runtime_error("GetModuleFileName failed");
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  if (path.find(L' ') == std::wstring::npos) return path;
  const DWORD need = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (need == 0) throw std::runtime_error("GetShortPathName failed");
  std::wstring short_path(need, L'\0');
  const DWORD n = GetShortPathNameW(path.c_str(), short_path.data(), need);
  if (n == 0 || n >= need) throw std::runtime_error("GetShortPathName failed");
  short_path.resize(n);
  return short_path;
}

// Where the entries go (`root`, `prefix`), and the key that stores them
// (`store`, `store_prefix`): HKEY_CLASSES_ROOT is a merged view whose
// machine-wide part lives in HKEY_LOCAL_MACHINE\Software\Classes.
struct RegistryRoot {
  HKEY root;
  const wchar_t* prefix;
  HKEY store;
  const wchar_t* store_prefix;
};

RegistryRoot MachineRoot() { return {HKEY_CLASSES_ROOT, L"", HKEY_LOCAL_MACHINE, L"Software\\Classes\\"}; }
RegistryRoot UserRoot() { return {HKEY_CURRENT_USER, kUserPrefix, HKEY_CURRENT_USER, kUserPrefix}; }

// On 64-bit Windows the 32-bit and the 64-bit DLL register the same class in
// two registry views: the class keys are kept apart, while the ProgID key is
// one key that both views share. The view of the other bitness, or 0 on a
// 32-bit Windows, which has one view only.
REGSAM OtherView() {
#ifdef _WIN64
  return KEY_WOW64_32KEY;
#else
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
#endif
}

void SetValueIn(HKEY root, const std::wstring& path, REGSAM view, const wchar_t* name, const std::wstring& value) {
  unique_hkey handle;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | view, nullptr,
                      handle.put(), nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("RegCreateKeyEx failed");
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  if (RegSetValueExW(handle.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) !=
      ERROR_SUCCESS)
    throw std::runtime_error("RegSetValueEx failed");
}

void SetValue(const RegistryRoot& where, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  SetValueIn(where.root, where.prefix + key, 0, name, value);
}

bool KeyExistsIn(HKEY root, const std::wstring& path, REGSAM view) {
  unique_hkey handle;
  return RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) == ERROR_SUCCESS;
}

void DeleteKey(const RegistryRoot& where, const std::wstring& key) {
  const std::wstring path = where.prefix + key;
  const LONG status = RegDeleteKeyW(where.root, path.c_str());
  // A key that is already gone is what unregistration wants.
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) throw std::runtime_error("RegDeleteKey failed");
}

void RegisterServedClass(const RegistryRoot& where, const ServedClass& served, const std::wstring& server_path) {
  const std::wstring clsid = ClsidKey(served);
  const std::wstring prog_id = ProgID(served);
  SetValue(where, clsid, nullptr, kDescription);
  SetValue(where, clsid + L"\\InprocServer32", nullptr, server_path);
  SetValue(where, clsid + L"\\InprocServer32", L"ThreadingModel", kThreadingModel);
  SetValue(where, prog_id, nullptr, kDescription);
  SetValue(where, prog_id + L"\\Clsid", nullptr, GuidText(served.Clsid));
  SetValue(where, clsid + L"\\ProgID", nullptr, prog_id);
}

void UnregisterServedClass(const RegistryRoot& where, const ServedClass& served) {
  const std::wstring clsid = ClsidKey(served);
  const std::wstring prog_id = ProgID(served);
  DeleteKey(where, clsid + L"\\ProgID");
  DeleteKey(where, prog_id + L"\\Clsid");
  DeleteKey(where, prog_id);
  DeleteKey(where, clsid + L"\\InprocServer32");
  DeleteKey(where, clsid);
  // The DLL of the other bitness may still serve the class from the other
  // view; its host must go on finding the class by the shared ProgID.
  const REGSAM other = OtherView();
  const std::wstring store = where.store_prefix;
  if (other != 0 && KeyExistsIn(where.store, store + clsid + L"\\InprocServer32", other) &&
      !KeyExistsIn(where.store, store + prog_id + L"\\Clsid", other)) {
    SetValueIn(where.store, store + prog_id, other, nullptr, kDescription);
    SetValueIn(where.store, store + prog_id + L"\\Clsid", other, nullptr, GuidText(served.Clsid));
  }
}

HRESULT RegisterServer(const RegistryRoot& where) noexcept {
  try {
    const std::wstring server_path = ServerPath();
    for (const ServedClass& served : kServed) RegisterServedClass(where, served, server_path);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

// Every class is attempted, so that one class's fault leaves no other behind.
HRESULT UnregisterServer(const RegistryRoot& where) noexcept {
  HRESULT result = S_OK;
  for (const ServedClass& served : kServed) {
    try {
      UnregisterServedClass(where, served);
    } catch (...) {
      result = E_FAIL;
    }
  }
  return result;
}

}  // namespace

void ModuleObjectCreated() noexcept { ++g_live_objects; }
void ModuleObjectDestroyed() noexcept {
  // The last object is gone: the log's closing line is written here, on the
  // host's thread, since the module's unload runs under the loader lock.
  if (--g_live_objects == 0) TLog::Stop();
}
void ModuleLock(bool lock) noexcept {
  if (lock)
    ++g_locks;
  else
    --g_locks;
}
bool ModuleInUse() noexcept { return g_live_objects.load() > 0 || g_locks.load() > 0; }

}  // namespace velko::com

using namespace velko::com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
    Factories();
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  TClassFactory* factory = nullptr;
  for (size_t i = 0; i < std::size(kServed); ++i)
    if (IsEqualCLSID(rclsid, kServed[i].Clsid)) factory = &Factories()[i];
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  try {
    PrepareModule();
  } catch (...) {
    return E_FAIL;
  }
  return factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return ModuleInUse() ? S_FALSE : S_OK; }

STDAPI DllRegisterServer() {
  const HRESULT result = RegisterServer(MachineRoot());
  if (SUCCEEDED(result)) velko::PrepareTillFolders();  // elevated: the folders get the till's list
  return result;
}

STDAPI DllUnregisterServer() { return UnregisterServer(MachineRoot()); }

STDAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine) {
  const bool per_user = pszCmdLine && CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, pszCmdLine, -1,
                                                     L"user", -1) == CSTR_EQUAL;
  const RegistryRoot where = per_user ? UserRoot() : MachineRoot();
  if (!bInstall) return UnregisterServer(where);
  const HRESULT result = RegisterServer(where);
  if (result == E_FAIL) UnregisterServer(where);  // leave no half registration behind
  return result;
}
