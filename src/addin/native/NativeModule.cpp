// The Native API module: the load-time steps and the functions the host looks
// up by name. The host asks GetClassNames for the classes, creates an object
// with GetClassObject, tells the module its platform's capabilities, and
// destroys the object with DestroyObject; newer hosts first ask GetAttachType
// whether the module may run in a separate process.
#include <memory>
#include <mutex>
#include <string>

#include "addin/native/NativeAbi.h"
#include "addin/native/NativeComponent.h"
#include "addin/native/NativeValue.h"
#include "common/Common.Log.h"
#include "driver/uBaseDriver.h"
#include "platform/ReceiptPrompt.h"
#include "platform/Services.h"
#include "terminal/uDriver.h"

#ifdef _WIN32
#define VELKO_NATIVE_EXPORT extern "C"  // exported by the .def file
#else
#define VELKO_NATIVE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace velko::native {
namespace {

// Only the host's newest platform loads Native add-ins: the module never
// takes the oldest platform's ways (Booleans as numbers, its extra methods),
// whatever the host executable is called.
class NativeHostProcess final : public ProcessService {
 public:
  std::wstring HostExecutableName() override {
    const std::wstring name = PlatformProcessService().HostExecutableName();
    return DetectPlatformVersion(name) == TPlatformVer::pv77 ? L"1cv8" : name;
  }
  std::wstring ModuleFilePath() override { return PlatformProcessService().ModuleFilePath(); }
  std::wstring ModuleFileVersion() override { return PlatformProcessService().ModuleFileVersion(); }
  uint64_t TickCount() override { return PlatformProcessService().TickCount(); }
  void Sleep(uint32_t ms) override { PlatformProcessService().Sleep(ms); }
};

// The steps that must precede the first object, once per load.
void PrepareModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    static NativeHostProcess process;
    Services().Process = &process;
#ifndef _WIN32
    // The host offers an add-in no text input on Linux: a missing receipt
    // number cannot be asked for.
    static UnavailableReceiptPrompt prompt;
    Services().Prompt = &prompt;
#endif
    RegisterDriverClassTDriver();
    // The debug log is optional: without a writable data folder the add-in
    // still works, with a log that writes nowhere. It goes where the COM
    // add-in's goes, whatever name the host gave the module's file when it
    // unpacked it.
    try {
      TLog::SetLogFileName(L"a_velko1c83", L"a_velko1c83");
    } catch (...) {
    }
  });
}

// The class names joined with "|", in the host's 16-bit code units, alive for
// the module's life.
const NativeChar* ClassNames() {
  static const std::u16string names = [] {
    std::wstring joined;
    for (const TNativeClass& cls : kNativeClasses) {
      if (!joined.empty()) joined += L'|';
      joined += cls.NativeName;
    }
    return ToUtf16(joined);
  }();
  return reinterpret_cast<const NativeChar*>(names.c_str());
}

// The add-in class of a Native class name; nullptr for a name the module does not offer.
const TAddInClass* ClassNamed(const std::wstring& name) {
  for (const TNativeClass& cls : kNativeClasses)
    if (name == cls.NativeName) return FindAddInClass(cls.ExtensionName);
  return nullptr;
}

NativeCapabilities g_capabilities = kCapabilitiesInvalid;  // what the host last told

}  // namespace
}  // namespace velko::native

using velko::native::NativeCapabilities;
using velko::native::NativeChar;
using velko::native::NativeComponentBase;
using velko::native::TNativeComponent;

VELKO_NATIVE_EXPORT const NativeChar* GetClassNames() { return velko::native::ClassNames(); }

// Creates the object into *object (which must be empty); answers non-zero on
// success, 0 for an unknown class or a failure.
VELKO_NATIVE_EXPORT long GetClassObject(const NativeChar* name, NativeComponentBase** object) {
  try {
    if (!object || *object) return 0;
    const velko::TAddInClass* cls = velko::native::ClassNamed(velko::native::FromNativeText(name));
    if (!cls) return 0;
    velko::native::PrepareModule();
    auto component = std::make_unique<TNativeComponent>(*cls);
    *object = component.release();
    return 1;
  } catch (...) {
    return 0;
  }
}

VELKO_NATIVE_EXPORT long DestroyObject(NativeComponentBase** object) {
  if (!object || !*object) return -1;
  // Every object the module hands out is a TNativeComponent.
  TNativeComponent* component = static_cast<TNativeComponent*>(*object);
  *object = nullptr;
  TNativeComponent::Destroy(component);
  return 0;
}

// The receipt-number dialog and the wait that dispatches the host thread's
// messages are built for the host's own process and its windows, as with the
// COM add-in: the module is attached in that process only.
VELKO_NATIVE_EXPORT velko::native::NativeAttachType GetAttachType() { return velko::native::kAttachNotIsolated; }

VELKO_NATIVE_EXPORT NativeCapabilities SetPlatformCapabilities(const NativeCapabilities capabilities) {
  velko::native::g_capabilities = capabilities;
  return velko::native::kCapabilitiesLast;
}
