#include "HostHarness.h"

#include "NativeHost.h"

#include <functional>
#include <stdexcept>

#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "common/uCommonUtils.h"
#include "terminal/uDriver.h"

namespace velko::tool {
namespace {

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }
std::wstring Wide(const std::string& text) { return Utf8ToWide(text); }

}  // namespace

// A lenient reading of a command-line text for a setting's declared type.
HostValue SettingValueFromText(const std::string& id, const std::string& text, TDataType type) {
  const std::wstring wide = Wide(text);
  switch (type) {
    case TDataType::dtNumber: {
      if (auto i = TextToInt64(wide); i && *i >= INT32_MIN && *i <= INT32_MAX)
        return HostValue::FromInt32(static_cast<int32_t>(*i));
      if (auto d = TextToFloat(wide, L',')) return HostValue::FromDouble(*d);
      if (auto d = TextToFloat(wide, L'.')) return HostValue::FromDouble(*d);
      break;
    }
    case TDataType::dtBoolean: {
      std::string lower;
      for (char c : text) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
      if (lower == "true" || lower == "1") return HostValue::FromBool(true);
      if (lower == "false" || lower == "0") return HostValue::FromBool(false);
      break;
    }
    case TDataType::dtDateTime:
      if (auto d = TextToDateTime(wide)) return HostValue::FromDate(*d);
      break;
    case TDataType::dtString:
      return HostValue::FromString(wide);
  }
  throw std::runtime_error("the setting " + id + " takes a " + Narrow(DataTypeName(type)) +
                           ", not \"" + text + "\"");
}

void LoadModule() {
  static const bool loaded = [] {
    RegisterDriverClassTDriver();
    TLog::SetLogFileName(L"a_velko1c83", L"");
    return true;
  }();
  (void)loaded;
}

// The host's connection object: it offers an event interface that records
// what the driver raises.
class HostHarness::Connection : public IHostConnection, public IHostEventSink {
 public:
  std::shared_ptr<IHostEventSink> QueryEventSink() override {
    return std::shared_ptr<IHostEventSink>(std::shared_ptr<IHostEventSink>{}, this);
  }
  HResult SetEventBufferDepth(long depth) override {
    depth_ = depth;
    return kS_OK;
  }
  HResult ExternalEvent(const std::wstring& source, const std::wstring& message,
                        const std::wstring& data) override {
    events_.push_back({source, message, data});
    return kS_OK;
  }
  long depth_ = 0;
  std::vector<std::vector<std::wstring>> events_;
};

HostHarness::HostHarness(const std::string& host_exe, const std::string& native_path,
                         const TAddInClass& cls) {
  if (!host_exe.empty()) {
    host_name_ = std::make_unique<HostNameOverride>(Wide(host_exe));
    services_ = std::make_unique<ScopedServiceOverride>(nullptr, host_name_.get());
  }
  LoadModule();
  if (!native_path.empty()) {
    // The module's object of this class, found by its extension name as the host finds it.
    native_ = std::make_unique<NativeHost>(native_path, cls.ExtensionName);
    return;
  }
  connection_ = std::make_shared<Connection>();
  object_ = std::make_unique<TAddInObject>(cls);
  if (object_->Init(connection_.get()) != kS_OK || !object_->Driver())
    throw std::runtime_error("the add-in object could not create its driver");
}

HostHarness::~HostHarness() {
  if (!object_) return;
  object_->Done();
  object_.reset();
  TLog::Stop();  // the host's last object is gone: the log's closing line
}

// The harness's calls, to whichever object it holds.
namespace {
template <class Portable, class Native>
auto Either(TAddInObject* object, NativeHost* native, Portable&& portable, Native&& on_native) {
  return native ? on_native(*native) : portable(*object);
}

int32_t FindProp(TAddInObject* object, NativeHost* native, const std::wstring& name) {
  if (native) return native->FindProp(name);
  int32_t number = -1;
  object->FindProp(name, number);
  return number;
}
}  // namespace

std::pair<std::wstring, std::wstring> HostHarness::MethodNames(int32_t number) {
  if (native_) return {native_->GetMethodName(number, 0), native_->GetMethodName(number, 1)};
  const PMethodStruct entry = object_->Driver()->GetMethod(number);
  return {entry->Name, entry->Alias};
}

