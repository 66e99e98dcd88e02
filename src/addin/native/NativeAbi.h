// The host's Native API, declared by this project: the value type the host
// passes, the component's three base interfaces, and the host's interfaces the
// component calls (its memory manager and its connection object). What must
// match the host is the memory layout, the order of the virtual slots, the type
// codes and the calling convention; the names are ours.
//
// Windows hosts are built with MSVC: one destructor slot heads every vtable,
// where g++ would emit two for a virtual destructor, so the Windows
// declarations carry one placeholder slot instead and no virtual destructor;
// every method is stdcall (which only matters on 32-bit Windows). Linux hosts
// are built with g++: the Itanium layout, a virtual destructor's two slots
// first. `long` is the platform's own (32-bit on Windows, 64-bit on Linux);
// texts are 16-bit code units everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velko::native {

#ifdef _WIN32
#define VELKO_NATIVE_CALL __stdcall
using NativeChar = wchar_t;
#else
#define VELKO_NATIVE_CALL
using NativeChar = char16_t;
#endif
static_assert(sizeof(NativeChar) == 2, "the host's texts are UTF-16");

// The head of a vtable: what the host's compiler puts before the methods.
#ifdef _WIN32
#define VELKO_NATIVE_HEAD(Name) \
  virtual void VELKO_NATIVE_CALL DestructorSlot() {}  // never called: DestroyObject deletes
#define VELKO_NATIVE_HOST_HEAD(Name) virtual void VELKO_NATIVE_CALL DestructorSlot() = 0;
#else
#define VELKO_NATIVE_HEAD(Name) virtual ~Name() = default;
#define VELKO_NATIVE_HOST_HEAD(Name) virtual ~Name() = default;
#endif

// Type codes of a NativeVariant.
namespace nvt {
constexpr uint16_t kEmpty = 0;
constexpr uint16_t kNull = 1;
constexpr uint16_t kI2 = 2;
constexpr uint16_t kI4 = 3;
constexpr uint16_t kR4 = 4;
constexpr uint16_t kR8 = 5;
constexpr uint16_t kDate = 6;  // OLE date (double)
constexpr uint16_t kTm = 7;    // calendar struct
constexpr uint16_t kPstr = 8;  // 8-bit text with its length
constexpr uint16_t kInterface = 9;
constexpr uint16_t kError = 10;
constexpr uint16_t kBool = 11;
constexpr uint16_t kVariant = 12;  // pointer to another value
constexpr uint16_t kI1 = 13;
constexpr uint16_t kUI1 = 14;
constexpr uint16_t kUI2 = 15;
constexpr uint16_t kUI4 = 16;
constexpr uint16_t kI8 = 17;
constexpr uint16_t kUI8 = 18;
constexpr uint16_t kInt = 19;
constexpr uint16_t kUInt = 20;
constexpr uint16_t kHResult = 21;
constexpr uint16_t kPwstr = 22;  // 16-bit text with its length
constexpr uint16_t kBlob = 23;   // bytes with their length, in the 8-bit text fields
constexpr uint16_t kClsid = 24;
}  // namespace nvt

// The C runtime's calendar struct as the host's compiler defines it.
struct NativeTm {
  int tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday, tm_yday, tm_isdst;
#ifndef _WIN32
  long tm_gmtoff;
  const char* tm_zone;
#endif
};

struct NativeGuid {
  uint32_t Data1;
  uint16_t Data2, Data3;
  uint8_t Data4[8];
};

struct NativeVariant {
  struct InterfaceRef {
    void* pointer;
    NativeGuid id;
  };
  struct Bytes {
    char* pointer;
    uint32_t length;
  };
  struct Text {
    NativeChar* pointer;
    uint32_t length;  // code units, without the terminating zero
  };
  union {
    int8_t i1;
    int16_t i2;
    int32_t i4;
    int64_t i8;
    uint8_t ui1;
    uint16_t ui2;
    uint32_t ui4;
    uint64_t ui8;
    int int_value;
    unsigned int uint_value;
    int32_t error_code;
    float r4;
    double r8;
    bool boolean;
    double date;
    NativeGuid clsid;
    NativeVariant* variant;
    NativeTm tm;
    InterfaceRef iface;
    Bytes str;
    Text wstr;
  };
  uint32_t elements;  // the element count of a one-dimensional array
  uint16_t vt;
};

#if defined(_WIN32)
static_assert(sizeof(NativeVariant) == 48 && offsetof(NativeVariant, vt) == 44, "the MSVC layout");
#elif defined(__x86_64__) || defined(__aarch64__)
static_assert(sizeof(NativeVariant) == 64 && offsetof(NativeVariant, vt) == 60, "the 64-bit g++ layout");
#endif

