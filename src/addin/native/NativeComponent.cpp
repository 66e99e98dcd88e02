#include "addin/native/NativeComponent.h"

#include <cstdint>
#include <exception>
#include <new>
#include <utility>

#include "common/Common.Log.h"
#include "common/TextUtf.h"

namespace velko::native {
namespace {

HResult FromBool(bool answer) { return answer ? kS_OK : kE_FAIL; }

// International names are written in Latin letters.
bool IsLatinName(const std::wstring& name) {
  if (name.empty()) return false;
  for (wchar_t c : name)
    if (static_cast<uint32_t>(c) >= 0x80) return false;
  return true;
}

// A name the host language can write after a dot: not empty, no blanks.
bool IsPropertyName(const std::wstring& name) {
  if (name.empty()) return false;
  for (wchar_t c : name)
    if (c == L' ' || c == L'\t' || c == L'\u00A0' || c == L'\r' || c == L'\n') return false;
  return true;
}

// A method's (international, local) names; an entry with one name gives it twice.
std::pair<std::wstring, std::wstring> InternationalAndLocal(const TMethodStruct& method) {
  if (method.Alias.empty()) return {method.Name, method.Name};
  if (!IsLatinName(method.Name) && IsLatinName(method.Alias)) return {method.Alias, method.Name};
  return {method.Name, method.Alias};
}

std::wstring ExceptionText() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return L"Out of memory";
  } catch (const std::exception& error) {
    return Utf8ToWide(error.what());
  } catch (...) {
    return L"Unknown error";
  }
}

// The host's connection object behind the dispatch's event sink.
class NativeEventSink final : public IHostEventSink, public IHostConnection {
 public:
  explicit NativeEventSink(NativeHostConnection* host) : host_(host) {}

  HResult SetEventBufferDepth(long depth) override { return FromBool(host_->SetEventBufferDepth(depth)); }
  HResult ExternalEvent(const std::wstring& source, const std::wstring& message,
                        const std::wstring& data) override {
    // The host takes writable texts; these copies live for the call.
    std::u16string s = ToUtf16(source), m = ToUtf16(message), d = ToUtf16(data);
    return FromBool(host_->ExternalEvent(reinterpret_cast<NativeChar*>(s.data()),
                                         reinterpret_cast<NativeChar*>(m.data()),
                                         reinterpret_cast<NativeChar*>(d.data())));
  }
  std::shared_ptr<IHostEventSink> QueryEventSink() override {
    return std::make_shared<NativeEventSink>(host_);
  }

 private:
  NativeHostConnection* host_;
};

}  // namespace

TNativeComponent::TNativeComponent(const TAddInClass& cls) : object_(cls) {
  object_.SetErrorReporter([this](const std::wstring& method, const std::wstring& message) {
    ReportError(L"EXCEPTION", L"Method: " + method + L"\r\nMessage: " + message);
  });
}

TNativeComponent::~TNativeComponent() {
  // A host that destroys the object without Done still gets the driver closed.
  if (initialized_) object_.Done();
}

void TNativeComponent::ReportError(const std::wstring& source, const std::wstring& text) noexcept {
  try {
    TLog::Append(source, text, TMsgType::mtError);
  } catch (...) {
  }
  if (!connection_) return;
  try {
    const std::u16string s = ToUtf16(source), t = ToUtf16(text);
    connection_->AddError(kAddErrorMessageBoxFail, reinterpret_cast<const NativeChar*>(s.c_str()),
                          reinterpret_cast<const NativeChar*>(t.c_str()), 0);
  } catch (...) {
  }
}

// The edge of every method: whatever escapes is reported, never thrown.
template <class Answer, class F>
Answer TNativeComponent::Boundary(const wchar_t* operation, Answer failed, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    try {
      ReportError(L"EXCEPTION", std::wstring(L"Method: ") + operation + L"\r\nMessage: " + ExceptionText());
    } catch (...) {
    }
    return failed;
  }
}

