// The host stand-in: a Windows program that knows the driver only through COM
// and the add-in interface declarations. It registers the module with the
// system's regsvr32, creates the add-in object by its ProgID, and plays the
// host's part in every call.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <iostream>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "HostStandIn.h"
#include "support/MisalignedCall.h"

namespace {

using host::Bstr;
using host::Variant;

// The classes the DLL serves, each under a ProgID and a CLSID of its own; the
// first is the one the tests below the registration ones create.
struct ServedClass {
  const wchar_t* name;  // what the object's RegisterExtensionAs answers
  const wchar_t* prog_id;
  const wchar_t* clsid;
  std::wstring ClsidKey() const { return std::wstring(L"CLSID\\") + clsid; }
};
const ServedClass kClasses[] = {
    {L"a_velko1c83", L"AddIn.a_velko1c83", L"{9A00111C-A9DA-4A0E-BA5A-CE340F0D29D7}"},
    {L"a_velko1c83_3004", L"AddIn.a_velko1c83_3004", L"{5783D330-7120-4395-B928-5C554BB4B8FD}"},
    {L"a_velko1c83_4000", L"AddIn.a_velko1c83_4000", L"{6F89C046-7288-4E30-8811-38FF988F139A}"},
};
constexpr const wchar_t* kProgID = L"AddIn.a_velko1c83";
const std::wstring kClsidKey = kClasses[0].ClsidKey();
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring TestFolder() { return host::FolderOf(host::ModulePath()); }
std::wstring DllPath() { return TestFolder() + L"\\a_velko1c83.dll"; }
std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }
bool RunningAsOldHost() { return _wcsicmp(host::FileNameOf(host::ModulePath()).c_str(), L"1cv7.exe") == 0; }
// This program started again to load and unload the DLL in a process of its own.
bool RunningAsReloadChild() { return GetEnvironmentVariableW(L"VELKO_RELOAD_CHILD", nullptr, 0) != 0; }

long Regsvr32(const std::wstring& options, const std::wstring& dll = DllPath(),
              const std::wstring& regsvr32 = L"regsvr32.exe") {
  return host::RunAndWait(Quoted(regsvr32) + L" /s " + options + (options.empty() ? L"" : L" ") + Quoted(dll));
}

// An interface pointer of the test: one reference, released at scope end.
template <class T>
class Ref {
 public:
  Ref() = default;
  ~Ref() { reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// The entries of a registration below `root`\`prefix`, as the test expects
// them, for every class.
void ExpectRegistered(HKEY root, const std::wstring& prefix, const std::wstring& dll) {
  for (const ServedClass& cls : kClasses) {
    SCOPED_TRACE(Narrow(cls.prog_id));
    const std::wstring clsid = prefix + cls.ClsidKey(), prog_id = prefix + cls.prog_id;
    EXPECT_EQ(host::RegText(root, clsid), L"V7 AddIn 2.0");
    EXPECT_EQ(host::RegText(root, clsid + L"\\InprocServer32"), dll);
    EXPECT_EQ(host::RegText(root, clsid + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(host::RegText(root, prog_id), L"V7 AddIn 2.0");
    EXPECT_EQ(host::RegText(root, prog_id + L"\\Clsid"), cls.clsid);
    EXPECT_EQ(host::RegText(root, clsid + L"\\ProgID"), cls.prog_id);
  }
}

void ExpectUnregistered(HKEY root, const std::wstring& prefix) {
  for (const ServedClass& cls : kClasses) {
    EXPECT_FALSE(host::RegKeyExists(root, prefix + cls.ClsidKey())) << Narrow(cls.prog_id);
    EXPECT_FALSE(host::RegKeyExists(root, prefix + cls.prog_id)) << Narrow(cls.prog_id);
  }
}

// Registered machine-wide for the whole program, so that every test finds the
// class by its ProgID; the data folder is a temporary one.
class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // The program that started the copy registered the server.
    if (RunningAsOldHost() || RunningAsReloadChild()) return;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    data_ = std::wstring(temp) + L"velko-com-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(data_.c_str(), nullptr);
    SetEnvironmentVariableW(L"VELKO_COMMON_APPDATA", data_.c_str());
    _wputenv_s(L"VELKO_COMMON_APPDATA", data_.c_str());
    ASSERT_EQ(Regsvr32(L""), 0) << "regsvr32 could not register " << std::string(DllPath().begin(), DllPath().end());
  }
  void TearDown() override {
    if (!RunningAsOldHost() && !RunningAsReloadChild()) Regsvr32(L"/u");
  }

 private:
  std::wstring data_;
};

// ---------------------------------------------------------------- registration

// Each ProgID leads to an object of its own class: the host takes the object
// by the name it registers as.
TEST(Registration, MachineWideWritesTheEntriesAndUnregistrationRemovesThem) {
  ASSERT_EQ(Regsvr32(L""), 0);
  ExpectRegistered(HKEY_CLASSES_ROOT, L"", DllPath());
  for (const ServedClass& cls : kClasses) {
    SCOPED_TRACE(Narrow(cls.prog_id));
    CLSID clsid{}, expected{};
    ASSERT_EQ(CLSIDFromProgID(cls.prog_id, &clsid), S_OK);
    ASSERT_EQ(CLSIDFromString(cls.clsid, &expected), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, expected));
    Ref<IInitDone> object;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone, object.put_void()), S_OK);
    host::Connection connection;
    ASSERT_EQ(object->Init(static_cast<IDispatch*>(&connection)), S_OK);
    Ref<ILanguageExtender> lang;
    ASSERT_EQ(object->QueryInterface(IID_ILanguageExtender, lang.put_void()), S_OK);
    Bstr name;
    ASSERT_EQ(lang->RegisterExtensionAs(&name.b), S_OK);
    EXPECT_EQ(name.text(), cls.name);
    EXPECT_EQ(object->Done(), S_OK);
  }
  EXPECT_TRUE(IsEqualCLSID(CLSID_AddInVelko, [] {
    CLSID clsid{};
    CLSIDFromString(kClasses[0].clsid, &clsid);
    return clsid;
  }())) << "the declaration the other tests use names the first class";

  ASSERT_EQ(Regsvr32(L"/u"), 0);
  ExpectUnregistered(HKEY_CLASSES_ROOT, L"");
  for (const ServedClass& cls : kClasses) {
    CLSID clsid{};
    EXPECT_NE(CLSIDFromProgID(cls.prog_id, &clsid), S_OK) << Narrow(cls.prog_id);
  }
  ASSERT_EQ(Regsvr32(L""), 0);  // the other tests need it
}

TEST(Registration, PerUserWritesBelowTheUsersClassesOnly) {
  ASSERT_EQ(Regsvr32(L"/u"), 0);
  ASSERT_EQ(Regsvr32(L"/n /i:user"), 0);
  ExpectRegistered(HKEY_CURRENT_USER, L"Software\\Classes\\", DllPath());
  EXPECT_FALSE(host::RegKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + kClsidKey));

  // Letter case of the command line does not matter.
  ASSERT_EQ(Regsvr32(L"/u /n /i:USER"), 0);
  ExpectUnregistered(HKEY_CURRENT_USER, L"Software\\Classes\\");
  ASSERT_EQ(Regsvr32(L""), 0);
  ExpectRegistered(HKEY_CLASSES_ROOT, L"", DllPath());
}

TEST(Registration, PerUserRegistrationAloneLetsTheHostCreateTheObject) {
  ASSERT_EQ(Regsvr32(L"/u"), 0);
  ASSERT_EQ(Regsvr32(L"/n /i:user"), 0);
  CLSID clsid{};
  const HRESULT found = CLSIDFromProgID(kProgID, &clsid);
  Ref<IInitDone> object;
  const HRESULT created =
      found == S_OK ? CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone, object.put_void()) : found;
  object.reset();
  Regsvr32(L"/u /n /i:user");
  ASSERT_EQ(Regsvr32(L""), 0);
  if (found != S_OK) GTEST_SKIP() << "this COM runtime does not merge the user's classes into HKEY_CLASSES_ROOT";
  EXPECT_EQ(created, S_OK);
}

