// TAddInObject: the add-in object's dispatch, on host values.
//
// The object that the host creates owns one driver and turns the host's
// calls into driver operations: property calls read and write the driver's
// settings, method calls run through the driver's method table wrapped in the
// focus stack, the call log and an error catcher. It knows nothing of COM: the
// COM layer (and the velko harness) wraps it, converting VARIANT and SAFEARRAY
// to host values on the way in and back on the way out, and adapting the
// host's connection and event interfaces to IHostConnection / IHostEventSink.
//
// A method call that arrives while another method call runs on the same
// thread (the host dispatches messages while a call waits) is refused with
// false and 1009, touching nothing; a Done that arrives then is deferred until
// the running call returns. Property reads and writes stay allowed.
//
// Every operation answers an HResult and lets no exception escape: errors of
// a driver method are logged with the caption "EXCEPTION", shown in the error
// box and answered with S_FALSE; any other error is logged the same way and
// answered with E_FAIL. Used on the host's thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "addin/AddInClasses.h"
#include "common/HResult.h"
#include "common/HostValue.h"
#include "driver/uBaseDriver.h"

namespace velko {

// The host's event interface, as far as the object calls it.
class IHostEventSink {
 public:
  virtual ~IHostEventSink() = default;
  virtual HResult SetEventBufferDepth(long depth) = 0;
  virtual HResult ExternalEvent(const std::wstring& source, const std::wstring& message,
                                const std::wstring& data) = 0;
};

// The host's connection object, as far as Init asks it for interfaces. A
// shared_ptr handed out is held until Done (the COM adapter releases the
// interface when the last holder lets go).
class IHostConnection {
 public:
  virtual ~IHostConnection() = default;
  // The host's event interface, or nullptr when the host offers none.
  virtual std::shared_ptr<IHostEventSink> QueryEventSink() = 0;
  // The host's window-support interface: held, never called.
  virtual std::shared_ptr<void> QueryExtWndsSupport() { return nullptr; }
};

class TAddInObject {
 public:
  // The driver class that Init creates, registered by the module at load.
  static constexpr const wchar_t* kDriverClassName = L"TDriver";

  // Starts the debug log (which writes its banner only when it is on). The
  // object is of that class for its life.
  explicit TAddInObject(const TAddInClass& Class = DefaultAddInClass());
  ~TAddInObject();
  TAddInObject(const TAddInObject&) = delete;
  TAddInObject& operator=(const TAddInObject&) = delete;

  // IInitDone.
  HResult Init(IHostConnection* Connection);
  HResult Done();
  HResult GetInfo(HostArray& Info);  // element 0 := "2000"

  // ILanguageExtender.
  HResult RegisterExtensionAs(std::wstring& ExtensionName);
  HResult GetNProps(int32_t& PropCount);
  HResult FindProp(const std::wstring& PropName, int32_t& PropNum);
  HResult GetPropName(int32_t PropNum, int32_t PropAlias, std::wstring& PropName);
  HResult GetPropVal(int32_t PropNum, HostValue& PropVal);
  HResult SetPropVal(int32_t PropNum, const HostValue& PropVal);
  HResult IsPropReadable(int32_t PropNum, bool& Readable);
  HResult IsPropWritable(int32_t PropNum, bool& Writable);
  HResult GetNMethods(int32_t& MethodCount);
  HResult FindMethod(const std::wstring& MethodName, int32_t& MethodNum);
  HResult GetMethodName(int32_t MethodNum, int32_t MethodAlias, std::wstring& MethodName);
  HResult GetNParams(int32_t MethodNum, int32_t& ParamCount);
  HResult GetParamDefValue(int32_t MethodNum, int32_t ParamNum, HostValue& DefValue);
  HResult HasRetVal(int32_t MethodNum, int32_t& HasValue);
  HResult CallAsProc(int32_t MethodNum, HostParams& Params);
  HResult CallAsFunc(int32_t MethodNum, HostValue& RetValue, HostParams& Params);
  HResult SetLocale(const std::wstring& Locale);

  // IPropertyLink.
  HResult ChangeSettings();
  HResult CapSettingsDlg(bool& Value);

  // The driver's event hook ends here. Raises PlatformError when the host
  // answers with a failure, to the driver method that raised the event.
  void ExecExternalEvent(const std::wstring& Source, const std::wstring& Message,
                         const std::wstring& Data);

  // Where the error box of a method's exception goes (method name, message):
  // a front end whose host shows errors itself sets this; unset, the
  // platform's error box titled "EXCEPTION" is shown.
  using ErrorReporter = std::function<void(const std::wstring& method, const std::wstring& message)>;
  void SetErrorReporter(ErrorReporter reporter) { FErrorReporter = std::move(reporter); }

  // For the COM layer and the velko harness.
  TBaseDriver* Driver() const { return FDriver.get(); }
  int32_t ObjectNumber() const { return FObjectNumber; }
  const TAddInClass& Class() const { return FClass; }
  // The process-wide count of Init calls of every add-in object.
  static int32_t ObjectCounter();
  // True while a method call of an add-in object runs on this thread.
  static bool CallRunning();

 private:
  bool ValidMethod(int32_t number) const;
  bool ValidProp(int32_t number) const;
  HResult Call(int32_t MethodNum, HostValue& RetValue, HostParams& Params, bool as_function);
  HResult RefuseNestedCall(const TMethodStruct& method, HostValue& RetValue, HostParams& Params,
                           bool as_function);
  class RunningCall;
  static void RunDeferredDone();
  static thread_local TAddInObject* t_deferred_done;

  const TAddInClass& FClass;
  std::unique_ptr<TBaseDriver> FDriver;
  int32_t FObjectNumber = 0;
  std::shared_ptr<IHostEventSink> FEvent;
  std::shared_ptr<void> FExtWnds;
  ErrorReporter FErrorReporter;
  bool FDonePending = false;               // Done arrived inside a running call
  TAddInObject* FNextDeferred = nullptr;  // the next object whose Done waits
};

}  // namespace velko