// The host's memory manager: every block handed to the host comes from it.
class NativeMemoryManager {
 public:
  VELKO_NATIVE_HOST_HEAD(NativeMemoryManager)
  virtual bool VELKO_NATIVE_CALL AllocMemory(void** block, unsigned long bytes) = 0;
  virtual void VELKO_NATIVE_CALL FreeMemory(void** block) = 0;
};

// The host's connection object, passed to Init.
class NativeHostConnection {
 public:
  VELKO_NATIVE_HOST_HEAD(NativeHostConnection)
  virtual bool VELKO_NATIVE_CALL AddError(unsigned short kind, const NativeChar* source, const NativeChar* text,
                                          long code) = 0;
  virtual bool VELKO_NATIVE_CALL Read(NativeChar* name, NativeVariant* value, long* error_code,
                                      NativeChar** error_text) = 0;
  virtual bool VELKO_NATIVE_CALL Write(NativeChar* name, NativeVariant* value) = 0;
  virtual bool VELKO_NATIVE_CALL RegisterProfileAs(NativeChar* name) = 0;
  virtual bool VELKO_NATIVE_CALL SetEventBufferDepth(long depth) = 0;
  virtual long VELKO_NATIVE_CALL GetEventBufferDepth() = 0;
  virtual bool VELKO_NATIVE_CALL ExternalEvent(NativeChar* source, NativeChar* message, NativeChar* data) = 0;
  virtual void VELKO_NATIVE_CALL CleanEventBuffer() = 0;
  virtual bool VELKO_NATIVE_CALL SetStatusLine(NativeChar* text) = 0;
  virtual void VELKO_NATIVE_CALL ResetStatusLine() = 0;
};

// AddError kinds: 1009 shows the message in a box and fails the host's call.
constexpr unsigned short kAddErrorMessageBoxFail = 1009;

// The component's base interfaces, in the order of the component's bases.
class NativeInitDone {
 public:
  VELKO_NATIVE_HEAD(NativeInitDone)
  virtual bool VELKO_NATIVE_CALL Init(void* connection) = 0;
  virtual bool VELKO_NATIVE_CALL setMemManager(void* memory) = 0;
  virtual long VELKO_NATIVE_CALL GetInfo() = 0;
  virtual void VELKO_NATIVE_CALL Done() = 0;
};

class NativeLanguageExtender {
 public:
  VELKO_NATIVE_HEAD(NativeLanguageExtender)
  virtual bool VELKO_NATIVE_CALL RegisterExtensionAs(NativeChar** name) = 0;
  virtual long VELKO_NATIVE_CALL GetNProps() = 0;
  virtual long VELKO_NATIVE_CALL FindProp(const NativeChar* name) = 0;
  virtual const NativeChar* VELKO_NATIVE_CALL GetPropName(long number, long alias) = 0;
  virtual bool VELKO_NATIVE_CALL GetPropVal(const long number, NativeVariant* value) = 0;
  virtual bool VELKO_NATIVE_CALL SetPropVal(const long number, NativeVariant* value) = 0;
  virtual bool VELKO_NATIVE_CALL IsPropReadable(const long number) = 0;
  virtual bool VELKO_NATIVE_CALL IsPropWritable(const long number) = 0;
  virtual long VELKO_NATIVE_CALL GetNMethods() = 0;
  virtual long VELKO_NATIVE_CALL FindMethod(const NativeChar* name) = 0;
  virtual const NativeChar* VELKO_NATIVE_CALL GetMethodName(const long number, const long alias) = 0;
  virtual long VELKO_NATIVE_CALL GetNParams(const long number) = 0;
  virtual bool VELKO_NATIVE_CALL GetParamDefValue(const long number, const long param, NativeVariant* value) = 0;
  virtual bool VELKO_NATIVE_CALL HasRetVal(const long number) = 0;
  virtual bool VELKO_NATIVE_CALL CallAsProc(const long number, NativeVariant* params, const long count) = 0;
  virtual bool VELKO_NATIVE_CALL CallAsFunc(const long number, NativeVariant* ret, NativeVariant* params,
                                            const long count) = 0;
};

class NativeLocale {
 public:
  VELKO_NATIVE_HEAD(NativeLocale)
  virtual void VELKO_NATIVE_CALL SetLocale(const NativeChar* locale) = 0;
};

// The component as the host holds it: the three interfaces, one pointer
// apart, the first at the object's address. Adds no slot of its own.
class NativeComponentBase : public NativeInitDone, public NativeLanguageExtender, public NativeLocale {
#ifndef _WIN32
 public:
  ~NativeComponentBase() override = default;
#endif
};

// What the host's platform tells the component about itself.
enum NativeCapabilities : int { kCapabilitiesInvalid = -1, kCapabilities1 = 1, kCapabilitiesLast = kCapabilities1 };

// How the host may attach the module (GetAttachType): in its own process, in
// a separate host process, or either.
enum NativeAttachType : int { kAttachNotIsolated = 1, kAttachIsolated = 2, kAttachAny = 3 };

}  // namespace velko::native
