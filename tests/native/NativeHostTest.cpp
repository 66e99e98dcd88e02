// The host's side of the Native API, played against the built module: it is
// loaded as the host loads it (dlopen, LoadLibrary), and every call goes
// through a raw vtable slot of the host's layout (MSVC on Windows, Itanium
// on Linux) with the stand-in's own declaration of the host's value. Nothing
// of the component's own declarations is used, so a slot, calling-convention
// or layout mistake in the module fails here. The stand-in's memory manager
// counts every block the module hands over; each test ends with none live.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "emulator/TerminalEmulator.h"
#include "support/MisalignedCall.h"
#include "support/TempDataFolder.h"

namespace {

#ifdef _WIN32
#define HOST_CALL __stdcall
using Unit = wchar_t;
constexpr int kHead = 1;  // MSVC: one destructor slot
#else
#define HOST_CALL
using Unit = char16_t;
constexpr int kHead = 2;  // Itanium: complete and deleting destructors
#endif
using Text = std::basic_string<Unit>;

Text T(const char16_t* s) { return Text(reinterpret_cast<const Unit*>(s), std::char_traits<char16_t>::length(s)); }

// The host's value as the host's headers lay it out.
struct CalendarTm {
  int sec, min, hour, mday, mon, year, wday, yday, isdst;
#ifndef _WIN32
  long gmtoff;
  const char* zone;
#endif
};
struct Value {
  union {
    int32_t i4;
    double r8;
    bool b;
    CalendarTm tm;
    struct {
      void* p;
      unsigned char id[16];
    } iface;
    struct {
      Unit* p;
      uint32_t len;
    } ws;
  };
  uint32_t elements;
  uint16_t vt;
};
enum : uint16_t { kEmpty = 0, kI4 = 3, kR8 = 5, kTm = 7, kBool = 11, kPwstr = 22 };

// ----------------------------------------------------------------- host side

using Slot = void (*)();
template <class F>
Slot S(F f) {
  return reinterpret_cast<Slot>(f);
}

struct MemoryManager {
  explicit MemoryManager(const Slot* table) : vtable(table) {}
  const Slot* vtable;
  std::set<void*> live;
  std::vector<void*> freed;  // in order, so that a block freed and handed out again still shows
  int handed = 0;
};
bool HOST_CALL Alloc(MemoryManager* self, void** block, unsigned long bytes) {
  *block = std::malloc(bytes);
  self->live.insert(*block);
  ++self->handed;
  return *block != nullptr;
}
void HOST_CALL Free(MemoryManager* self, void** block) {
  EXPECT_EQ(self->live.erase(*block), 1u) << "a block the manager never handed out";
  self->freed.push_back(*block);
  std::free(*block);
  *block = nullptr;
}

struct Connection {
  explicit Connection(const Slot* table) : vtable(table) {}
  const Slot* vtable;
  std::vector<unsigned short> kinds;
  std::vector<Text> errors;
  long depth = 0;
  // Set to make the error call release the object, as a host handler may.
  long (*destroy)(void**) = nullptr;
  void** object = nullptr;
};
bool HOST_CALL AddError(Connection* self, unsigned short kind, const Unit* source, const Unit* text, long) {
  self->kinds.push_back(kind);
  self->errors.push_back(Text(source) + T(u": ") + Text(text));
  if (self->destroy) {
    EXPECT_EQ(self->destroy(self->object), 0);
  }
  return true;
}
bool HOST_CALL Read(Connection*, Unit*, Value*, long*, Unit**) { return false; }
bool HOST_CALL Write(Connection*, Unit*, Value*) { return false; }
bool HOST_CALL TakesText(Connection*, Unit*) { return false; }
bool HOST_CALL SetDepth(Connection* self, long depth) {
  self->depth = depth;
  return true;
}
long HOST_CALL GetDepth(Connection* self) { return self->depth; }
bool HOST_CALL Event(Connection*, Unit*, Unit*, Unit*) { return true; }
void HOST_CALL Nothing(Connection*) {}

// Slots after the head, in the host's order.
const Slot kMemoryTable[] = {nullptr, nullptr, S(&Alloc), S(&Free)};
const Slot kConnectionTable[] = {nullptr,     nullptr,      S(&AddError), S(&Read),  S(&Write),
                                 S(&TakesText), S(&SetDepth), S(&GetDepth), S(&Event), S(&Nothing),
                                 S(&TakesText), S(&Nothing)};

// --------------------------------------------------------------- the module

std::filesystem::path ModulePath() {
#ifdef _WIN32
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, n)).parent_path() / "a_velko1c83_native.dll";
#else
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  return std::filesystem::path(std::string(exe, n > 0 ? static_cast<size_t>(n) : 0)).parent_path() /
         "a_velko1c83_native.so";
#endif
}