const std::vector<std::vector<std::wstring>>& HostHarness::Events() const {
  static const std::vector<std::vector<std::wstring>> none;
  return connection_ ? connection_->events_ : none;
}

void HostHarness::SetSetting(const std::string& id, const std::string& text) {
  const int32_t number = FindProp(object_.get(), native_.get(), Wide(id));
  if (number < 0) throw std::runtime_error("no setting named " + id);
  TDataType type = TDataType::dtString;
  if (native_) {
    // A Native host sees no setting table: the value it holds gives the type.
    HostValue current;
    native_->GetPropVal(number, current);
    type = current.IsBoolean() ? TDataType::dtBoolean
           : current.IsString() ? TDataType::dtString
           : current.BaseType() == vt::kDate ? TDataType::dtDateTime
                                             : TDataType::dtNumber;
  } else {
    type = object_->Driver()->GetSetting(number)->ValueType;
  }
  if (SetProperty(id, SettingValueFromText(id, text, type)) != kS_OK)
    throw std::runtime_error("the setting " + id + " could not be written");
}

HResult HostHarness::SetProperty(const std::string& id, const HostValue& value) {
  const int32_t number = FindProp(object_.get(), native_.get(), Wide(id));
  if (number < 0) throw std::runtime_error("no setting named " + id);
  return Either(object_.get(), native_.get(), [&](TAddInObject& o) { return o.SetPropVal(number, value); },
                [&](NativeHost& n) { return n.SetPropVal(number, value); });
}

std::optional<HostValue> HostHarness::GetProperty(const std::string& id) {
  const int32_t number = FindProp(object_.get(), native_.get(), Wide(id));
  if (number < 0) return std::nullopt;
  HostValue value;
  Either(object_.get(), native_.get(), [&](TAddInObject& o) { return o.GetPropVal(number, value); },
         [&](NativeHost& n) { return n.GetPropVal(number, value); });
  return value;
}

namespace {

// "ПолучитьОшибку" after a call, through whichever host runs it: its code and
// text into the result (left as they are when the answer is not readable).
void ReadLastError(CallResult& result, const std::function<void(HostValue& code, HostArray& text)>& ask) {
  auto text = HostArray::Vector({HostValue()});
  HostValue code;
  ask(code, *text);
  try {
    result.lastErrorCode = code.ToInt32();
    result.lastErrorText = text->Items()[0].ToText();
  } catch (const HostValueError&) {
  }
}

}  // namespace

CallResult HostHarness::Call(const std::string& name, std::vector<HostValue> params) {
  if (native_) return CallNative(name, std::move(params));
  CallResult result;
  object_->FindMethod(Wide(name), result.number);
  if (result.number < 0) throw std::runtime_error("no method named " + name);
  object_->GetMethodName(result.number, 0, result.method);
  int32_t count = 0;
  object_->GetNParams(result.number, count);
  if (params.size() > static_cast<size_t>(count))
    throw std::runtime_error(name + " takes " + std::to_string(count) + " parameters, not " +
                             std::to_string(params.size()));
  params.resize(static_cast<size_t>(count));
  result.params = HostArray::Vector(std::move(params));
  {
    // The oldest host gets a Boolean as the number 1 or 0, indistinguishable
    // from a method that answers a number: the method's entry is wrapped for
    // this one call to see its answer before the add-in object converts it.
    const PMethodStruct entry = object_->Driver()->GetMethod(result.number);
    struct Restore {
      PMethodStruct entry;
      TDriverMethod original;
      ~Restore() { entry->DriverMethod = std::move(original); }
    } restore{entry, entry->DriverMethod};
    entry->DriverMethod = [&result, &original = restore.original](HostValue& ret, HostParams& params) {
      const HResult hr = original(ret, params);
      if (ret.Deref().IsBoolean()) result.truth = ret.Deref().ToBool();
      return hr;
    };
    result.hresult = object_->CallAsFunc(result.number, result.ret, *result.params);
  }

  int32_t error_method = -1;
  object_->FindMethod(L"ПолучитьОшибку", error_method);
  if (error_method >= 0)
    ReadLastError(result, [&](HostValue& code, HostArray& text) { object_->CallAsFunc(error_method, code, text); });
  return result;
}