TEST(Registration, APathWithABlankIsRegisteredInItsShortForm) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"velko dir " + std::to_wstring(GetCurrentProcessId());
  const std::wstring dll = folder + L"\\a_velko1c83.dll";
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(DllPath().c_str(), dll.c_str(), FALSE));
  wchar_t short_path[MAX_PATH] = {};
  const DWORD n = GetShortPathNameW(dll.c_str(), short_path, MAX_PATH);

  const long registered = Regsvr32(L"", dll);
  const auto server = host::RegText(HKEY_CLASSES_ROOT, kClsidKey + L"\\InprocServer32");
  Regsvr32(L"/u", dll);
  ASSERT_EQ(Regsvr32(L""), 0);
  DeleteFileW(dll.c_str());
  RemoveDirectoryW(folder.c_str());

  ASSERT_EQ(registered, 0);
  ASSERT_TRUE(server.has_value());
  if (n == 0 || std::wstring(short_path).find(L' ') != std::wstring::npos)
    GTEST_SKIP() << "this file system gives no short name without blanks";
  EXPECT_EQ(*server, std::wstring(short_path));
  EXPECT_EQ(server->find(L' '), std::wstring::npos);
}

// The DLL of the other bitness (the other mingw preset's build, named by the
// test's environment), its regsvr32, and the other registry view; empty or 0
// where this machine or build has none.
std::wstring OtherDll() {
  const wchar_t* path = _wgetenv(L"VELKO_OTHER_DLL");
  return path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? path : L"";
}
REGSAM OtherView() {
  if (sizeof(void*) == 8) return KEY_WOW64_32KEY;
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
}
std::wstring OtherRegsvr32() {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + (sizeof(void*) == 8 ? L"\\SysWOW64" : L"\\Sysnative") + L"\\regsvr32.exe";
}

// What the other bitness's regsvr32 writes and removes, done by this
// program, for machines that cannot run the other bitness's programs.
void WriteInView(HKEY store, const std::wstring& key, REGSAM view, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(store, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &handle, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
}

// Both bitnesses registered, one unregistered: the ProgID, one key shared by
// the two views, stays for the other, machine-wide and per user alike. With
// the other bitness's regsvr32 both directions run; without it, the other
// registration is written as that regsvr32 writes it and only this DLL's
// unregistration runs.
TEST(Registration, UnregisteringOneBitnessLeavesTheOtherFindableByProgID) {
  if (OtherView() == 0) GTEST_SKIP() << "this Windows has one registry view";
  const std::wstring other = OtherDll();
  const bool other_runs = !other.empty() && Regsvr32(L"/u", other, OtherRegsvr32()) == 0;
  struct Root {
    const wchar_t* options;
    HKEY store;
  };
  for (const Root& root : {Root{L"", HKEY_LOCAL_MACHINE}, Root{L"/n /i:user", HKEY_CURRENT_USER}}) {
    SCOPED_TRACE(root.options);
    const std::wstring classes = L"Software\\Classes\\";
    // A class's ProgID key with its CLSID, and its server key.
    const auto progid = [&](const ServedClass& cls) { return classes + cls.prog_id + L"\\Clsid"; };
    const auto ours = [&](const ServedClass& cls) { return classes + cls.ClsidKey() + L"\\InprocServer32"; };
    const std::wstring off = std::wstring(L"/u ") + root.options;
    // Some runtimes keep one class key for both views below this root: there
    // two registrations are one, and there is nothing to tell apart.
    const std::wstring probe = classes + L"CLSID\\{velko-registry-view-probe}";
    WriteInView(root.store, probe, OtherView(), nullptr, L"");
    const bool shared = host::RegKeyExists(root.store, probe);
    RegDeleteKeyExW(root.store, probe.c_str(), OtherView(), 0);
    const char* name = root.store == HKEY_CURRENT_USER ? "HKCU" : "HKLM";
    if (shared) {
      std::cout << "[ NOTE     ] one class key for both registry views below " << name << ": nothing to test there\n";
      continue;
    }
    // Where each view keeps its own ProgID key the fault cannot arise; the
    // test then only shows that each view keeps what is its own.
    const std::wstring progid_probe = classes + L"velko.registry-view-probe";
    WriteInView(root.store, progid_probe, OtherView(), nullptr, L"");
    if (!host::RegKeyExists(root.store, progid_probe))
      std::cout << "[ NOTE     ] each registry view has its own ProgID keys below " << name << "\n";
    RegDeleteKeyExW(root.store, progid_probe.c_str(), OtherView(), 0);
    auto register_other = [&] {
      if (other_runs) {
        ASSERT_EQ(Regsvr32(root.options, other, OtherRegsvr32()), 0);
        return;
      }
      for (const ServedClass& cls : kClasses) {
        WriteInView(root.store, classes + cls.ClsidKey(), OtherView(), nullptr, L"V7 AddIn 2.0");
        WriteInView(root.store, ours(cls), OtherView(), nullptr, L"C:\\Drivers\\velko\\other\\a_velko1c83.dll");
        WriteInView(root.store, ours(cls), OtherView(), L"ThreadingModel", L"Apartment");
        WriteInView(root.store, classes + cls.prog_id, OtherView(), nullptr, L"V7 AddIn 2.0");
        WriteInView(root.store, progid(cls), OtherView(), nullptr, cls.clsid);
        WriteInView(root.store, classes + cls.ClsidKey() + L"\\ProgID", OtherView(), nullptr, cls.prog_id);
      }
    };
    ASSERT_EQ(Regsvr32(L"/u"), 0);
    ASSERT_EQ(Regsvr32(root.options), 0);
    register_other();
    for (const ServedClass& cls : kClasses)
      ASSERT_TRUE(host::RegKeyExists(root.store, ours(cls), OtherView()))
          << "the other DLL registered " << Narrow(cls.prog_id) << " in its own view";

    if (other_runs) {
      // The other one goes: this bitness keeps its classes and their ProgIDs.
      EXPECT_EQ(Regsvr32(off, other, OtherRegsvr32()), 0);
      for (const ServedClass& cls : kClasses) {
        SCOPED_TRACE(Narrow(cls.prog_id));
        EXPECT_TRUE(host::RegKeyExists(root.store, progid(cls)));
        EXPECT_TRUE(host::RegKeyExists(root.store, ours(cls)));
        if (root.store == HKEY_LOCAL_MACHINE) {
          CLSID clsid{};
          ASSERT_EQ(CLSIDFromProgID(cls.prog_id, &clsid), S_OK);
          Ref<IInitDone> object;
          EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone, object.put_void()), S_OK);
        }
      }
      register_other();
    }

    // This one goes: the other keeps its classes and the ProgIDs, seen from its view.
    EXPECT_EQ(Regsvr32(off), 0);
    for (const ServedClass& cls : kClasses) {
      SCOPED_TRACE(Narrow(cls.prog_id));
      EXPECT_FALSE(host::RegKeyExists(root.store, ours(cls)));
      EXPECT_TRUE(host::RegKeyExists(root.store, ours(cls), OtherView()));
      EXPECT_EQ(host::RegText(root.store, progid(cls), nullptr, OtherView()), cls.clsid);
    }

    if (other_runs) {
      // The last one takes the ProgIDs with it.
      EXPECT_EQ(Regsvr32(off, other, OtherRegsvr32()), 0);
      for (const ServedClass& cls : kClasses)
        EXPECT_FALSE(host::RegKeyExists(root.store, classes + cls.prog_id)) << Narrow(cls.prog_id);
    } else {
      for (const ServedClass& cls : kClasses)
        for (const std::wstring& key : {classes + cls.ClsidKey() + L"\\ProgID", ours(cls), classes + cls.ClsidKey(),
                                        progid(cls), classes + std::wstring(cls.prog_id)})
          RegDeleteKeyExW(root.store, key.c_str(), OtherView(), 0);
    }
  }
  ASSERT_EQ(Regsvr32(L""), 0);  // the other tests need it
}

// ------------------------------------------------------------- the host's part

class AddIn : public ::testing::Test {
 protected:
  // The class the test creates.
  virtual const wchar_t* ProgID() const { return kProgID; }

  void SetUp() override {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(ProgID(), &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone, init_.put_void()), S_OK);
    ASSERT_EQ(init_->QueryInterface(IID_ILanguageExtender, lang_.put_void()), S_OK);
  }
  void TearDown() override {
    if (initialised_) init_->Done();
  }

  void InitObject() {
    ASSERT_EQ(init_->Init(static_cast<IDispatch*>(&connection_)), S_OK);
    initialised_ = true;
  }

  long MethodNumber(const std::wstring& name) {
    Bstr text(name);
    long number = -2;
    EXPECT_EQ(lang_->FindMethod(text.b, &number), S_OK);
    return number;
  }

  host::Connection connection_;
  Ref<IInitDone> init_;
  Ref<ILanguageExtender> lang_;
  bool initialised_ = false;
};