// NativeInitDone.

bool TNativeComponent::Init(void* connection) {
  return Boundary(L"Init", false, [&] {
    connection_ = static_cast<NativeHostConnection*>(connection);
    HResult result = kS_OK;
    if (connection_) {
      NativeEventSink host(connection_);
      result = object_.Init(&host);
    } else {
      result = object_.Init(nullptr);
    }
    initialized_ = result == kS_OK && object_.Driver();
    return initialized_;
  });
}

bool TNativeComponent::setMemManager(void* memory) {
  memory_ = static_cast<NativeMemoryManager*>(memory);
  return memory_ != nullptr;
}

long TNativeComponent::GetInfo() {
  return Boundary(L"GetInfo", 2000L, [&] {
    HostArray info({{0, 1}});
    object_.GetInfo(info);
    return static_cast<long>(info.Items()[0].ToInt32());
  });
}

void TNativeComponent::Done() {
  Boundary(L"Done", false, [&] {
    object_.Done();
    initialized_ = false;
    connection_ = nullptr;
    return true;
  });
}

// NativeLanguageExtender.

bool TNativeComponent::RegisterExtensionAs(NativeChar** name) {
  return Boundary(L"RegisterExtensionAs", false, [&] {
    if (!name) return false;
    std::wstring extension;
    if (object_.RegisterExtensionAs(extension) != kS_OK) return false;
    *name = Memory().CopyText(extension);
    return true;
  });
}

long TNativeComponent::GetNProps() {
  int32_t count = 0;
  object_.GetNProps(count);
  return count;
}

long TNativeComponent::FindProp(const NativeChar* name) {
  return Boundary(L"FindProp", -1L, [&] {
    int32_t number = -1;
    object_.FindProp(FromNativeText(name), number);
    return static_cast<long>(number);
  });
}

const NativeChar* TNativeComponent::GetPropName(long number, long alias) {
  return Boundary(L"GetPropName", static_cast<const NativeChar*>(nullptr), [&]() -> const NativeChar* {
    std::wstring name;
    if (object_.GetPropName(static_cast<int32_t>(number), 0, name) != kS_OK) return nullptr;
    // The host offers both names as properties of the object in its language,
    // so the second must be a name too: a setting's alias that is a caption
    // with blanks ("Адрес сервера") gives the identifier again.
    if (alias != 0) {
      const std::wstring& local = object_.Driver()->GetProperty(static_cast<int32_t>(number))->Alias;
      if (IsPropertyName(local)) name = local;
    }
    return Memory().CopyText(name);
  });
}

bool TNativeComponent::GetPropVal(const long number, NativeVariant* value) {
  return Boundary(L"GetPropVal", false, [&] {
    if (!value) return false;
    HostValue property;
    const HResult result = object_.GetPropVal(static_cast<int32_t>(number), property);
    // The host's slot is not read: it is filled whatever it held.
    ToNative(property, *value, Memory());
    return result == kS_OK;
  });
}

bool TNativeComponent::SetPropVal(const long number, NativeVariant* value) {
  return Boundary(L"SetPropVal", false, [&] {
    const HostValue property = value ? FromNative(*value) : HostValue();
    return object_.SetPropVal(static_cast<int32_t>(number), property) == kS_OK;
  });
}

bool TNativeComponent::IsPropReadable(const long number) { return number >= 0 && number < GetNProps(); }
bool TNativeComponent::IsPropWritable(const long number) { return number >= 0 && number < GetNProps(); }

long TNativeComponent::GetNMethods() {
  int32_t count = 0;
  object_.GetNMethods(count);
  return count;
}

long TNativeComponent::FindMethod(const NativeChar* name) {
  return Boundary(L"FindMethod", -1L, [&] {
    int32_t number = -1;
    object_.FindMethod(FromNativeText(name), number);
    return static_cast<long>(number);
  });
}