class Module {
 public:
  Module() {
#ifdef _WIN32
    handle_ = ::LoadLibraryW(ModulePath().wstring().c_str());
#else
    handle_ = dlopen(ModulePath().string().c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~Module() {
    if (handle_) {
      EXPECT_TRUE(Unload());
    }
  }
  bool Unload() {
#ifdef _WIN32
    const bool ok = ::FreeLibrary(static_cast<HMODULE>(handle_)) != 0;
#else
    const bool ok = dlclose(handle_) == 0;
#endif
    handle_ = nullptr;
    return ok;
  }
  template <class F>
  F Get(const char* name) const {
#ifdef _WIN32
    // Through void(*)(), the type that any function pointer may pass as.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(static_cast<HMODULE>(handle_), name)));
#else
    return reinterpret_cast<F>(dlsym(handle_, name));
#endif
  }
  bool Loaded() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// The component's three interfaces sit one pointer apart.
enum Part { kInitDone = 0, kLanguage = 1, kLocale = 2 };

template <class R, class... A>
R Invoke(void* object, Part part, int slot, A... args) {
  void* self = static_cast<char*>(object) + part * sizeof(void*);
  const Slot* table = *static_cast<Slot* const*>(self);
  return reinterpret_cast<R(HOST_CALL*)(void*, A...)>(table[kHead + slot])(self, args...);
}

// ILanguageExtender slots.
enum {
  kRegisterExtensionAs, kGetNProps, kFindProp, kGetPropName, kGetPropVal, kSetPropVal, kIsPropReadable,
  kIsPropWritable, kGetNMethods, kFindMethod, kGetMethodName, kGetNParams, kGetParamDefValue, kHasRetVal,
  kCallAsProc, kCallAsFunc
};

class NativeHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new velko::testing::TempDataFolder("native");
    emulator_ = new velko::emulator::TerminalEmulator();
    emulator_->Start();
  }
  static void TearDownTestSuite() {
    delete emulator_;
    delete folder_;
  }

  // The class the test creates.
  virtual const char16_t* ClassName() const { return u"VelkoAcquiring"; }

  void SetUp() override {
    ASSERT_TRUE(module_.Loaded()) << ModulePath();
    const auto create = module_.Get<long (*)(const Unit*, void**)>("GetClassObject");
    ASSERT_NE(create, nullptr);
    ASSERT_NE(create(T(ClassName()).c_str(), &object_), 0);
    ASSERT_NE(object_, nullptr);
    EXPECT_TRUE((Invoke<bool, void*>(object_, kInitDone, 1, &memory_)));  // setMemManager
    EXPECT_TRUE((Invoke<bool, void*>(object_, kInitDone, 0, &connection_)));  // Init
    EXPECT_EQ(connection_.depth, 100);
  }

  void TearDown() override {
    if (object_) {
      Invoke<void>(object_, kInitDone, 3);  // Done
      EXPECT_EQ(module_.Get<long (*)(void**)>("DestroyObject")(&object_), 0);
      EXPECT_EQ(object_, nullptr);
    }
    EXPECT_TRUE(memory_.live.empty()) << memory_.live.size() << " blocks not freed";
  }

  // A text the module handed over, freed as the host frees it.
  Text Take(const Unit* block) {
    if (!block) return T(u"<null>");
    Text text(block);
    void* p = const_cast<Unit*>(block);
    Free(&memory_, &p);
    return text;
  }
  // A host-owned value: texts in blocks of the stand-in's manager.
  Value Str(const char16_t* text) {
    Value v{};
    const size_t n = std::char_traits<char16_t>::length(text);
    void* block = nullptr;
    Alloc(&memory_, &block, static_cast<unsigned long>((n + 1) * sizeof(Unit)));
    std::memcpy(block, text, (n + 1) * sizeof(Unit));
    v.vt = kPwstr;
    v.ws.p = static_cast<Unit*>(block);
    v.ws.len = static_cast<uint32_t>(n);
    return v;
  }
  static Value Int(int32_t i) {
    Value v{};
    v.vt = kI4;
    v.i4 = i;
    return v;
  }
  void Clear(std::vector<Value>& values) {
    for (Value& v : values)
      if (v.vt == kPwstr) Free(&memory_, reinterpret_cast<void**>(&v.ws.p));
    values.clear();
  }
  static Text Str(const Value& v) { return v.vt == kPwstr ? Text(v.ws.p, v.ws.len) : T(u"<not a text>"); }

  long Prop(const char16_t* name) { return Invoke<long, const Unit*>(object_, kLanguage, kFindProp, T(name).c_str()); }
  long Method(const char16_t* name) {
    return Invoke<long, const Unit*>(object_, kLanguage, kFindMethod, T(name).c_str());
  }
  // CallAsFunc with the method's full parameter count; `params` is padded.
  bool Call(const char16_t* name, std::vector<Value>& params, Value& ret) {
    const long number = Method(name);
    EXPECT_GE(number, 0);
    params.resize(static_cast<size_t>(Invoke<long, long>(object_, kLanguage, kGetNParams, number)));
    ret = Value{};
    return Invoke<bool, long, Value*, Value*, long>(object_, kLanguage, kCallAsFunc, number, &ret, params.data(),
                                                    static_cast<long>(params.size()));
  }
  // "ПолучитьОшибку": the code and the text of the last call.
  std::pair<int32_t, Text> LastError() {
    std::vector<Value> params;
    Value ret;
    EXPECT_TRUE(Call(u"ПолучитьОшибку", params, ret));
    std::pair<int32_t, Text> error{ret.vt == kI4 ? ret.i4 : -1, Str(params[0])};
    Clear(params);
    return error;
  }
  void Open() {
    const long port = Prop(u"ServerPort");
    Value v = Int(emulator_->Port());
    ASSERT_TRUE((Invoke<bool, long, Value*>(object_, kLanguage, kSetPropVal, port, &v)));
    std::vector<Value> params;
    Value ret;
    ASSERT_TRUE(Call(u"Подключить", params, ret));
    ASSERT_EQ(ret.vt, kBool);
    ASSERT_TRUE(ret.b) << LastError().first;
    Clear(params);
  }

  static velko::testing::TempDataFolder* folder_;
  static velko::emulator::TerminalEmulator* emulator_;
  Module module_;
  MemoryManager memory_{kMemoryTable + 2 - kHead};
  Connection connection_{kConnectionTable + 2 - kHead};
  void* object_ = nullptr;
};
velko::testing::TempDataFolder* NativeHost::folder_ = nullptr;
velko::emulator::TerminalEmulator* NativeHost::emulator_ = nullptr;

// The module's classes, as GetClassNames lists them, and the extension name
// each object registers as: the host creates AddIn.<attach name>.<that name>.
constexpr const char16_t* kClassNames = u"VelkoAcquiring|VelkoAcquiring3004|VelkoAcquiring4000";
const struct {
  const char16_t* native_name;
  const char16_t* extension;
} kClasses[] = {
    {u"VelkoAcquiring", u"a_velko1c83"},
    {u"VelkoAcquiring3004", u"a_velko1c83_3004"},
    {u"VelkoAcquiring4000", u"a_velko1c83_4000"},
};

TEST(NativeModule, ExportsAndClasses) {
  Module module;
  ASSERT_TRUE(module.Loaded()) << ModulePath();
  EXPECT_EQ(Text(module.Get<const Unit* (*)()>("GetClassNames")()), T(kClassNames));
  EXPECT_EQ(module.Get<int (*)(int)>("SetPlatformCapabilities")(1), 1);
  // 1: only in the host's own process, not isolated in a process of its own.
  const auto attach_type = module.Get<int (*)()>("GetAttachType");
  ASSERT_NE(attach_type, nullptr);
  EXPECT_EQ(attach_type(), 1);
  void* object = nullptr;
  EXPECT_EQ(module.Get<long (*)(const Unit*, void**)>("GetClassObject")(T(u"Other").c_str(), &object), 0);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(module.Get<long (*)(void**)>("DestroyObject")(&object), -1);
}

TEST(NativeModule, EachClassRegistersAsItsOwnExtension) {
  Module module;
  ASSERT_TRUE(module.Loaded()) << ModulePath();
  const auto create = module.Get<long (*)(const Unit*, void**)>("GetClassObject");
  const auto destroy = module.Get<long (*)(void**)>("DestroyObject");
  MemoryManager memory{kMemoryTable + 2 - kHead};
  for (const auto& cls : kClasses) {
    const Text extension = T(cls.extension);
    SCOPED_TRACE(std::string(extension.begin(), extension.end()));
    void* object = nullptr;
    ASSERT_NE(create(T(cls.native_name).c_str(), &object), 0);
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE((Invoke<bool, void*>(object, kInitDone, 1, &memory)));  // setMemManager
    Unit* name = nullptr;
    ASSERT_TRUE((Invoke<bool, Unit**>(object, kLanguage, kRegisterExtensionAs, &name)));
    EXPECT_EQ(Text(name), extension);
    Free(&memory, reinterpret_cast<void**>(&name));
    EXPECT_EQ(destroy(&object), 0);
  }
  EXPECT_TRUE(memory.live.empty());
}

TEST_F(NativeHost, DescribesItself) {
  EXPECT_EQ(Invoke<long>(object_, kInitDone, 2), 2000);  // GetInfo
  Unit* name = nullptr;
  ASSERT_TRUE((Invoke<bool, Unit**>(object_, kLanguage, kRegisterExtensionAs, &name)));
  EXPECT_EQ(Take(name), T(u"a_velko1c83"));
  Invoke<void, const Unit*>(object_, kLocale, 0, T(u"ru_RU").c_str());  // SetLocale

  // Properties by index and by name, both ways.
  const long props = Invoke<long>(object_, kLanguage, kGetNProps);
  const long port = Prop(u"ServerPort");
  ASSERT_GE(port, 0);
  ASSERT_LT(port, props);
  EXPECT_EQ(Prop(u"Порт сервера"), port);
  EXPECT_EQ(Prop(u"NoSuch"), -1);
  EXPECT_EQ(Take(Invoke<const Unit*, long, long>(object_, kLanguage, kGetPropName, port, 0)), T(u"ServerPort"));
  // Alias 1 is a name the host language can write after a dot, never the
  // caption with its blank; lookup by the caption still works (above).
  EXPECT_EQ(Take(Invoke<const Unit*, long, long>(object_, kLanguage, kGetPropName, port, 1)), T(u"ServerPort"));
  EXPECT_TRUE((Invoke<bool, long>(object_, kLanguage, kIsPropReadable, port)));
  EXPECT_TRUE((Invoke<bool, long>(object_, kLanguage, kIsPropWritable, port)));
  Value v = Int(16600);
  EXPECT_TRUE((Invoke<bool, long, Value*>(object_, kLanguage, kSetPropVal, port, &v)));
  v = Value{};
  EXPECT_TRUE((Invoke<bool, long, Value*>(object_, kLanguage, kGetPropVal, port, &v)));
  EXPECT_EQ(v.vt, kI4);
  EXPECT_EQ(v.i4, 16600);
  const long address = Prop(u"ServerAddress");
  EXPECT_TRUE((Invoke<bool, long, Value*>(object_, kLanguage, kGetPropVal, address, &v)));
  EXPECT_EQ(Str(v), T(u"127.0.0.1"));
  Take(v.ws.p);

  // Methods by either name in any case, with their parameter counts.
  struct Case {
    const char16_t* name;
    const char16_t* other;
    long params;
  };
  for (const Case& c : {Case{u"PayByPaymentCard", u"оплатитьплатежнойкартой", 7},
                        Case{u"ОтменитьПлатежПоПлатежнойКарте", u"CANCELPAYMENTBYPAYMENTCARD", 7},
                        Case{u"ПолучитьОшибку", u"getlasterror", 1}, Case{u"Settelment", u"ИтогиДняПоКартам", 2}}) {
    const long number = Method(c.name);
    ASSERT_GE(number, 0) << static_cast<int>(c.params);
    EXPECT_EQ(Method(c.other), number);
    EXPECT_EQ((Invoke<long, long>(object_, kLanguage, kGetNParams, number)), c.params);
    EXPECT_TRUE((Invoke<bool, long>(object_, kLanguage, kHasRetVal, number)));
    const Text first = Take(Invoke<const Unit*, long, long>(object_, kLanguage, kGetMethodName, number, 0));
    const Text second = Take(Invoke<const Unit*, long, long>(object_, kLanguage, kGetMethodName, number, 1));
    EXPECT_EQ(Method(reinterpret_cast<const char16_t*>(first.c_str())), number);
    EXPECT_EQ(Method(reinterpret_cast<const char16_t*>(second.c_str())), number);
    EXPECT_NE(first, second);
    Value def{};
    def.vt = kI4;
    EXPECT_TRUE((Invoke<bool, long, long, Value*>(object_, kLanguage, kGetParamDefValue, number, 0, &def)));
    EXPECT_EQ(def.vt, kEmpty);
  }
  EXPECT_EQ(Method(u"NoSuchMethod"), -1);
  EXPECT_GT(Invoke<long>(object_, kLanguage, kGetNMethods), 20);
}

TEST_F(NativeHost, PaymentWritesBackItsOutputs) {
  Open();
  // Position 3 holds a text the method replaces: its block must come back.
  // Position 0 holds a text the method does not touch: it keeps the host's
  // own block, neither freed nor replaced.
  std::vector<Value> params{Str(u"mine"), Str(u""), Int(100), Str(u"old"), Value{}, Value{}, Value{}};
  Unit* const untouched = params[0].ws.p;
  const int handed = memory_.handed;
  memory_.freed.clear();  // blocks freed before, whose addresses may come round again
  Value ret;
  ASSERT_TRUE(Call(u"ОплатитьПлатежнойКартой", params, ret));
  ASSERT_EQ(ret.vt, kBool);
  EXPECT_TRUE(ret.b);
  EXPECT_EQ(params[0].ws.p, untouched);
  EXPECT_EQ(Str(params[0]), T(u"mine"));
  EXPECT_EQ(std::count(memory_.freed.begin(), memory_.freed.end(), untouched), 0);
  // One new block per text output: the card, receipt and reference numbers,
  // the authorisation code and the slip.
  EXPECT_EQ(memory_.handed - handed, 5);
  const Text pan = Str(params[1]);
  EXPECT_EQ(pan.size(), 16u);
  EXPECT_NE(pan.find(T(u"*")), Text::npos) << "the card number is masked";
  EXPECT_TRUE(params[2].vt == kR8 && params[2].r8 == 100.0);
  EXPECT_EQ(Str(params[3]).size(), 10u);   // the receipt number
  EXPECT_EQ(Str(params[4]).size(), 12u);   // the reference number
  EXPECT_FALSE(Str(params[5]).empty());    // the authorisation code
  EXPECT_NE(Str(params[6]).find(T(u"\n")), Text::npos);  // the slip
  Clear(params);
  EXPECT_EQ(LastError().first, 0);
  EXPECT_TRUE(connection_.errors.empty());
}

TEST_F(NativeHost, DeclineAndExceptionAnswerFalse) {
  Open();
  emulator_->LoadScript(R"({"op":"PUR","action":"decline"})");
  std::vector<Value> params{Value{}, Str(u""), Int(100)};
  Value ret;
  ASSERT_TRUE(Call(u"ОплатитьПлатежнойКартой", params, ret));  // the call completes
  EXPECT_TRUE(ret.vt == kBool && !ret.b);
  Clear(params);
  EXPECT_NE(LastError().first, 0);
  EXPECT_TRUE(connection_.errors.empty());
  emulator_->LoadScript("");

  // An amount that is no number: the method throws; the host hears it
  // through AddError with a message box, and the call answers false.
  params = {Value{}, Str(u""), Str(u"сто")};
  EXPECT_FALSE(Call(u"ОплатитьПлатежнойКартой", params, ret));
  EXPECT_EQ(ret.vt, kEmpty) << "a call that answers false hands over no value";
  Clear(params);
  ASSERT_EQ(connection_.errors.size(), 1u);
  EXPECT_EQ(connection_.kinds[0], 1009);
  // The method as the table names it first, as in the COM add-in's box.
  EXPECT_EQ(connection_.errors[0].rfind(T(u"EXCEPTION: Method: PayByPaymentCard\r\nMessage: "), 0), 0u);
}

// A host handler that runs while a call waits and destroys the object: the
// object goes when the call returns, not under it.
TEST_F(NativeHost, ObjectDestroyedDuringItsCallOutlivesTheCall) {
  connection_.destroy = module_.Get<long (*)(void**)>("DestroyObject");
  connection_.object = &object_;
  std::vector<Value> params{Value{}, Str(u""), Str(u"сто")};
  Value ret;
  const long number = Method(u"PayByPaymentCard");
  void* object = object_;
  EXPECT_FALSE((Invoke<bool, long, Value*, Value*, long>(object, kLanguage, kCallAsFunc, number, &ret,
                                                          params.data(), 3)));
  EXPECT_EQ(object_, nullptr);
  EXPECT_EQ(connection_.errors.size(), 1u);
  Clear(params);
}

// A 32-bit host built with MSVC enters the exports and every interface method
// with the stack only 4-byte aligned: the module must make an object, open,
// pay and let the object go on such a stack.
TEST_F(NativeHost, ExportsAndAPaymentHoldOnAFourByteAlignedStack) {
#if !defined(__i386__)
  GTEST_SKIP() << velko::testing::kNoMisalignedCalls;
#else
  using velko::testing::CallMisaligned;
  using velko::testing::VelkoEntryStackOffset;
  {
    ASSERT_EQ(CallMisaligned<uint32_t>(&VelkoEntryStackOffset), 4u) << "the calls below really are misaligned";
    // The part's own pointer and the function in its slot, as Invoke finds them.
    auto slot = [](void* object, Part part, int index) {
      void* self = static_cast<char*>(object) + part * sizeof(void*);
      return std::pair{self, reinterpret_cast<const void*>((*static_cast<Slot* const*>(self))[kHead + index])};
    };
    auto call = [&]<class R, class... A>(void* object, Part part, int index, A... args) {
      const auto [self, function] = slot(object, part, index);
      return CallMisaligned<R>(function, self, args...);
    };
    EXPECT_EQ(Text(CallMisaligned<const Unit*>(module_.Get<const void*>("GetClassNames"))), T(kClassNames));
    void* object = nullptr;
    const Text name = T(u"VelkoAcquiring");
    ASSERT_NE(CallMisaligned<long>(module_.Get<const void*>("GetClassObject"), name.c_str(), &object), 0);
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE(call.operator()<bool>(object, kInitDone, 1, &memory_));      // setMemManager
    EXPECT_TRUE(call.operator()<bool>(object, kInitDone, 0, &connection_));  // Init

    const Text port_name = T(u"ServerPort");
    const long port = call.operator()<long>(object, kLanguage, kFindProp, port_name.c_str());
    Value port_value = Int(emulator_->Port());
    EXPECT_TRUE(call.operator()<bool>(object, kLanguage, kSetPropVal, port, &port_value));
    auto run = [&](const char16_t* method, std::vector<Value>& params, Value& ret) {
      const Text text = T(method);
      const long number = call.operator()<long>(object, kLanguage, kFindMethod, text.c_str());
      EXPECT_GE(number, 0);
      params.resize(static_cast<size_t>(call.operator()<long>(object, kLanguage, kGetNParams, number)));
      ret = Value{};
      return call.operator()<bool>(object, kLanguage, kCallAsFunc, number, &ret, params.data(),
                                   static_cast<long>(params.size()));
    };
    std::vector<Value> params;
    Value ret;
    ASSERT_TRUE(run(u"Подключить", params, ret));
    EXPECT_TRUE(ret.vt == kBool && ret.b);
    Clear(params);
    params = {Value{}, Str(u""), Int(100)};
    ASSERT_TRUE(run(u"PayByPaymentCard", params, ret));
    EXPECT_TRUE(ret.vt == kBool && ret.b);
    EXPECT_EQ(Str(params[3]).size(), 10u);  // the receipt number
    EXPECT_TRUE(params[2].vt == kR8 && params[2].r8 == 100.0);
    Clear(params);

    call.operator()<void>(object, kInitDone, 3);  // Done
    EXPECT_EQ(CallMisaligned<long>(module_.Get<const void*>("DestroyObject"), &object), 0);
    EXPECT_EQ(object, nullptr);
  }
#endif
}

TEST_F(NativeHost, CancellationWithoutReceiptNumberAsksForIt) {
#ifdef _WIN32
  GTEST_SKIP() << "on Windows the module asks the cashier in its dialog; only Linux has nobody to ask";
#endif
  Open();
  std::vector<Value> params{Value{}, Value{}, Int(100), Str(u"")};
  Value ret;
  ASSERT_TRUE(Call(u"ОтменитьПлатежПоПлатежнойКарте", params, ret));
  EXPECT_TRUE(ret.vt == kBool && !ret.b);
  Clear(params);
  const auto [code, text] = LastError();
  EXPECT_EQ(code, 4502);
  EXPECT_NE(text.find(T(u"номер квитанции")), Text::npos);
}

// Every name read back is one the host language can write and one lookup
// finds again: alias 0 the international (Latin) name, alias 1 the local one.
TEST_F(NativeHost, NamesReadBackAreInternationalThenLocal) {
  const auto latin = [](const Text& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](Unit c) { return c < 0x80; });
  };
  const auto name_of = [&](int slot, long number, long alias) {
    return Take(Invoke<const Unit*, long, long>(object_, kLanguage, slot, number, alias));
  };
  const long methods = Invoke<long>(object_, kLanguage, kGetNMethods);
  for (long n = 0; n < methods; ++n) {
    const Text international = name_of(kGetMethodName, n, 0);
    const Text local = name_of(kGetMethodName, n, 1);
    EXPECT_TRUE(latin(international)) << n;
    EXPECT_FALSE(latin(local)) << n;
    EXPECT_EQ(Invoke<long>(object_, kLanguage, kFindMethod, international.c_str()), n);
    EXPECT_EQ(Invoke<long>(object_, kLanguage, kFindMethod, local.c_str()), n);
  }
  const long props = Invoke<long>(object_, kLanguage, kGetNProps);
  for (long n = 0; n < props; ++n) {
    for (long alias : {0L, 1L}) {
      const Text name = name_of(kGetPropName, n, alias);
      EXPECT_EQ(name.find(Unit(' ')), Text::npos) << n;
      EXPECT_EQ(Invoke<long>(object_, kLanguage, kFindProp, name.c_str()), n) << n;
    }
  }
  // A setting whose alias is a name gives it as the local name.
  EXPECT_EQ(name_of(kGetPropName, Prop(u"CurrencyCode"), 1), T(u"КодВалюты"));

  // Numbers out of range answer false and write nothing.
  EXPECT_FALSE((Invoke<bool, long>(object_, kLanguage, kHasRetVal, 9999)));
  EXPECT_FALSE((Invoke<bool, long>(object_, kLanguage, kHasRetVal, -1)));
  Value def = Int(7);
  EXPECT_FALSE((Invoke<bool, long, long, Value*>(object_, kLanguage, kGetParamDefValue, 9999, 0, &def)));
  const long pay = Method(u"PayByPaymentCard");
  EXPECT_FALSE((Invoke<bool, long, long, Value*>(object_, kLanguage, kGetParamDefValue, pay, 7, &def)));
  EXPECT_TRUE(def.vt == kI4 && def.i4 == 7);
  EXPECT_EQ(name_of(kGetMethodName, 9999, 0), T(u"<null>"));
  EXPECT_EQ(name_of(kGetPropName, 9999, 1), T(u"<null>"));
  Value ret = Int(7);
  EXPECT_FALSE((Invoke<bool, long, Value*, Value*, long>(object_, kLanguage, kCallAsFunc, 9999, &ret, nullptr, 0)));
  EXPECT_TRUE(ret.vt == kI4 && ret.i4 == 7) << "a call that answers false leaves the host's value";
}