TEST_F(AddIn, AnswersForItsInterfacesWithOneIdentity) {
  const IID* iids[] = {&IID_IPropertyLink, &IID_ILanguageExtender, &IID_ISpecifyPropertyPages, &IID_IInitDone,
                       &IID_IDispatch};
  Ref<IUnknown> identity;
  ASSERT_EQ(init_->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
  for (const IID* iid : iids) {
    Ref<IUnknown> itf;
    ASSERT_EQ(init_->QueryInterface(*iid, itf.put_void()), S_OK);
    Ref<IUnknown> back;
    ASSERT_EQ(itf->QueryInterface(IID_IUnknown, back.put_void()), S_OK);
    EXPECT_EQ(back.get(), identity.get());
  }
  Ref<IUnknown> none;
  EXPECT_EQ(init_->QueryInterface(IID_IAsyncEvent, none.put_void()), E_NOINTERFACE);
  EXPECT_EQ(none.get(), nullptr);
}

TEST_F(AddIn, DispatchIsNotImplementedAndPagesComeFromTheTaskAllocator) {
  Ref<IDispatch> dispatch;
  ASSERT_EQ(init_->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  UINT count = 77;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), E_NOTIMPL);
  EXPECT_EQ(count, 77u);
  ITypeInfo* info = nullptr;
  EXPECT_EQ(dispatch->GetTypeInfo(0, 0, &info), E_NOTIMPL);
  Bstr name(L"Open");
  DISPID id = 5;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name.b, 1, 0, &id), E_NOTIMPL);
  EXPECT_EQ(id, 5);
  DISPPARAMS none{};
  EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), E_NOTIMPL);

  Ref<ISpecifyPropertyPages> pages;
  ASSERT_EQ(init_->QueryInterface(IID_ISpecifyPropertyPages, pages.put_void()), S_OK);
  CAUUID list{};
  ASSERT_EQ(pages->GetPages(&list), S_OK);
  ASSERT_EQ(list.cElems, 1u);
  ASSERT_NE(list.pElems, nullptr);
  EXPECT_TRUE(IsEqualGUID(list.pElems[0], CLSID_AddInPropertyPage));
  CoTaskMemFree(list.pElems);
}