const NativeChar* TNativeComponent::GetMethodName(const long number, const long alias) {
  return Boundary(L"GetMethodName", static_cast<const NativeChar*>(nullptr), [&]() -> const NativeChar* {
    std::wstring name;
    if (object_.GetMethodName(static_cast<int32_t>(number), 0, name) != kS_OK) return nullptr;
    // The host asks for the international name with alias 0 and the local one
    // with alias 1; the table puts either first, depending on the method.
    const PMethodStruct method = object_.Driver()->GetMethod(static_cast<int32_t>(number));
    const auto [international, local] = InternationalAndLocal(*method);
    return Memory().CopyText(alias == 0 ? international : local);
  });
}

long TNativeComponent::GetNParams(const long number) {
  return Boundary(L"GetNParams", 0L, [&] {
    int32_t count = 0;
    if (object_.GetNParams(static_cast<int32_t>(number), count) != kS_OK) return 0L;
    return static_cast<long>(count);
  });
}

bool TNativeComponent::GetParamDefValue(const long number, const long param, NativeVariant* value) {
  return Boundary(L"GetParamDefValue", false, [&] {
    if (!value || param < 0 || param >= GetNParams(number)) return false;
    HostValue def;
    if (object_.GetParamDefValue(static_cast<int32_t>(number), static_cast<int32_t>(param), def) != kS_OK)
      return false;
    ToNative(def, *value, Memory());
    return true;
  });
}

bool TNativeComponent::HasRetVal(const long number) {
  if (number < 0 || number >= GetNMethods()) return false;
  int32_t has = 0;
  object_.HasRetVal(static_cast<int32_t>(number), has);
  return has != 0;
}

bool TNativeComponent::CallAsProc(const long number, NativeVariant* params, const long count) {
  return Call(number, nullptr, params, count, false);
}

bool TNativeComponent::CallAsFunc(const long number, NativeVariant* ret, NativeVariant* params, const long count) {
  return Call(number, ret, params, count, true);
}

void TNativeComponent::Destroy(TNativeComponent* component) {
  if (!component) return;
  if (component->running_calls_ > 0) {
    component->destroy_requested_ = true;
    return;
  }
  delete component;
}

bool TNativeComponent::Call(long number, NativeVariant* ret, NativeVariant* params, long count, bool as_function) {
  ++running_calls_;
  const bool answer = CallBody(number, ret, params, count, as_function);
  if (--running_calls_ == 0 && destroy_requested_) delete this;  // the host let go during the call
  return answer;
}

bool TNativeComponent::CallBody(long number, NativeVariant* ret, NativeVariant* params, long count,
                                bool as_function) {
  return Boundary(as_function ? L"CallAsFunc" : L"CallAsProc", false, [&] {
    if (as_function && !ret) return false;
    if (count > 0 && !params) return false;
    std::shared_ptr<HostArray> values = ParamsFromNative(params, count);
    const HostArray before = *values;
    HResult result = kS_OK;
    HostValue answer;
    if (as_function)
      result = object_.CallAsFunc(static_cast<int32_t>(number), answer, *values);
    else
      result = object_.CallAsProc(static_cast<int32_t>(number), *values);
    WriteBackChanged(params, before, *values, Memory());
    // A method that failed in itself (its exception was reported) answers
    // false; a method that answered false still completed the host's call.
    // The return slot is not read: after a completed call it is filled with
    // the method's answer; after a failed one it stays as the host passed it,
    // since the host does not take a value from a call that answered false.
    if (result != kS_OK) return false;
    if (as_function) ToNative(answer, *ret, Memory());
    return true;
  });
}

// NativeLocale.

void TNativeComponent::SetLocale(const NativeChar* locale) {
  Boundary(L"SetLocale", false, [&] { return object_.SetLocale(FromNativeText(locale)) == kS_OK; });
}

}  // namespace velko::native