// The equipment standard's English names reach the methods the table names
// otherwise, whose numbers and names read back stay as they were.
TEST_F(NativeHost, TheStandardsEnglishNamesAreFound) {
  struct Case {
    const char16_t* standard;
    const char16_t* table;
    const char16_t* local;
    long number;
  };
  const long methods = Invoke<long>(object_, kLanguage, kGetNMethods);
  for (const Case& c : {Case{u"ReturnPaymentByPaymentCard", u"ReturnPaymantByPaymantCard",
                             u"ВернутьПлатежПоПлатежнойКарте", 12},
                        Case{u"AuthorisationByPaymentCard", u"AuthorizePreSales", u"ПреавторизацияПоПлатежнойКарте", 14},
                        Case{u"AuthConfirmationByPaymentCard", u"AuthorizeCompletion",
                             u"ЗавершитьПреавторизациюПоПлатежнойКарте", 15},
                        Case{u"CancelAuthorisationByPaymentCard", u"CancelAuthorisationByPaymentCard",
                             u"ОтменитьПреавторизациюПоПлатежнойКарте", 16},
                        Case{u"Settlement", u"Settelment", u"ИтогиДняПоКартам", 18}}) {
    EXPECT_EQ(Method(c.standard), c.number) << static_cast<int>(c.number);
    EXPECT_EQ(Method(c.table), c.number);
    EXPECT_EQ(Method(c.local), c.number);
    EXPECT_EQ(Take(Invoke<const Unit*, long, long>(object_, kLanguage, kGetMethodName, c.number, 0)), T(c.table));
    EXPECT_EQ(Take(Invoke<const Unit*, long, long>(object_, kLanguage, kGetMethodName, c.number, 1)), T(c.local));
  }
  EXPECT_EQ(Method(u"settlement"), 18);
  EXPECT_EQ(Method(u"RETURNPAYMENTBYPAYMENTCARD"), 12);
  // No entry was added for them.
  EXPECT_EQ(Method(u"PrintSlipOnTerminal"), 19);
  EXPECT_EQ(Method(u"Payment") + 1, methods);
}