TEST_F(AddIn, BeforeInitThereIsNothingToCall) {
  long count = -1;
  EXPECT_EQ(lang_->GetNMethods(&count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(lang_->GetNProps(&count), S_OK);
  EXPECT_EQ(count, 0);
  Ref<IPropertyLink> link;
  ASSERT_EQ(init_->QueryInterface(IID_IPropertyLink, link.put_void()), S_OK);
  BOOL capable = TRUE;
  EXPECT_EQ(link->CapSettingsDlg(&capable), S_FALSE);
  EXPECT_EQ(capable, FALSE);
  EXPECT_EQ(link->ChangeSettings(), S_FALSE);
}

TEST_F(AddIn, InitTakesTheHostsInterfacesAndDoneGivesThemBack) {
  InitObject();
  EXPECT_EQ(connection_.depths, std::vector<long>{100});
  EXPECT_EQ(connection_.refs, 2) << "the event and the window-support interfaces are held";
  ASSERT_EQ(init_->Done(), S_OK);
  initialised_ = false;
  EXPECT_EQ(connection_.refs, 0);
}

TEST_F(AddIn, InitWithoutTheHostsEventInterfaceStillWorks) {
  connection_.offer_event = false;
  connection_.depth_answer = E_FAIL;
  InitObject();
  EXPECT_TRUE(connection_.depths.empty());
  EXPECT_EQ(connection_.refs, 1);
  long count = 0;
  EXPECT_EQ(lang_->GetNMethods(&count), S_OK);
  EXPECT_GT(count, 0);
}

TEST_F(AddIn, ARefusedEventBufferDepthDoesNotFailInit) {
  connection_.depth_answer = E_FAIL;
  InitObject();
  EXPECT_EQ(connection_.depths, std::vector<long>{100});
}

TEST_F(AddIn, GetInfoAndTheExtensionName) {
  InitObject();
  host::ParamArray info(1);
  ASSERT_EQ(init_->GetInfo(info.put()), S_OK);
  EXPECT_EQ(info.TypeAt(0), VT_BSTR);
  EXPECT_EQ(info.TextAt(0), L"2000");
  Bstr name;
  ASSERT_EQ(lang_->RegisterExtensionAs(&name.b), S_OK);
  EXPECT_EQ(name.text(), L"a_velko1c83");
}

TEST_F(AddIn, EveryMethodIsFoundByEitherOfItsNames) {
  InitObject();
  long count = 0;
  ASSERT_EQ(lang_->GetNMethods(&count), S_OK);
  ASSERT_GT(count, 0);
  for (long i = 0; i < count; ++i) {
    Bstr name, alias;
    ASSERT_EQ(lang_->GetMethodName(i, 0, &name.b), S_OK) << i;
    ASSERT_EQ(lang_->GetMethodName(i, 1, &alias.b), S_OK) << i;
    EXPECT_FALSE(name.text().empty());
    EXPECT_EQ(alias.text(), name.text()) << "the alias asked for gives the primary name";
    EXPECT_EQ(MethodNumber(name.text()), i);
    long params = -1;
    EXPECT_EQ(lang_->GetNParams(i, &params), S_OK);
    EXPECT_GE(params, 0);
    BOOL has = 0;
    EXPECT_EQ(lang_->HasRetVal(i, &has), S_OK);
    EXPECT_EQ(has, 1);
    Variant def;
    def.v.vt = VT_I4;
    EXPECT_EQ(lang_->GetParamDefValue(i, 0, &def.v), S_OK);
    EXPECT_EQ(def.v.vt, VT_EMPTY);
  }
  Bstr none;
  long params = 42;
  EXPECT_EQ(lang_->GetMethodName(count, 0, &none.b), S_FALSE);
  EXPECT_EQ(none.b, nullptr);
  EXPECT_EQ(lang_->GetNParams(count, &params), S_FALSE);
  EXPECT_EQ(params, 42);
  EXPECT_EQ(MethodNumber(L"NoSuchMethod"), -1);
  Variant ret;
  host::ParamArray args(0);
  EXPECT_EQ(lang_->CallAsFunc(-1, &ret.v, args.put()), S_FALSE);
}

// The equipment standard's English names reach the methods the table names
// otherwise; numbers and the names read back stay as they were.
TEST_F(AddIn, TheStandardsEnglishNamesAreFound) {
  InitObject();
  struct Case {
    const wchar_t* standard;
    const wchar_t* table;
    const wchar_t* local;
    long number;
  };
  for (const Case& c : {Case{L"ReturnPaymentByPaymentCard", L"ReturnPaymantByPaymantCard",
                             L"ВернутьПлатежПоПлатежнойКарте", 12},
                        Case{L"AuthorisationByPaymentCard", L"AuthorizePreSales", L"ПреавторизацияПоПлатежнойКарте", 14},
                        Case{L"AuthConfirmationByPaymentCard", L"AuthorizeCompletion",
                             L"ЗавершитьПреавторизациюПоПлатежнойКарте", 15},
                        Case{L"CancelAuthorisationByPaymentCard", L"CancelAuthorisationByPaymentCard",
                             L"ОтменитьПреавторизациюПоПлатежнойКарте", 16},
                        Case{L"Settlement", L"Settelment", L"ИтогиДняПоКартам", 18}}) {
    EXPECT_EQ(MethodNumber(c.standard), c.number) << c.number;
    EXPECT_EQ(MethodNumber(c.table), c.number);
    EXPECT_EQ(MethodNumber(c.local), c.number);
    for (long alias : {0L, 1L}) {
      Bstr name;
      ASSERT_EQ(lang_->GetMethodName(c.number, alias, &name.b), S_OK);
      EXPECT_EQ(name.text(), c.table);
    }
  }
  EXPECT_EQ(MethodNumber(L"settlement"), 18);
  long count = 0;
  ASSERT_EQ(lang_->GetNMethods(&count), S_OK);
  EXPECT_EQ(MethodNumber(L"Payment") + 1, count) << "no entry was added for them";
}

TEST_F(AddIn, PropertiesAreReadAndWrittenThroughVariants) {
  InitObject();
  long count = 0;
  ASSERT_EQ(lang_->GetNProps(&count), S_OK);
  ASSERT_GT(count, 0);
  for (long i = 0; i < count; ++i) {
    Bstr id, alias;
    ASSERT_EQ(lang_->GetPropName(i, 0, &id.b), S_OK);
    ASSERT_EQ(lang_->GetPropName(i, 1, &alias.b), S_OK);
    EXPECT_FALSE(id.text().empty());
    long number = -2;
    EXPECT_EQ(lang_->FindProp(id.b, &number), S_OK);
    EXPECT_EQ(number, i);
    BOOL flag = 7;
    EXPECT_EQ(lang_->IsPropReadable(i, &flag), S_OK);
    EXPECT_EQ(flag, 7) << "the host's flag stays as it was";
    EXPECT_EQ(lang_->IsPropWritable(i, &flag), S_OK);
    EXPECT_EQ(flag, 7);
  }
  // Every property takes back what it gave, through the host's VARIANTs.
  for (long i = 0; i < count; ++i) {
    Variant value;
    ASSERT_EQ(lang_->GetPropVal(i, &value.v), S_OK);
    ASSERT_EQ(lang_->SetPropVal(i, &value.v), S_OK) << i;
    Variant back;
    back.v.vt = VT_R8;
    ASSERT_EQ(lang_->GetPropVal(i, &back.v), S_OK);
    EXPECT_EQ(back.v.vt, value.v.vt) << i;
    EXPECT_EQ(VarCmp(&back.v, &value.v, LOCALE_USER_DEFAULT, 0), static_cast<HRESULT>(VARCMP_EQ)) << i;
  }
  Variant out;
  out.v.vt = VT_I4;
  EXPECT_EQ(lang_->GetPropVal(count, &out.v), S_FALSE);
  EXPECT_EQ(out.v.vt, VT_EMPTY);
  Variant text;
  EXPECT_EQ(lang_->SetPropVal(count, &text.v), S_FALSE);
}

TEST_F(AddIn, GetVersionReturnsTheModulesFileVersion) {
  InitObject();
  const long number = MethodNumber(L"ПолучитьНомерВерсии");
  ASSERT_GE(number, 0);
  Variant ret;
  host::ParamArray args(0);
  ASSERT_EQ(lang_->CallAsFunc(number, &ret.v, args.put()), S_OK);
  ASSERT_EQ(ret.v.vt, VT_BSTR);
  EXPECT_STREQ(ret.v.bstrVal, L"1.1.1.4");
}

// The closing line is written when the host releases the last object, not
// when the module is unloaded (that runs under the loader lock).
TEST_F(AddIn, ReleasingTheLastObjectClosesTheLog) {
  InitObject();
  Variant on;
  on.v.vt = VT_BOOL;
  on.v.boolVal = VARIANT_TRUE;
  Bstr name(L"DebugLogEnabled");
  long number = -1;
  ASSERT_EQ(lang_->FindProp(name.b, &number), S_OK);
  ASSERT_EQ(lang_->SetPropVal(number, &on.v), S_OK);
  Variant ret;
  host::ParamArray args(0);
  ASSERT_EQ(lang_->CallAsFunc(MethodNumber(L"GetVersion"), &ret.v, args.put()), S_OK);
  init_->Done();
  initialised_ = false;
  lang_.reset();
  init_.reset();

  wchar_t data[MAX_PATH] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"VELKO_COMMON_APPDATA", data, MAX_PATH), 0u);
  const std::wstring folder = std::wstring(data) + L"\\a_velko1c83\\";
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((folder + L"a_velko1c83_*.log").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no log file";
  FindClose(search);
  std::string text;
  const HANDLE file = CreateFileW((folder + found.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  const std::string closing = "============Stop log===============\r\n\r\n";
  ASSERT_GE(text.size(), closing.size());
  EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
}

// -------------------------------------------- against the terminal emulator

std::wstring VelkoExe() { return TestFolder() + L"\\velko.exe"; }

class Terminal : public AddIn {
 protected:
  void SetUp() override {
    AddIn::SetUp();
    if (HasFatalFailure()) return;
    if (GetFileAttributesW(VelkoExe().c_str()) == INVALID_FILE_ATTRIBUTES)
      GTEST_SKIP() << "velko.exe is not built in this tree";
    emulator_ = std::make_unique<host::EmulatorProcess>(VelkoExe(), EmulatorArguments());
    ASSERT_GT(emulator_->port(), 0) << "emulator said: " << emulator_->first_line();
    InitObject();
    Configure();
  }
  // The host's settings, written as properties.
  virtual void Configure() {
    SetProp(L"ServerAddress", L"127.0.0.1");
    Variant port;
    port.v.vt = VT_I4;
    port.v.lVal = emulator_->port();
    SetPropValue(L"ServerPort", port.v);
  }
  void TearDown() override {
    AddIn::TearDown();
    emulator_.reset();
  }
  virtual std::wstring EmulatorArguments() { return L""; }

  void SetPropValue(const std::wstring& id, VARIANT& value) {
    Bstr name(id);
    long number = -1;
    ASSERT_EQ(lang_->FindProp(name.b, &number), S_OK);
    ASSERT_GE(number, 0) << "no property " << std::string(id.begin(), id.end());
    ASSERT_EQ(lang_->SetPropVal(number, &value), S_OK);
  }
  void SetProp(const std::wstring& id, const std::wstring& text) {
    Variant value;
    value.v.vt = VT_BSTR;
    value.v.bstrVal = SysAllocString(text.c_str());
    SetPropValue(id, value.v);
  }

  // Runs a method by name; the host's return slot comes back in `ret`.
  HRESULT Call(const std::wstring& name, host::ParamArray& params, Variant& ret) {
    const long number = MethodNumber(name);
    EXPECT_GE(number, 0) << "no method " << std::string(name.begin(), name.end());
    return lang_->CallAsFunc(number, &ret.v, params.put());
  }

  bool Open() {
    host::ParamArray params(1);
    Variant ret;
    EXPECT_EQ(Call(L"Подключить", params, ret), S_OK);
    EXPECT_EQ(params.TextAt(0), L"0");
    return ret.v.vt == VT_BOOL && ret.v.boolVal == VARIANT_TRUE;
  }

  // "ПолучитьОшибку": the code and its text.
  std::pair<long, std::wstring> LastError() {
    host::ParamArray params(1);
    Variant ret;
    EXPECT_EQ(Call(L"ПолучитьОшибку", params, ret), S_OK);
    EXPECT_EQ(ret.v.vt, VT_I4);
    return {ret.v.lVal, params.TextAt(0)};
  }

  std::unique_ptr<host::EmulatorProcess> emulator_;
};

TEST_F(Terminal, OpensPaysAndReportsThroughTheHostsOwnArray) {
  ASSERT_TRUE(Open());

  host::ParamArray params(7);
  // Position 0 is neither read nor written: the host's interface reference
  // there must come back as it went in.
  Variant own;
  own.v.vt = VT_DISPATCH;
  own.v.pdispVal = static_cast<IDispatch*>(&connection_);
  connection_.AddRef();
  params.Set(0, own.v);
  params.SetText(1, L"");  // no card data: the pinpad reads the card
  params.SetInt(2, 100);
  Variant ret;
  ASSERT_EQ(Call(L"ОплатитьПлатежнойКартой", params, ret), S_OK);
  ASSERT_EQ(ret.v.vt, VT_BOOL);
  EXPECT_EQ(ret.v.boolVal, VARIANT_TRUE) << "error: " << LastError().first;

  {
    Variant first;
    LONG zero = 0;
    ASSERT_EQ(SafeArrayGetElement(*params.put(), &zero, &first.v), S_OK);
    EXPECT_EQ(first.v.vt, VT_DISPATCH);
    EXPECT_EQ(first.v.pdispVal, static_cast<IDispatch*>(&connection_));
  }
  const std::wstring pan = params.TextAt(1);
  EXPECT_EQ(params.TypeAt(1), VT_BSTR);
  ASSERT_GE(pan.size(), 5u);
  EXPECT_EQ(pan.substr(0, pan.size() - 4), std::wstring(pan.size() - 4, L'*')) << "the host never sees the card";
  EXPECT_EQ(params.TypeAt(2), VT_R8);
  EXPECT_DOUBLE_EQ(params.DoubleAt(2), 100.0);
  for (LONG i = 3; i <= 6; ++i) {
    EXPECT_EQ(params.TypeAt(i), VT_BSTR) << i;
    EXPECT_FALSE(params.TextAt(i).empty()) << "output " << i;
  }

  const auto [code, text] = LastError();
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(text.empty());
  params.Set(0, Variant().v);  // the array lets go of the connection
}

class DecliningTerminal : public Terminal {
 protected:
  std::wstring EmulatorArguments() override {
    script_ = TestFolder() + L"\\decline-" + std::to_wstring(GetCurrentProcessId()) + L".jsonl";
    HANDLE file = CreateFileW(script_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const char rule[] = "{\"op\": \"PUR\", \"action\": \"decline\", \"code\": \"51\"}\n";
    DWORD written = 0;
    WriteFile(file, rule, sizeof(rule) - 1, &written, nullptr);
    CloseHandle(file);
    return L"--script \"" + script_ + L"\"";
  }
  void TearDown() override {
    Terminal::TearDown();
    DeleteFileW(script_.c_str());
  }
  std::wstring script_;
};

TEST_F(DecliningTerminal, ADeclinedPaymentReturnsFalseAndTheErrorSaysWhy) {
  ASSERT_TRUE(Open());
  host::ParamArray params(7);
  params.SetText(1, L"");
  params.SetInt(2, 250);
  Variant ret;
  ASSERT_EQ(Call(L"PayByPaymentCard", params, ret), S_OK);
  ASSERT_EQ(ret.v.vt, VT_BOOL);
  EXPECT_EQ(ret.v.boolVal, VARIANT_FALSE);
  const auto [code, text] = LastError();
  EXPECT_NE(code, 0);
  EXPECT_FALSE(text.empty());
}

// A terminal whose answer to a sale comes late, with a journal to count what
// the bank did.
class SlowTerminal : public Terminal {
 protected:
  std::wstring EmulatorArguments() override {
    const std::wstring stem = TestFolder() + L"\\slow-" + std::to_wstring(GetCurrentProcessId());
    script_ = stem + L".jsonl";
    journal_ = stem + L"-journal.jsonl";
    DeleteFileW(journal_.c_str());
    HANDLE file = CreateFileW(script_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const char rule[] = "{\"op\": \"PUR\", \"action\": \"answer\", \"delay_ms\": 1500}\n";
    DWORD written = 0;
    WriteFile(file, rule, sizeof(rule) - 1, &written, nullptr);
    CloseHandle(file);
    return L"--script \"" + script_ + L"\" --journal \"" + journal_ + L"\"";
  }
  void TearDown() override {
    Terminal::TearDown();
    DeleteFileW(script_.c_str());
    DeleteFileW(journal_.c_str());
  }
  // The journal's lines that record an approved sale.
  int ApprovedSales() const {
    HANDLE file = CreateFileW(journal_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    std::string text(1 << 16, '\0');
    DWORD got = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
    CloseHandle(file);
    text.resize(got);
    int count = 0;
    for (size_t at = 0; (at = text.find("\"PUR\"", at)) != std::string::npos; ++at) {
      const size_t end = text.find('\n', at);
      if (text.substr(at, end - at).find("approved") != std::string::npos) ++count;
    }
    return count;
  }

  // The host's timer: another payment, then the last error, inside the wait.
  static void CALLBACK CallInAgain(HWND, UINT, UINT_PTR, DWORD) {
    ++fired_;
    host::ParamArray params(7);
    params.SetText(1, L"");
    params.SetInt(2, 50);
    Variant ret;
    if (self_->Call(L"PayByPaymentCard", params, ret) != S_OK) return;
    const auto [code, text] = self_->LastError();
    if (ret.v.vt == VT_BOOL && ret.v.boolVal == VARIANT_FALSE && code == 1009 && text == L"Устройство занято")
      ++refused_;
  }

  static inline SlowTerminal* self_ = nullptr;
  static inline int fired_ = 0;
  static inline int refused_ = 0;
  std::wstring script_, journal_;
};

TEST_F(SlowTerminal, AHostTimerCallingInDuringTheWaitIsRefusedAndTheSaleStandsOnce) {
  ASSERT_TRUE(Open());
  self_ = this;
  fired_ = refused_ = 0;
  // The host's timer fires while the sale waits for its answer and calls the
  // driver again.
  const UINT_PTR timer = SetTimer(nullptr, 0, 200, &SlowTerminal::CallInAgain);
  ASSERT_NE(timer, 0u);
  host::ParamArray params(7);
  params.SetText(1, L"");
  params.SetInt(2, 100);
  Variant ret;
  ASSERT_EQ(Call(L"ОплатитьПлатежнойКартой", params, ret), S_OK);
  KillTimer(nullptr, timer);
  ASSERT_EQ(ret.v.vt, VT_BOOL);
  EXPECT_EQ(ret.v.boolVal, VARIANT_TRUE) << "the host hears of the approval";
  EXPECT_GE(fired_, 2) << "the timer fired during the wait";
  EXPECT_EQ(refused_, fired_) << "every nested call was refused with 1009";
  EXPECT_EQ(LastError().first, 0) << "the refusals left the sale's own result";
  EXPECT_EQ(ApprovedSales(), 1) << "one sale, approved once, never voided";
}

// ------------------------------------- edition A at revision 4000, through COM

// The equipment library of the host's current configurations at revision
// 4000, call by call through the registered DLL's class AddIn.a_velko1c83_4000:
// its connection order, then a payment, a refused QR payment and cash
// withdrawal, a cancellation, the settlement and the closing. Each step gives
// the parameter count the host must get, what it passes and what it reads
// back; every position a step does not list comes back as the host passed it.
struct HostArg {
  LONG position;
  std::wstring text;              // a text, unless number or saved is set
  std::optional<double> number;
  std::string saved;              // a text read back by an earlier step
};
HostArg Text(LONG position, std::wstring text) { return {position, std::move(text), std::nullopt, ""}; }
HostArg Number(LONG position, double number) { return {position, L"", number, ""}; }
HostArg SavedText(LONG position, std::string name) { return {position, L"", std::nullopt, std::move(name)}; }

struct HostRead {
  LONG position;
  std::string what;
  std::function<bool(const host::ParamArray&, LONG)> ok;
  std::string save = "";  // the text is kept under this name for a later step
};
HostRead Contains(LONG position, std::vector<std::wstring> pieces) {
  return {position, "a text with " + Narrow(pieces.front()), [pieces](const host::ParamArray& p, LONG i) {
            if (p.TypeAt(i) != VT_BSTR) return false;
            for (const std::wstring& piece : pieces)
              if (p.TextAt(i).find(piece) == std::wstring::npos) return false;
            return true;
          }};
}
HostRead Equals(LONG position, std::wstring text, std::string save = "") {
  return {position, "== " + Narrow(text),
          [text](const host::ParamArray& p, LONG i) { return p.TypeAt(i) == VT_BSTR && p.TextAt(i) == text; },
          std::move(save)};
}
HostRead Digits(LONG position, size_t count, std::string save = "") {
  return {position, std::to_string(count) + " digits",
          [count](const host::ParamArray& p, LONG i) {
            const std::wstring t = p.TextAt(i);
            return p.TypeAt(i) == VT_BSTR && t.size() == count && t.find_first_not_of(L"0123456789") == t.npos;
          },
          std::move(save)};
}
HostRead Masked(LONG position) {
  return {position, "a masked card number", [](const host::ParamArray& p, LONG i) {
            const std::wstring t = p.TextAt(i);
            return p.TypeAt(i) == VT_BSTR && t.size() >= 13 && t.find_first_not_of(L'*') == t.size() - 4;
          }};
}
HostRead Filled(LONG position) {
  return {position, "a text",
          [](const host::ParamArray& p, LONG i) { return p.TypeAt(i) == VT_BSTR && !p.TextAt(i).empty(); }};
}
HostRead Amount(LONG position, double amount) {
  return {position, "the amount " + std::to_string(amount),
          [amount](const host::ParamArray& p, LONG i) { return p.TypeAt(i) == VT_R8 && p.DoubleAt(i) == amount; }};
}

struct HostStep {
  const wchar_t* method;
  long params;  // GetNParams, as the host asks it
  std::vector<HostArg> args;
  VARIANT_BOOL answer;                        // the Boolean the method returns,
  std::optional<long> number = std::nullopt;  // or the number, for a method that returns one
  std::vector<HostRead> reads = {};
  long code = 0;  // "ПолучитьОшибку" afterwards
};

class EditionA4000 : public Terminal {
 protected:
  const wchar_t* ProgID() const override { return L"AddIn.a_velko1c83_4000"; }
  void Configure() override {}  // the library sets its parameters by "УстановитьПараметр"

  void Replay(const std::vector<HostStep>& steps) {
    std::map<std::string, std::wstring> saved;
    for (const HostStep& step : steps) {
      SCOPED_TRACE(Narrow(step.method));
      const long number = MethodNumber(step.method);
      ASSERT_GE(number, 0);
      long count = -1;
      ASSERT_EQ(lang_->GetNParams(number, &count), S_OK);
      ASSERT_EQ(count, step.params);
      host::ParamArray params(static_cast<ULONG>(count));
      for (const HostArg& arg : step.args) {
        if (arg.number)
          params.SetDouble(arg.position, *arg.number);
        else
          params.SetText(arg.position, arg.saved.empty() ? arg.text : saved.at(arg.saved));
      }
      std::vector<std::pair<VARTYPE, std::wstring>> passed;
      for (LONG i = 0; i < count; ++i) passed.emplace_back(params.TypeAt(i), params.TextAt(i));

      Variant ret;
      ASSERT_EQ(lang_->CallAsFunc(number, &ret.v, params.put()), S_OK);
      if (step.number) {
        EXPECT_EQ(ret.v.vt, VT_I4);
        EXPECT_EQ(ret.v.lVal, *step.number);
      } else {
        ASSERT_EQ(ret.v.vt, VT_BOOL);
        EXPECT_EQ(ret.v.boolVal, step.answer);
      }
      std::set<LONG> listed;
      for (const HostRead& read : step.reads) {
        listed.insert(read.position);
        EXPECT_TRUE(read.ok(params, read.position))
            << "position " << read.position << ": " << Narrow(params.TextAt(read.position)) << ", wanted "
            << read.what;
        if (!read.save.empty()) saved[read.save] = params.TextAt(read.position);
      }
      for (LONG i = 0; i < count; ++i) {
        if (listed.count(i)) continue;
        EXPECT_EQ(params.TypeAt(i), passed[i].first) << "position " << i << " comes back as passed";
        EXPECT_EQ(params.TextAt(i), passed[i].second) << "position " << i << " comes back as passed";
      }
      EXPECT_EQ(LastError().first, step.code);
    }
  }
};

TEST_F(EditionA4000, ConnectsAndRunsTheDayThroughRawSlots) {
  const VARIANT_BOOL yes = VARIANT_TRUE, no = VARIANT_FALSE;
  const double port = emulator_->port();
  Replay({
      {L"ПолучитьРевизиюИнтерфейса", 0, {}, yes, 4000},
      {L"ПолучитьОписание", 1, {Text(0, L"")}, yes, std::nullopt,
       {Contains(0, {L"<DriverDescription ", L"Name=\"VELKO32\"", L"DriverVersion=\"1.1.1.4\"",
                     L"LocalizationSupported=\"false\"", L"IntegrationComponent=\"false\""})}},
      {L"ПолучитьПараметры", 1, {Text(0, L"")}, yes, std::nullopt,
       {Contains(0, {L"<Settings>", L"<Parameter Name=\"ServerPort\""})}},
      {L"УстановитьПараметр", 2, {Text(0, L"EquipmentType"), Text(1, L"ЭквайринговыйТерминал")}, yes},
      {L"УстановитьПараметр", 2, {Text(0, L"ServerAddress"), Text(1, L"127.0.0.1")}, yes},
      {L"УстановитьПараметр", 2, {Text(0, L"ServerPort"), Number(1, port)}, yes},
      {L"УстановитьПараметр", 2, {Text(0, L"MerchantID"), Text(1, L"12")}, yes},
      {L"Подключить", 1, {Text(0, L"")}, yes, std::nullopt, {Equals(0, L"VELKO32-1", "id")}},
      {L"УстановитьЛокализацию", 2, {Text(0, L"ru"), Text(1, L"")}, yes},
      {L"ПараметрыТерминала", 2, {SavedText(0, "id"), Text(1, L"")}, yes, std::nullopt,
       {Contains(1, {L"<TerminalParameters ", L"TerminalID=\"00012345\"", L"PrintSlipOnTerminal=",
                     L"CashWithdrawal=\"false\"", L"PartialCancellation=\"false\"",
                     L"ConsumerPresentedQR=\"false\""})}},
      // 0 ID, 1 merchant, 2 customer's QR, 3 amount, 4 card, 5 receipt, 6 RRN, 7 auth, 8 slip.
      {L"ОплатитьПлатежнойКартой", 9, {SavedText(0, "id"), Number(1, 0), Text(2, L""), Number(3, 100), Text(4, L"")},
       yes, std::nullopt,
       {Amount(3, 100), Masked(4), Digits(5, 10, "receipt"), Digits(6, 12), Filled(7), Filled(8)}},
      // What the terminal server cannot do: false, nothing written back.
      {L"ОплатитьПлатежнойКартой", 9,
       {SavedText(0, "id"), Number(1, 0), Text(2, L"QR-PHONE-EMV"), Number(3, 100), Text(4, L"")}, no, std::nullopt,
       {}, 1003},
      {L"ОплатитьПлатежнойКартойCВыдачейНаличных", 10,
       {SavedText(0, "id"), Number(1, 0), Text(2, L""), Number(3, 100), Number(4, 20)}, no, std::nullopt, {}, 1003},
      // The whole payment cancelled (original amount 0); position 4 is never written.
      {L"ОтменитьПлатежПоПлатежнойКарте", 10,
       {SavedText(0, "id"), Number(1, 0), Text(2, L""), Number(3, 100), Number(4, 0), Text(5, L""),
        SavedText(6, "receipt"), Text(7, L""), Text(8, L""), Text(9, L"")},
       yes, std::nullopt, {Masked(5), Filled(9)}},
      {L"ИтогиДняПоКартам", 2, {SavedText(0, "id"), Text(1, L"")}, yes, std::nullopt, {Filled(1)}},
      {L"Отключить", 1, {SavedText(0, "id")}, yes},
  });
}

// Run by the copy of this program named 1cv7.exe (see OldHostPlatform below).
TEST_F(Terminal, OldHostSeesItsOwnMethodTableAndIntegers) {
  if (!RunningAsOldHost()) GTEST_SKIP() << "runs in the copy named 1cv7.exe";
  long count = 0;
  ASSERT_EQ(lang_->GetNMethods(&count), S_OK);
  EXPECT_EQ(count, 29);
  host::ParamArray params(1);
  Variant ret;
  ASSERT_EQ(Call(L"Подключить", params, ret), S_OK);
  EXPECT_EQ(ret.v.vt, VT_I4) << "the oldest host takes no Booleans";
  EXPECT_EQ(ret.v.lVal, 1);
}

TEST(OldHostPlatform, ACopyNamed1cv7SeesTheOldHostsBehaviour) {
  if (RunningAsOldHost()) GTEST_SKIP() << "this is the copy";
  if (GetFileAttributesW(VelkoExe().c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "velko.exe is not built in this tree";
  const std::wstring copy = TestFolder() + L"\\1cv7.exe";
  ASSERT_TRUE(CopyFileW(host::ModulePath().c_str(), copy.c_str(), FALSE));
  const long status =
      host::RunAndWait(Quoted(copy) + L" --gtest_brief=1 --gtest_filter=Terminal.OldHostSeesItsOwnMethodTableAndIntegers");
  DeleteFileW(copy.c_str());
  EXPECT_EQ(status, 0) << "the copy named 1cv7.exe failed; its output is above";
}

// velko's --com mode plays the host against the registered DLL: a payment and
// a session line through the emulator, the DLL's own debug log (under its own
// folder name, not velko's), and a clear refusal once it is unregistered.
TEST(VelkoCom, CallsTheRegisteredDllByItsProgID) {
  if (GetFileAttributesW(VelkoExe().c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "velko.exe is not built in this tree";
  host::EmulatorProcess emulator(VelkoExe());
  ASSERT_GT(emulator.port(), 0) << "emulator said: " << emulator.first_line();
  const std::wstring port = std::to_wstring(emulator.port());
  wchar_t data[MAX_PATH] = {};
  GetEnvironmentVariableW(L"VELKO_COMMON_APPDATA", data, MAX_PATH);
  const std::wstring folder = std::wstring(data) + L"\\a_velko1c83\\";
  // Deletes the DLL's debug logs when asked; says whether there was one.
  auto log_exists = [&](bool remove) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"a_velko1c83_*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
      if (remove) DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
  };
  log_exists(true);

  std::string out;
  const std::wstring velko = Quoted(VelkoExe());
  EXPECT_EQ(host::RunAndCapture(velko + L" call --com --set ServerPort=" + port +
                                    L" --set DebugLogEnabled=true --open PayByPaymentCard \"\" \"\" 100",
                                "", out),
            0)
      << out;
  EXPECT_NE(out.find("\"return\":true"), std::string::npos) << out;
  EXPECT_NE(out.find("\"lastError\":{\"code\":0"), std::string::npos) << out;
  EXPECT_TRUE(log_exists(false)) << "the registered DLL did the call";

  // A method that answers false (the settlement of a device never opened)
  // exits 1, as without --com: a script must not take a decline for a payment.
  EXPECT_EQ(host::RunAndCapture(velko + L" call --com ИтогиДняПоКартам \"\"", "", out), 1) << out;
  EXPECT_NE(out.find("\"return\":false"), std::string::npos) << out;
  EXPECT_NE(out.find("\"lastError\":{\"code\":70"), std::string::npos) << out;

  EXPECT_EQ(host::RunAndCapture(velko + L" session --com", "{\"call\": \"GetVersion\"}\n", out), 0) << out;
  EXPECT_NE(out.find("\"return\":\"1.1.1.4\""), std::string::npos) << out;
  // A later class by its own ProgID; velko checks the object names itself so.
  const std::string version_line = "{\"call\": \"GetVersion\"}\n";
  EXPECT_EQ(host::RunAndCapture(velko + L" session --com --class a_velko1c83_4000", version_line, out), 0) << out;
  EXPECT_NE(out.find("\"return\":\"1.1.1.4\""), std::string::npos) << out;

  // As an older DLL registers: the first class alone. velko says so.
  for (const wchar_t* key :
       {L"Software\\Classes\\AddIn.a_velko1c83_3004\\Clsid", L"Software\\Classes\\AddIn.a_velko1c83_3004"})
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, key), ERROR_SUCCESS);
  EXPECT_EQ(host::RunAndCapture(velko + L" call --com --class a_velko1c83_3004 GetVersion", "", out), 2) << out;
  EXPECT_NE(out.find("older than this class"), std::string::npos) << out;

  ASSERT_EQ(Regsvr32(L"/u"), 0);
  std::string later;
  const long refused = host::RunAndCapture(velko + L" call --com GetVersion", "", out);
  const long later_refused = host::RunAndCapture(velko + L" call --com --class a_velko1c83_3004 GetVersion", "", later);
  ASSERT_EQ(Regsvr32(L""), 0);
  EXPECT_EQ(refused, 2) << out;
  EXPECT_NE(out.find("AddIn.a_velko1c83 is not registered"), std::string::npos) << out;
  EXPECT_EQ(later_refused, 2) << later;
  EXPECT_NE(later.find("AddIn.a_velko1c83_3004 is not registered"), std::string::npos) << later;
}

// ------------------------------------------------------------------- windows


TEST_F(Terminal, AMethodThatRaisesShowsTheErrorBoxAndAnswersSFalse) {
  std::vector<std::wstring> texts;
  bool pressed = false;
  host::WindowWatcher watcher(L"EXCEPTION", [&](HWND box) {
    texts = host::ChildTexts(box, L"Static");
    HWND ok = host::FindChild(box, L"Button");
    pressed = ok != nullptr;
    if (ok)
      PostMessageW(ok, BM_CLICK, 0, 0);
    else
      PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  host::ParamArray params(7);
  params.SetText(1, L"4111111111111111");
  params.SetText(2, L"сто рублей");  // no amount: the conversion raises
  Variant ret;
  const HRESULT result = Call(L"ОплатитьПлатежнойКартой", params, ret);
  watcher.Join();
  EXPECT_EQ(result, S_FALSE);
  ASSERT_TRUE(watcher.found()) << "no window captioned EXCEPTION appeared";
  EXPECT_TRUE(pressed);
  std::wstring all;
  for (const auto& t : texts) all += t + L"|";
  EXPECT_NE(all.find(L"Method: PayByPaymentCard\r\nMessage: "), std::wstring::npos)
      << std::string(all.begin(), all.end());
  EXPECT_EQ(params.TextAt(2), L"сто рублей") << "nothing was written back";
}

// Types `text` into the receipt-number dialog and presses the button captioned `button`.
std::function<void(HWND)> AnswerReceiptDialog(const std::wstring& text, const std::wstring& button,
                                              const std::wstring& screenshot, bool* done) {
  return [=](HWND dialog) {
    HWND edit = host::FindChild(dialog, L"Edit");
    if (edit) SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    Sleep(200);
    if (!screenshot.empty()) host::SaveWindowBitmap(dialog, screenshot);
    HWND press = host::FindChild(dialog, L"Button", button);
    *done = edit != nullptr && press != nullptr;
    if (press)
      PostMessageW(press, BM_CLICK, 0, 0);
    else
      PostMessageW(dialog, WM_CLOSE, 0, 0);
  };
}

// The receipt-number label as shown: its width, the width its text needs in
// the label's own font, and where it ends against the edit's start.
struct LabelFit {
  int width = -1, needed = 0, designed = 0, right = 0, edit_left = 0;
};

LabelFit MeasureLabel(HWND dialog) {
  LabelFit fit;
  HWND label = host::FindChild(dialog, L"Static", L"Номер квитанции:");
  HWND edit = host::FindChild(dialog, L"Edit");
  if (!label || !edit) return fit;
  HDC dc = GetDC(label);
  const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
  const std::wstring text = L"Номер квитанции:";
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  fit.designed = MulDiv(130, GetDeviceCaps(dc, LOGPIXELSY), 96);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  RECT at{}, edit_at{};
  GetWindowRect(label, &at);
  GetWindowRect(edit, &edit_at);
  fit.width = at.right - at.left;
  fit.needed = size.cx;
  fit.right = at.right;
  fit.edit_left = edit_at.left;
  return fit;
}

TEST_F(Terminal, TheReceiptNumberDialogTakesANumberOrCancels) {
  ASSERT_TRUE(Open());
  const std::wstring caption = L"Введите номер квитанции:";
  const std::wstring shot = TestFolder() + L"\\receipt-number-dialog.bmp";
  DeleteFileW(shot.c_str());

  // Cancel: the operation ends at once with 4502. The label shows its whole
  // text in whatever font the system gave it.
  {
    bool answered = false;
    LabelFit fit;
    const auto cancel = AnswerReceiptDialog(L"", L"Отмена", L"", &answered);
    host::WindowWatcher watcher(caption, [&](HWND dialog) {
      fit = MeasureLabel(dialog);
      cancel(dialog);
    });
    host::ParamArray params(7);
    params.SetInt(2, 100);
    Variant ret;
    ASSERT_EQ(Call(L"ОтменитьПлатежПоПлатежнойКарте", params, ret), S_OK);
    watcher.Join();
    ASSERT_TRUE(watcher.found()) << "the receipt-number dialog did not appear";
    EXPECT_TRUE(answered);
    EXPECT_EQ(ret.v.vt, VT_BOOL);
    EXPECT_EQ(ret.v.boolVal, VARIANT_FALSE);
    const auto [code, text] = LastError();
    EXPECT_EQ(code, 4502);
    EXPECT_EQ(text, L"Операция отменена пользователем");
    std::cout << "[ NOTE     ] label " << fit.width << " px, its text " << fit.needed << " px, designed "
              << fit.designed << " px\n";
    EXPECT_GE(fit.width, fit.needed) << "the label is clipped";
    EXPECT_GE(fit.width, fit.designed) << "the designed width is the minimum";
    EXPECT_LE(fit.right, fit.edit_left) << "the label runs under the edit";
  }
  // OK on the empty field is refused on the spot: a warning, and the dialog
  // stays for the number. Then OK with "123": the cancellation goes to the server.
  {
    bool answered = false, stayed = false;
    std::wstring warning;
    const auto type_number = AnswerReceiptDialog(L"123", L"ОК", shot, &answered);
    host::WindowWatcher watcher(caption, [&](HWND dialog) {
      if (HWND ok = host::FindChild(dialog, L"Button", L"ОК")) PostMessageW(ok, BM_CLICK, 0, 0);
      HWND box = nullptr;
      for (int i = 0; i < 100 && !box; ++i) {
        Sleep(100);
        box = FindWindowW(nullptr, L"Номер квитанции");
      }
      if (box) {
        for (const auto& text : host::ChildTexts(box, L"Static")) warning += text;
        if (HWND ok = host::FindChild(box, L"Button")) PostMessageW(ok, BM_CLICK, 0, 0);
        for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(100);
      }
      stayed = IsWindow(dialog) != FALSE;
      type_number(dialog);
    });
    host::ParamArray params(7);
    params.SetInt(2, 100);
    Variant ret;
    ASSERT_EQ(Call(L"ОтменитьПлатежПоПлатежнойКарте", params, ret), S_OK);
    watcher.Join();
    ASSERT_TRUE(watcher.found());
    EXPECT_TRUE(answered);
    EXPECT_NE(warning.find(L"Введите номер квитанции"), std::wstring::npos) << "no warning for an empty OK";
    EXPECT_TRUE(stayed) << "the dialog closed on an empty OK";
    EXPECT_NE(LastError().first, 4502) << "OK went on to the server";
    EXPECT_NE(GetFileAttributesW(shot.c_str()), INVALID_FILE_ATTRIBUTES) << "the screenshot was saved";
  }
}

// ---------------------------------------------------------------- the module

// ------------------------------------- on the stack a 32-bit host gives

// A 32-bit host built with MSVC enters every export and interface method with
// the stack only 4-byte aligned: the module must open, pay and describe itself
// on such a stack.
TEST_F(Terminal, ExportsAndAPaymentHoldOnAFourByteAlignedStack) {
#if !defined(__i386__)
  GTEST_SKIP() << velko::testing::kNoMisalignedCalls;
#else
  using velko::testing::CallMisaligned;
  using velko::testing::VelkoEntryStackOffset;
  {
    ASSERT_EQ(CallMisaligned<uint32_t>(&VelkoEntryStackOffset), 4u) << "the calls below really are misaligned";
    // The function behind slot `index` of a COM object's table.
    auto Slot = [](void* object, int index) { return (*static_cast<void* const* const*>(object))[index]; };
    HMODULE module = GetModuleHandleW(L"a_velko1c83.dll");  // loaded by the object of the fixture
    ASSERT_NE(module, nullptr);
    auto exported = [&](const char* name) { return reinterpret_cast<const void*>(GetProcAddress(module, name)); };
    EXPECT_EQ(CallMisaligned<HRESULT>(exported("DllRegisterServer")), S_OK);
    EXPECT_EQ(CallMisaligned<HRESULT>(exported("DllCanUnloadNow")), S_FALSE) << "the fixture's object lives";
    Ref<IClassFactory> factory;
    ASSERT_EQ(CallMisaligned<HRESULT>(exported("DllGetClassObject"), &CLSID_AddInVelko, &IID_IClassFactory,
                                      factory.put_void()),
              S_OK);
    {
      Ref<IInitDone> made;  // IClassFactory::CreateInstance is slot 3; IInitDone's Init 3, Done 4
      ASSERT_EQ(CallMisaligned<HRESULT>(Slot(factory.get(), 3), factory.get(), nullptr, &IID_IInitDone,
                                        made.put_void()),
                S_OK);
      host::Connection connection;
      EXPECT_EQ(CallMisaligned<HRESULT>(Slot(made.get(), 3), made.get(), static_cast<IDispatch*>(&connection)), S_OK);
      EXPECT_EQ(CallMisaligned<HRESULT>(Slot(made.get(), 4), made.get()), S_OK);
    }

    // ILanguageExtender: FindMethod is slot 12, CallAsFunc 18.
    auto call = [&](const wchar_t* name, host::ParamArray& params, Variant& ret) {
      Bstr text(name);
      long number = -1;
      EXPECT_EQ(CallMisaligned<HRESULT>(Slot(lang_.get(), 12), lang_.get(), text.b, &number), S_OK);
      EXPECT_GE(number, 0);
      return CallMisaligned<HRESULT>(Slot(lang_.get(), 18), lang_.get(), number, &ret.v, params.put());
    };
    host::ParamArray open(1);
    Variant opened;
    ASSERT_EQ(call(L"Подключить", open, opened), S_OK);
    ASSERT_EQ(opened.v.vt, VT_BOOL);
    ASSERT_EQ(opened.v.boolVal, VARIANT_TRUE) << "error: " << LastError().first;
    host::ParamArray params(7);
    params.SetText(1, L"");
    params.SetInt(2, 100);
    Variant ret;
    ASSERT_EQ(call(L"PayByPaymentCard", params, ret), S_OK);
    ASSERT_EQ(ret.v.vt, VT_BOOL);
    EXPECT_EQ(ret.v.boolVal, VARIANT_TRUE) << "error: " << LastError().first;
    EXPECT_EQ(params.TextAt(3).size(), 10u) << "the receipt number";
    EXPECT_DOUBLE_EQ(params.DoubleAt(2), 100.0);
  }
#endif
}

using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

TEST(Module, CanUnloadNowOnlyWithoutObjectsAndLocks) {
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(kProgID, &clsid), S_OK);
  Ref<IInitDone> object;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone, object.put_void()), S_OK);
  // Pinned, so that the runtime cannot unload it while the test looks at it.
  HMODULE module = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(module, nullptr);
  auto can_unload = reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  auto get_class = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  ASSERT_NE(can_unload, nullptr);
  ASSERT_NE(get_class, nullptr);

  EXPECT_EQ(can_unload(), S_FALSE);
  {
    Ref<IUnknown> second;
    ASSERT_EQ(object->QueryInterface(IID_ILanguageExtender, second.put_void()), S_OK);
    object.reset();
    EXPECT_EQ(can_unload(), S_FALSE) << "one reference is still held";
  }
  EXPECT_EQ(can_unload(), S_OK);

  Ref<IClassFactory> factory;
  ASSERT_EQ(get_class(CLSID_AddInVelko, IID_IClassFactory, factory.put_void()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(can_unload(), S_OK);
  {
    Ref<IInitDone> made;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IInitDone, made.put_void()), S_OK);
    EXPECT_EQ(can_unload(), S_FALSE);
    Ref<IInitDone> aggregated;
    EXPECT_EQ(factory->CreateInstance(made.get(), IID_IUnknown, aggregated.put_void()), CLASS_E_NOAGGREGATION);
  }
  EXPECT_EQ(can_unload(), S_OK);

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(get_class(IID_IDispatch, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(get_class(CLSID_AddInVelko, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  factory.reset();
  FreeLibrary(module);
}

// Creates the add-in through the module's own class factory (no COM
// runtime holding the module), opens it against the emulator and pays 10.
bool PayThroughModule(HMODULE module, long port) {
  auto get_class = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  Ref<IClassFactory> factory;
  if (!get_class || get_class(CLSID_AddInVelko, IID_IClassFactory, factory.put_void()) != S_OK) return false;
  Ref<IInitDone> init;
  Ref<ILanguageExtender> lang;
  if (factory->CreateInstance(nullptr, IID_IInitDone, init.put_void()) != S_OK ||
      init->QueryInterface(IID_ILanguageExtender, lang.put_void()) != S_OK)
    return false;
  host::Connection connection;
  if (init->Init(static_cast<IDispatch*>(&connection)) != S_OK) return false;
  Bstr port_name(L"ServerPort");
  long number = -1;
  Variant value;
  value.v.vt = VT_I4;
  value.v.lVal = port;
  lang->FindProp(port_name.b, &number);
  lang->SetPropVal(number, &value.v);
  bool paid = true;
  for (const auto& [name, count] : {std::pair<const wchar_t*, ULONG>{L"Подключить", 1}, {L"PayByPaymentCard", 7}}) {
    Bstr method(name);
    lang->FindMethod(method.b, &number);
    host::ParamArray params(count);
    if (count == 7) params.SetInt(2, 10);
    Variant ret;
    paid = paid && lang->CallAsFunc(number, &ret.v, params.put()) == S_OK && ret.v.vt == VT_BOOL &&
           ret.v.boolVal == VARIANT_TRUE;
  }
  init->Done();
  return paid;
}

TEST(ModuleReload, PaysLoadedAgainAtAnotherAddress) {
  if (!RunningAsReloadChild()) {
    // In a process of its own: nothing else may hold the module.
    SetEnvironmentVariableW(L"VELKO_RELOAD_CHILD", L"1");
    const long code = host::RunAndWait(Quoted(host::ModulePath()) + L" --gtest_filter=ModuleReload.*");
    SetEnvironmentVariableW(L"VELKO_RELOAD_CHILD", nullptr);
    EXPECT_EQ(code, 0) << "the reload run failed";
    return;
  }
  if (GetFileAttributesW(VelkoExe().c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no velko.exe here";
  host::EmulatorProcess emulator(VelkoExe());
  ASSERT_GT(emulator.port(), 0);
  HMODULE first = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(first, nullptr);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(first);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(first) + dos->e_lfanew);
  const SIZE_T image_size = nt->OptionalHeader.SizeOfImage;
  ASSERT_TRUE(PayThroughModule(first, emulator.port()));
  ASSERT_TRUE(FreeLibrary(first));
  ASSERT_EQ(GetModuleHandleW(host::FileNameOf(DllPath()).c_str()), nullptr) << "the module stayed loaded";
  // Where the module was is now taken: the next load goes elsewhere, and
  // anything left behind that points at the old code would crash.
  void* taken = VirtualAlloc(first, image_size, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(taken, nullptr);
  HMODULE second = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_TRUE(PayThroughModule(second, emulator.port()));
  FreeLibrary(second);
  VirtualFree(taken, 0, MEM_RELEASE);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  ::testing::AddGlobalTestEnvironment(new ServerEnvironment);
  const int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