CallResult HostHarness::CallNative(const std::string& name, std::vector<HostValue> params) {
  CallResult result;
  result.number = native_->FindMethod(Wide(name));
  if (result.number < 0) throw std::runtime_error("no method named " + name);
  result.method = native_->GetMethodName(result.number, 0);
  const int32_t count = native_->GetNParams(result.number);
  if (params.size() > static_cast<size_t>(count))
    throw std::runtime_error(name + " takes " + std::to_string(count) + " parameters, not " +
                             std::to_string(params.size()));
  params.resize(static_cast<size_t>(count));
  result.params = HostArray::Vector(std::move(params));
  result.hresult = native_->CallAsFunc(result.number, result.ret, *result.params);
  // A Native host never gets a Boolean as a number.
  if (result.ret.Deref().IsBoolean()) result.truth = result.ret.Deref().ToBool();

  const int32_t error_method = native_->FindMethod(L"ПолучитьОшибку");
  if (error_method >= 0)
    ReadLastError(result, [&](HostValue& code, HostArray& text) { native_->CallAsFunc(error_method, code, text); });
  return result;
}

nlohmann::json HostValueToJson(const HostValue& value) {
  const HostValue& v = value.Deref();
  if (v.IsArray()) {
    nlohmann::json items = nlohmann::json::array();
    if (v.Array())
      for (const HostValue& item : v.Array()->Items()) items.push_back(HostValueToJson(item));
    return items;
  }
  switch (v.BaseType()) {
    case vt::kEmpty:
    case vt::kNull: return nullptr;
    case vt::kBoolean: return v.ToBool();
    case vt::kSingle:
    case vt::kDouble: return v.RawDouble();
    case vt::kCurrency: return CurrencyToDouble(v.RawInteger());
    case vt::kInt16: case vt::kInt32: case vt::kInt8: case vt::kUInt8: case vt::kUInt16:
    case vt::kUInt32: case vt::kInt64: case vt::kInt: case vt::kUInt:
      return v.RawInteger();
    case vt::kUInt64: return static_cast<uint64_t>(v.RawInteger());
    default:
      try {
        return Narrow(v.ToText());
      } catch (const HostValueError&) {
        return nullptr;
      }
  }
}

HostValue JsonToHostValue(const nlohmann::json& value) {
  if (value.is_null()) return HostValue();
  if (value.is_boolean()) return HostValue::FromBool(value.get<bool>());
  if (value.is_number_integer()) {
    const int64_t i = value.get<int64_t>();
    if (i >= INT32_MIN && i <= INT32_MAX) return HostValue::FromInt32(static_cast<int32_t>(i));
    return HostValue::FromDouble(static_cast<double>(i));
  }
  if (value.is_number()) return HostValue::FromDouble(value.get<double>());
  if (value.is_string()) return HostValue::FromString(Wide(value.get<std::string>()));
  if (value.is_array()) {
    std::vector<HostValue> items;
    for (const auto& item : value) items.push_back(JsonToHostValue(item));
    return HostValue::FromArray(HostArray::Vector(std::move(items)));
  }
  throw std::runtime_error("a JSON object is not a host value: " + value.dump());
}

HostValue ArgToHostValue(const std::string& arg) {
  if (!arg.empty()) {
    auto parsed = nlohmann::json::parse(arg, nullptr, false);
    if (!parsed.is_discarded() && !parsed.is_object()) return JsonToHostValue(parsed);
  }
  return HostValue::FromString(Wide(arg));
}

nlohmann::json CallResultToJson(const CallResult& result) {
  nlohmann::json params = nlohmann::json::array();
  if (result.params)
    for (const HostValue& item : result.params->Items()) params.push_back(HostValueToJson(item));
  return {{"method", Narrow(result.method)},
          {"number", result.number},
          {"hresult", result.hresult},
          {"return", HostValueToJson(result.ret)},
          {"params", params},
          {"lastError", {{"code", result.lastErrorCode}, {"text", Narrow(result.lastErrorText)}}}};
}

const TAddInClass& AddInClassNamed(const std::string& name) {
  if (name.empty()) return DefaultAddInClass();
  if (const TAddInClass* cls = FindAddInClass(Utf8ToWide(name))) return *cls;
  throw std::runtime_error("--class: no add-in class named " + name + "; the classes are " +
                           WideToUtf8(AddInClassNameList()));
}

}  // namespace velko::tool
