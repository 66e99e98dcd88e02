#include "NativeHost.h"

#include "NativePackage.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "addin/native/NativeAbi.h"
#include "addin/native/NativeValue.h"
#include "common/TextUtf.h"
#include "platform/UniqueResource.h"

namespace velko::tool {

using native::NativeChar;
using native::NativeComponentBase;
using native::NativeVariant;

namespace {

// Blocks come from the C heap, as a host's would from its own.
class Memory final : public native::NativeMemoryManager {
 public:
#ifdef _WIN32
  void VELKO_NATIVE_CALL DestructorSlot() override {}
#endif
  bool VELKO_NATIVE_CALL AllocMemory(void** block, unsigned long bytes) override {
    *block = std::malloc(bytes);
    return *block != nullptr;
  }
  void VELKO_NATIVE_CALL FreeMemory(void** block) override {
    std::free(*block);
    *block = nullptr;
  }
};

class Connection final : public native::NativeHostConnection {
 public:
#ifdef _WIN32
  void VELKO_NATIVE_CALL DestructorSlot() override {}
#endif
  bool VELKO_NATIVE_CALL AddError(unsigned short, const NativeChar* source, const NativeChar* text,
                                  long) override {
    errors.push_back(native::FromNativeText(source) + L": " + native::FromNativeText(text));
    std::cerr << "velko: the add-in reports: " << WideToUtf8(errors.back()) << std::endl;
    return true;
  }
  bool VELKO_NATIVE_CALL Read(NativeChar*, NativeVariant*, long*, NativeChar**) override { return false; }
  bool VELKO_NATIVE_CALL Write(NativeChar*, NativeVariant*) override { return false; }
  bool VELKO_NATIVE_CALL RegisterProfileAs(NativeChar*) override { return false; }
  bool VELKO_NATIVE_CALL SetEventBufferDepth(long value) override {
    depth = value;
    return true;
  }
  long VELKO_NATIVE_CALL GetEventBufferDepth() override { return depth; }
  bool VELKO_NATIVE_CALL ExternalEvent(NativeChar*, NativeChar*, NativeChar*) override { return true; }
  void VELKO_NATIVE_CALL CleanEventBuffer() override {}
  bool VELKO_NATIVE_CALL SetStatusLine(NativeChar*) override { return true; }
  void VELKO_NATIVE_CALL ResetStatusLine() override {}

  std::vector<std::wstring> errors;
  long depth = 0;
};

// Frees what the module handed over in a value the host now owns.
void Release(NativeVariant& value, const native::HostMemory& memory) {
  if (value.vt == native::nvt::kPwstr) memory.Free(value.wstr.pointer);
  if (value.vt == native::nvt::kPstr || value.vt == native::nvt::kBlob) memory.Free(value.str.pointer);
  value = NativeVariant{};
}

struct LibraryTraits {
  using type = void*;
  static type invalid() noexcept { return nullptr; }
  static void close(type library) noexcept {
#ifdef _WIN32
    ::FreeLibrary(static_cast<HMODULE>(library));
#else
    dlclose(library);
#endif
  }
};

}  // namespace

struct NativeHost::Impl {
  unique_resource<LibraryTraits> library;  // first in, last out: the object's code is in it
  Memory memory;
  Connection connection;
  NativeComponentBase* object = nullptr;
  native::HostMemory Blocks() { return native::HostMemory(&memory); }