// The guide's example creates the object by the name the host gives it:
// AddIn.<the name it was attached under>.<what RegisterExtensionAs answers>.
TEST_F(NativeHost, TheGuidesObjectNameIsTheOneTheHostGives) {
  const std::filesystem::path guide = ModulePath().parent_path() / "INSTALL.md";
  std::ifstream in(guide, std::ios::binary);
  ASSERT_TRUE(in) << guide;
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  const size_t native = text.find("## The Native add-in");
  ASSERT_NE(native, std::string::npos);
  const std::string section = text.substr(native);
  std::smatch attach, create;
  ASSERT_TRUE(std::regex_search(section, attach,
                                std::regex("ПодключитьВнешнююКомпоненту\\([^,]+,\\s*\"([^\"]+)\",\\s*ТипВнешнейКомпоненты\\.Native")));
  ASSERT_TRUE(std::regex_search(section, create, std::regex("Новый\\(\"AddIn\\.([^.\"]+)\\.([^.\"]+)\"\\)")));
  EXPECT_EQ(create[1].str(), attach[1].str()) << "the object is named by the attach name";
  Unit* name = nullptr;
  ASSERT_TRUE((Invoke<bool, Unit**>(object_, kLanguage, kRegisterExtensionAs, &name)));
  const Text extension = Take(name);
  EXPECT_EQ(create[2].str(), std::string(extension.begin(), extension.end()));
  // An equipment library attaches AddIn.X under X and creates AddIn.X.X.
  EXPECT_EQ(create[1].str(), create[2].str());
}

