// The velko command's stand-in for the host: it loads the driver as the
// module does, creates the add-in object and calls it exactly as the host
// would (properties by number, methods by number with a parameter array, the
// last error through "ПолучитьОшибку"), and turns host values into JSON.
#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "addin/AddInClasses.h"
#include "addin/AddInObj.h"
#include "common/HostValue.h"
#include "platform/Services.h"

namespace velko::tool {

struct CallResult {
  std::wstring method;  // the name the table gives
  int32_t number = -1;
  HResult hresult = kS_OK;
  HostValue ret;
  // The method's own Boolean answer, before the oldest host's conversion to
  // 1 or 0; nullopt for a method that answers something else (a code, a text).
  std::optional<bool> truth;
  std::shared_ptr<HostParams> params;
  int32_t lastErrorCode = 0;
  std::wstring lastErrorText;
};

class NativeHost;

// What `velko call` and `velko session` play the host against: the add-in
// object, reached directly (HostHarness) or through the COM runtime as the
// registered DLL (ComHost, Windows only). Used on one thread.
class Host {
 public:
  virtual ~Host() = default;
  // Writes a setting as the host writes a property; the text is first
  // converted to the setting's declared type. Throws std::runtime_error for an
  // unknown setting or a value that does not fit.
  virtual void SetSetting(const std::string& id, const std::string& text) = 0;
  // Writes a property with a value as given.
  virtual HResult SetProperty(const std::string& id, const HostValue& value) = 0;
  virtual std::optional<HostValue> GetProperty(const std::string& id) = 0;
  // Calls a method by either name; params are padded with empty values to the
  // method's parameter count. Throws std::runtime_error for an unknown method
  // or too many parameters.
  virtual CallResult Call(const std::string& name, std::vector<HostValue> params) = 0;
};

class HostHarness : public Host {
 public:
  // host_exe stands in for the host executable's file name ("1cv7.exe").
  // With native_path, the object is the Native API module at that path,
  // loaded and called as the host does; without it, the portable object.
  // Either way the object is of the class given.
  explicit HostHarness(const std::string& host_exe = "", const std::string& native_path = "",
                       const TAddInClass& cls = DefaultAddInClass());
  ~HostHarness() override;
  HostHarness(const HostHarness&) = delete;
  HostHarness& operator=(const HostHarness&) = delete;

  void SetSetting(const std::string& id, const std::string& text) override;
  HResult SetProperty(const std::string& id, const HostValue& value) override;
  std::optional<HostValue> GetProperty(const std::string& id) override;
  CallResult Call(const std::string& name, std::vector<HostValue> params) override;

  // The method's two names, as the table gives them (first, other).
  std::pair<std::wstring, std::wstring> MethodNames(int32_t number);
  bool IsNative() const { return native_ != nullptr; }

  TAddInObject& Object() { return *object_; }  // the portable object only
  // The events the driver raised to the host (source, message, data); the
  // portable object's only.
  const std::vector<std::vector<std::wstring>>& Events() const;

 private:
  class Connection;
  CallResult CallNative(const std::string& name, std::vector<HostValue> params);
  std::unique_ptr<HostNameOverride> host_name_;
  std::unique_ptr<ScopedServiceOverride> services_;
  std::shared_ptr<Connection> connection_;
  std::unique_ptr<TAddInObject> object_;
  std::unique_ptr<NativeHost> native_;
};

// Host values and JSON: empty and null are null, Booleans, numbers, texts;
// dates as their text; arrays as nested arrays.
nlohmann::json HostValueToJson(const HostValue& value);
HostValue JsonToHostValue(const nlohmann::json& value);
// A command-line argument: a JSON value when it is one, a plain string otherwise.
HostValue ArgToHostValue(const std::string& arg);
nlohmann::json CallResultToJson(const CallResult& result);
// A command-line text read for a setting of the declared type. Throws
// std::runtime_error when it does not fit.
HostValue SettingValueFromText(const std::string& id, const std::string& text, TDataType type);

// The add-in class of that name (`--class`); the default class for an empty
// name. Throws std::runtime_error naming the classes there are.
const TAddInClass& AddInClassNamed(const std::string& name);

// Does what the module does when it is loaded: registers the driver class and
// fixes the debug log's file name.
void LoadModule();

}  // namespace velko::tool