  template <class F>
  F Export(const char* name) {
#ifdef _WIN32
    auto address = reinterpret_cast<void (*)()>(::GetProcAddress(static_cast<HMODULE>(library.get()), name));
#else
    void* address = dlsym(library.get(), name);
#endif
    if (!address) throw std::runtime_error(std::string("the module does not export ") + name);
    return reinterpret_cast<F>(address);
  }
  std::wstring Take(const NativeChar* text) {
    std::wstring out = native::FromNativeText(text);
    Blocks().Free(const_cast<NativeChar*>(text));
    return out;
  }
};

NativeHost::NativeHost(const std::string& package_or_module, const std::wstring& extension)
    : impl_(std::make_unique<Impl>()) {
  std::string path = package_or_module;
  const std::filesystem::path given(Utf8ToWide(path));
  if (IsZipFile(given)) {
    unpacked_ = std::make_unique<UnpackedModule>(given);
    path = WideToUtf8(unpacked_->Module().wstring());
  }
#ifdef _WIN32
  impl_->library.reset(::LoadLibraryW(Utf8ToWide(path).c_str()));
#else
  impl_->library.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
#endif
  if (!impl_->library) {
    std::string reason;
#ifndef _WIN32
    if (const char* text = dlerror()) reason = std::string(": ") + text;
#endif
    throw std::runtime_error("cannot load the Native module " + package_or_module + reason);
  }
  const std::wstring names = native::FromNativeText(impl_->Export<const NativeChar* (*)()>("GetClassNames")());
  impl_->Export<native::NativeCapabilities (*)(native::NativeCapabilities)>("SetPlatformCapabilities")(
      native::kCapabilities1);
  const auto create = impl_->Export<long (*)(const NativeChar*, NativeComponentBase**)>("GetClassObject");
  const auto destroy = impl_->Export<long (*)(NativeComponentBase**)>("DestroyObject");
  std::wstring answered;  // the extension names heard, for the message when none fits
  for (size_t at = 0; at <= names.size() && !impl_->object;) {
    const size_t bar = std::min(names.find(L'|', at), names.size());
    const std::wstring name = names.substr(at, bar - at);
    const std::u16string wide = native::ToUtf16(name);
    at = bar + 1;
    NativeComponentBase* object = nullptr;
    if (!create(reinterpret_cast<const NativeChar*>(wide.c_str()), &object) || !object)
      throw std::runtime_error("the module did not create its object " + WideToUtf8(name));
    NativeChar* given = nullptr;
    if (!object->setMemManager(&impl_->memory) || !object->RegisterExtensionAs(&given) || !given) {
      destroy(&object);
      throw std::runtime_error("the module's object " + WideToUtf8(name) + " gave no extension name");
    }
    const std::wstring own = impl_->Take(given);
    if (extension.empty() || own == extension) {
      impl_->object = object;
    } else {
      destroy(&object);
      answered += (answered.empty() ? L"" : L", ") + own;
    }
  }
  if (!impl_->object)
    throw std::runtime_error("the module offers no class named " + WideToUtf8(extension) + "; its classes are " +
                             WideToUtf8(answered));
  if (!impl_->object->Init(&impl_->connection)) {
    destroy(&impl_->object);
    throw std::runtime_error("the module's object did not initialise");
  }
}

NativeHost::~NativeHost() {
  if (impl_->object) {
    impl_->object->Done();
    impl_->Export<long (*)(NativeComponentBase**)>("DestroyObject")(&impl_->object);
  }
  // impl_ unloads the module when it goes, before unpacked_ removes its file.
}

const std::vector<std::wstring>& NativeHost::Errors() const { return impl_->connection.errors; }

int32_t NativeHost::FindProp(const std::wstring& name) {
  const std::u16string text = native::ToUtf16(name);
  return static_cast<int32_t>(impl_->object->FindProp(reinterpret_cast<const NativeChar*>(text.c_str())));
}

HResult NativeHost::GetPropVal(int32_t number, HostValue& value) {
  NativeVariant v{};
  const bool ok = impl_->object->GetPropVal(number, &v);
  value = native::FromNative(v);
  Release(v, impl_->Blocks());
  return ok ? kS_OK : kS_FALSE;
}

HResult NativeHost::SetPropVal(int32_t number, const HostValue& value) {
  NativeVariant v{};
  native::ToNative(value, v, impl_->Blocks());
  const bool ok = impl_->object->SetPropVal(number, &v);
  Release(v, impl_->Blocks());
  return ok ? kS_OK : kS_FALSE;
}

int32_t NativeHost::FindMethod(const std::wstring& name) {
  const std::u16string text = native::ToUtf16(name);
  return static_cast<int32_t>(impl_->object->FindMethod(reinterpret_cast<const NativeChar*>(text.c_str())));
}

std::wstring NativeHost::GetMethodName(int32_t number, int32_t alias) {
  return impl_->Take(impl_->object->GetMethodName(number, alias));
}

int32_t NativeHost::GetNParams(int32_t number) { return static_cast<int32_t>(impl_->object->GetNParams(number)); }

HResult NativeHost::CallAsFunc(int32_t number, HostValue& ret, HostArray& params) {
  const native::HostMemory blocks = impl_->Blocks();
  std::vector<NativeVariant> values(params.Size());
  for (size_t i = 0; i < values.size(); ++i) native::ToNative(params.Items()[i], values[i], blocks);
  NativeVariant answer{};
  const bool ok = impl_->object->CallAsFunc(number, &answer, values.data(), static_cast<long>(values.size()));
  ret = native::FromNative(answer);
  Release(answer, blocks);
  for (size_t i = 0; i < values.size(); ++i) {
    params.Items()[i] = native::FromNative(values[i]);
    Release(values[i], blocks);
  }
  return ok ? kS_OK : kS_FALSE;
}

}  // namespace velko::tool