// The equipment library of the host's current configurations at revision
// 4000, call by call through the module's class for it: its connection order,
// then a payment, a refused QR payment and cash withdrawal (nothing sent), a
// cancellation, the settlement and the closing. Each step gives the parameter
// count the host must get, what it passes and what it reads back; every
// position a step does not list comes back as the host passed it.
struct Arg {
  long position;
  const char16_t* text;  // a text, unless number or saved is set
  std::optional<double> number;
  std::string saved;  // a text read back by an earlier step
};
Arg Txt(long position, const char16_t* text) { return {position, text, std::nullopt, ""}; }
Arg Num(long position, double number) { return {position, nullptr, number, ""}; }
Arg SavedTxt(long position, std::string name) { return {position, nullptr, std::nullopt, std::move(name)}; }

struct ReadBack {
  long position;
  std::string what;
  std::function<bool(const Value&)> ok;
  std::string save = "";  // the text is kept under this name for a later step
};
Text TextOf(const Value& v) { return v.vt == kPwstr ? Text(v.ws.p, v.ws.len) : Text(); }
ReadBack Has(long position, std::vector<const char16_t*> pieces) {
  return {position, "a text with its attributes", [pieces](const Value& v) {
            if (v.vt != kPwstr) return false;
            for (const char16_t* piece : pieces)
              if (TextOf(v).find(T(piece)) == Text::npos) return false;
            return true;
          }};
}
ReadBack Is(long position, const char16_t* text, std::string save = "") {
  return {position, "the text", [text](const Value& v) { return v.vt == kPwstr && TextOf(v) == T(text); },
          std::move(save)};
}
ReadBack Digits(long position, size_t count, std::string save = "") {
  return {position, std::to_string(count) + " digits",
          [count](const Value& v) {
            const Text t = TextOf(v);
            return v.vt == kPwstr && t.size() == count &&
                   std::all_of(t.begin(), t.end(), [](Unit c) { return c >= '0' && c <= '9'; });
          },
          std::move(save)};
}
ReadBack MaskedCard(long position) {
  return {position, "a masked card number", [](const Value& v) {
            const Text t = TextOf(v);
            return v.vt == kPwstr && t.size() >= 13 && t.find_first_not_of(Unit('*')) == t.size() - 4;
          }};
}
ReadBack Filled(long position) {
  return {position, "a text", [](const Value& v) { return v.vt == kPwstr && v.ws.len > 0; }};
}
ReadBack AmountOf(long position, double amount) {
  return {position, "the amount", [amount](const Value& v) { return v.vt == kR8 && v.r8 == amount; }};
}

struct Step {
  const char16_t* method;
  long params;  // GetNParams, as the host asks it
  std::vector<Arg> args;
  bool answer;                                   // the Boolean the method returns,
  std::optional<int32_t> number = std::nullopt;  // or the number, for a method that returns one
  std::vector<ReadBack> reads = {};
  int32_t code = 0;    // "ПолучитьОшибку" afterwards
  bool sends = false;  // a request reaches the server
};

class EditionA4000 : public NativeHost {
 protected:
  const char16_t* ClassName() const override { return u"VelkoAcquiring4000"; }

  void Replay(const std::vector<Step>& steps) {
    std::map<std::string, Text> saved;
    for (const Step& step : steps) {
      const Text method = T(step.method);
      SCOPED_TRACE(::testing::Message() << "step " << (&step - steps.data()));
      const long number = Invoke<long, const Unit*>(object_, kLanguage, kFindMethod, method.c_str());
      ASSERT_GE(number, 0);
      ASSERT_EQ((Invoke<long, long>(object_, kLanguage, kGetNParams, number)), step.params);
      std::vector<Value> params(static_cast<size_t>(step.params));
      for (const Arg& arg : step.args) {
        Value& v = params.at(static_cast<size_t>(arg.position));
        if (arg.number) {
          v.vt = kR8;
          v.r8 = *arg.number;
        } else {
          const Text text = arg.saved.empty() ? T(arg.text) : saved.at(arg.saved);
          v = Str(reinterpret_cast<const char16_t*>(text.c_str()));
        }
      }
      std::vector<std::pair<uint16_t, Text>> passed;
      for (const Value& v : params) passed.emplace_back(v.vt, v.vt == kR8 ? T(u"") : TextOf(v));
      const std::vector<Value> before = params;
      const size_t requests = emulator_->RequestCount();

      Value ret{};
      ASSERT_TRUE((Invoke<bool, long, Value*, Value*, long>(object_, kLanguage, kCallAsFunc, number, &ret,
                                                             params.data(), step.params)));
      if (step.number) {
        EXPECT_TRUE(ret.vt == kI4 && ret.i4 == *step.number) << ret.vt;
      } else {
        EXPECT_TRUE(ret.vt == kBool && ret.b == step.answer) << ret.vt;
      }
      std::set<long> listed;
      for (const ReadBack& read : step.reads) {
        listed.insert(read.position);
        const Value& got = params[static_cast<size_t>(read.position)];
        EXPECT_TRUE(read.ok(got)) << "position " << read.position << ", wanted " << read.what;
        if (!read.save.empty()) saved[read.save] = TextOf(got);
      }
      for (size_t i = 0; i < params.size(); ++i) {
        if (listed.count(static_cast<long>(i))) continue;
        EXPECT_EQ(params[i].vt, passed[i].first) << "position " << i << " comes back as passed";
        if (params[i].vt == kR8) {
          EXPECT_EQ(params[i].r8, before[i].r8) << "position " << i;
        }
        if (params[i].vt == kPwstr) {
          EXPECT_EQ(TextOf(params[i]), passed[i].second) << "position " << i;
        }
      }
      EXPECT_EQ(emulator_->RequestCount() > requests, step.sends) << "whether the step reached the server";
      Clear(params);
      EXPECT_EQ(LastError().first, step.code);
    }
    EXPECT_TRUE(connection_.errors.empty());
  }
};

TEST_F(EditionA4000, ConnectsAndRunsTheDayThroughRawSlots) {
  Unit* name = nullptr;
  ASSERT_TRUE((Invoke<bool, Unit**>(object_, kLanguage, kRegisterExtensionAs, &name)));
  EXPECT_EQ(Take(name), T(u"a_velko1c83_4000")) << "the host creates AddIn.<attach name>.a_velko1c83_4000";
  Replay({
      {u"ПолучитьРевизиюИнтерфейса", 0, {}, true, 4000},
      {u"ПолучитьОписание", 1, {Txt(0, u"")}, true, std::nullopt,
       {Has(0, {u"<DriverDescription ", u"Name=\"VELKO32\"", u"LocalizationSupported=\"false\"",
                u"IntegrationComponent=\"false\""})}},
      {u"ПолучитьПараметры", 1, {Txt(0, u"")}, true, std::nullopt,
       {Has(0, {u"<Settings>", u"<Parameter Name=\"ServerPort\""})}},
      {u"УстановитьПараметр", 2, {Txt(0, u"EquipmentType"), Txt(1, u"ЭквайринговыйТерминал")}, true},
      {u"УстановитьПараметр", 2, {Txt(0, u"ServerPort"), Num(1, emulator_->Port())}, true},
      {u"УстановитьПараметр", 2, {Txt(0, u"MerchantID"), Txt(1, u"12")}, true},
      {u"Подключить", 1, {Txt(0, u"")}, true, std::nullopt, {Is(0, u"VELKO32-1", "id")}, 0, true},
      {u"УстановитьЛокализацию", 2, {Txt(0, u"ru"), Txt(1, u"")}, true},
      {u"ПараметрыТерминала", 2, {SavedTxt(0, "id"), Txt(1, u"")}, true, std::nullopt,
       {Has(1, {u"<TerminalParameters ", u"TerminalID=\"00012345\"", u"CashWithdrawal=\"false\"",
                u"PartialCancellation=\"false\"", u"ConsumerPresentedQR=\"false\""})}},
      // 0 ID, 1 merchant, 2 customer's QR, 3 amount, 4 card, 5 receipt, 6 RRN, 7 auth, 8 slip.
      {u"ОплатитьПлатежнойКартой", 9, {SavedTxt(0, "id"), Num(1, 0), Txt(2, u""), Num(3, 100), Txt(4, u"")}, true,
       std::nullopt,
       {AmountOf(3, 100), MaskedCard(4), Digits(5, 10, "receipt"), Digits(6, 12), Filled(7), Filled(8)}, 0, true},
      // What the terminal server cannot do: false, nothing written back, nothing sent.
      {u"ОплатитьПлатежнойКартой", 9,
       {SavedTxt(0, "id"), Num(1, 0), Txt(2, u"QR-PHONE-EMV"), Num(3, 100), Txt(4, u"")}, false, std::nullopt, {},
       1003},
      {u"ОплатитьПлатежнойКартойCВыдачейНаличных", 10,
       {SavedTxt(0, "id"), Num(1, 0), Txt(2, u""), Num(3, 100), Num(4, 20)}, false, std::nullopt, {}, 1003},
      // The whole payment cancelled (original amount 0); position 4 is never written.
      {u"ОтменитьПлатежПоПлатежнойКарте", 10,
       {SavedTxt(0, "id"), Num(1, 0), Txt(2, u""), Num(3, 100), Num(4, 0), Txt(5, u""), SavedTxt(6, "receipt"),
        Txt(7, u""), Txt(8, u""), Txt(9, u"")},
       true, std::nullopt, {MaskedCard(5), Filled(9)}, 0, true},
      {u"ИтогиДняПоКартам", 2, {SavedTxt(0, "id"), Txt(1, u"")}, true, std::nullopt, {Filled(1)}, 0, true},
      {u"Отключить", 1, {SavedTxt(0, "id")}, true},
  });
}

}  // namespace
