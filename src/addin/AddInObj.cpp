#include "addin/AddInObj.h"

#include <atomic>
#include <cstdio>
#include <exception>

#include "common/Common.Log.h"
#include "common/ResultCodes.h"
#include "common/TextUtf.h"
#include "driver/u1cLib.h"
#include "platform/PlatformError.h"
#include "platform/Services.h"
#include "platform/TextCompare.h"

namespace velko {
namespace {

// Raised by every Init of any add-in object; its low 8 bits pair an object
// with the driver it created.
std::atomic<int32_t> g_object_counter{0};

// The host's thread dispatches its messages while a method waits (for the
// server, a dialog, the error box), so a timer or idle handler of the host can
// call a method of any add-in object inside a running one. Such a call is
// refused: it would share the numerator, the connection and the message list
// of the call it interrupts. Calls on other threads are not nested and are
// not counted here.
// (Plain values only: a thread_local with a destructor would keep the DLL
// loaded until the thread ends.)
thread_local int t_running_calls = 0;

std::wstring HexStatus(HResult status) {
  wchar_t buf[16];
  std::swprintf(buf, 16, L"0x%08X", static_cast<unsigned>(status));
  return buf;
}

std::wstring CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& error) {
    return Utf8ToWide(error.what());
  } catch (...) {
    return L"Unknown error";
  }
}

// The outer boundary of every operation: nothing may reach the host as an
// exception. What arrives here is logged and answered with E_FAIL.
template <class F>
HResult Guarded(F&& operation) noexcept {
  try {
    return operation();
  } catch (...) {
    try {
      TLog::Append(L"EXCEPTION", CurrentExceptionMessage(), TMsgType::mtError);
    } catch (...) {
    }
    return kE_FAIL;
  }
}

bool LogIsOn() { return TLog::LogLevel() != 0; }

bool ConvertsToBool(const HostValue& value) {
  try {
    (void)value.ToBool();
    return true;
  } catch (const HostValueError&) {
    return false;
  }
}

// The call log never decides whether a method runs: a value that has no text
// is logged as a placeholder.
template <class Render>
std::wstring LogText(Render&& render) {
  try {
    return render();
  } catch (const HostValueError&) {
    return L"<no text>";
  }
}

// A value's text for the "SetPropVal" line; arrays have none of their own.
std::wstring PropValueText(const HostValue& value) {
  try {
    return value.ToText();
  } catch (const HostValueError&) {
    return LogText([&] { return ValueToLogText(value); });
  }
}

}  // namespace

TAddInObject::TAddInObject(const TAddInClass& Class) : FClass(Class) { TLog::Start(); }

// Marks a method call as running on this thread for its lifetime; the last
// one to end carries out the Done calls that were deferred meanwhile.
class TAddInObject::RunningCall {
 public:
  RunningCall() { ++t_running_calls; }
  ~RunningCall() {
    if (--t_running_calls > 0) return;
    TAddInObject::RunDeferredDone();
  }
  RunningCall(const RunningCall&) = delete;
  RunningCall& operator=(const RunningCall&) = delete;
};

// Objects whose Done arrived inside a running call, linked through
// FNextDeferred; carried out when the outermost call returns, so that no
// driver is destroyed under a call.
thread_local TAddInObject* TAddInObject::t_deferred_done = nullptr;

TAddInObject::~TAddInObject() {
  for (TAddInObject** link = &t_deferred_done; *link; link = &(*link)->FNextDeferred) {
    if (*link == this) {
      *link = FNextDeferred;
      break;
    }
  }
}

void TAddInObject::RunDeferredDone() {
  while (TAddInObject* object = t_deferred_done) {
    t_deferred_done = object->FNextDeferred;
    object->FNextDeferred = nullptr;
    object->FDonePending = false;
    object->Done();
  }
}

bool TAddInObject::CallRunning() { return t_running_calls > 0; }

int32_t TAddInObject::ObjectCounter() { return g_object_counter.load(); }

bool TAddInObject::ValidMethod(int32_t number) const {
  return FDriver && number >= 0 && number < FDriver->MethsCount();
}

bool TAddInObject::ValidProp(int32_t number) const {
  return FDriver && number >= 0 && number < FDriver->PropsCount();
}

HResult TAddInObject::Init(IHostConnection* Connection) {
  return Guarded([&] {
    FEvent.reset();
    if (Connection) FEvent = Connection->QueryEventSink();
    if (FEvent) {
      // A host that refuses the buffer depth still gets a working object; the
      // refusal is only worth a line in the log.
      const HResult status = FEvent->SetEventBufferDepth(100);
      if (status < 0)
        TLog::Append(L"Init", L"the host refused the event buffer depth: " + HexStatus(status),
                     TMsgType::mtError);
    }
    FExtWnds.reset();
    if (Connection) FExtWnds = Connection->QueryExtWndsSupport();

    FObjectNumber = g_object_counter.load();
    if (!FDriver) {
      // The class names the revision; the driver below knows only the number.
      std::unique_ptr<TBaseDriver> driver = CreateDriverByName(kDriverClassName, FClass.InterfaceRevision);
      if (!driver)
        throw PlatformError("No driver class of interface revision " + std::to_string(FClass.InterfaceRevision) +
                            " is registered under the name TDriver");
      driver->SetDriverObjNumber(static_cast<uint8_t>(FObjectNumber & 0xFF));
      driver->SetExecExternalEvent(
          [this](const std::wstring& source, const std::wstring& message, const std::wstring& data) {
            ExecExternalEvent(source, message, data);
          });
      FDriver = std::move(driver);
    }
    g_object_counter.fetch_add(1);
    return kS_OK;
  });
}

HResult TAddInObject::Done() {
  return Guarded([&] {
    if (CallRunning()) {
      if (!FDonePending) {
        FDonePending = true;
        FNextDeferred = t_deferred_done;
        t_deferred_done = this;
      }
      TLog::Append(L"Done", L"deferred until the running call returns", TMsgType::mtInfo);
      return kS_OK;
    }
    // Only the object whose number created the driver destroys it.
    if (FDriver && static_cast<uint8_t>(FObjectNumber & 0xFF) == FDriver->DriverObjNumber()) {
      FDriver->SetExecExternalEvent(nullptr);
      FDriver.reset();
    }
    FEvent.reset();
    FExtWnds.reset();
    return kS_OK;
  });
}

HResult TAddInObject::GetInfo(HostArray& Info) {
  return Guarded([&] {
    TBaseDriver::PutParam(Info, 0, std::wstring(L"2000"));
    return kS_OK;
  });
}

HResult TAddInObject::RegisterExtensionAs(std::wstring& ExtensionName) {
  return Guarded([&] {
    ExtensionName = FClass.ExtensionName;
    return kS_OK;
  });
}

HResult TAddInObject::GetNProps(int32_t& PropCount) {
  PropCount = FDriver ? FDriver->PropsCount() : 0;
  return kS_OK;
}

HResult TAddInObject::FindProp(const std::wstring& PropName, int32_t& PropNum) {
  return Guarded([&] {
    PropNum = FDriver ? FDriver->GetPropNum(PropName) : -1;
    return kS_OK;
  });
}

HResult TAddInObject::GetPropName(int32_t PropNum, int32_t PropAlias, std::wstring& PropName) {
  return Guarded([&] {
    if (!ValidProp(PropNum)) return kS_FALSE;
    const PSettingStruct setting = FDriver->GetProperty(PropNum);
    PropName = PropAlias == 0 ? setting->ID : setting->Alias;
    return kS_OK;
  });
}

HResult TAddInObject::GetPropVal(int32_t PropNum, HostValue& PropVal) {
  return Guarded([&] {
    PropVal = HostValue();
    if (!ValidProp(PropNum)) return kS_FALSE;
    PropVal = FDriver->GetProperty(PropNum)->Value;
    return kS_OK;
  });
}

HResult TAddInObject::SetPropVal(int32_t PropNum, const HostValue& PropVal) {
  return Guarded([&] {
    if (!ValidProp(PropNum)) return kS_FALSE;
    // The host writes properties as they come, without the type check of the
    // settings operations.
    const PSettingStruct setting = FDriver->GetProperty(PropNum);
    const std::wstring id = setting->ID;
    const bool log_switch = SameTextIgnoreCase(id, L"DebugLogEnabled");
    if (log_switch && !ConvertsToBool(PropVal)) {
      // Stored, it would make every later opening fail on reading it.
      TLog::Append(L"SetPropVal", id + L"=" + PropValueText(PropVal) +
                                      L": not a Boolean, the previous value stays",
                   TMsgType::mtError);
      return kS_FALSE;
    }
    setting->Value = PropVal;
    if (log_switch) FDriver->UpdateDebugLogEnabled();
    // Logged after the switch, so that switching the log on is itself logged.
    TLog::Append(L"SetPropVal", id + L"=" + PropValueText(PropVal), TMsgType::mtInfo);
    return kS_OK;
  });
}

HResult TAddInObject::IsPropReadable(int32_t, bool&) { return kS_OK; }
HResult TAddInObject::IsPropWritable(int32_t, bool&) { return kS_OK; }

HResult TAddInObject::GetNMethods(int32_t& MethodCount) {
  MethodCount = FDriver ? FDriver->MethsCount() : 0;
  return kS_OK;
}

HResult TAddInObject::FindMethod(const std::wstring& MethodName, int32_t& MethodNum) {
  return Guarded([&] {
    MethodNum = FDriver ? FDriver->GetMethodNum(MethodName) : -1;
    return kS_OK;
  });
}

HResult TAddInObject::GetMethodName(int32_t MethodNum, int32_t, std::wstring& MethodName) {
  return Guarded([&] {
    if (!ValidMethod(MethodNum)) return kS_FALSE;
    MethodName = FDriver->GetMethod(MethodNum)->Name;
    return kS_OK;
  });
}

HResult TAddInObject::GetNParams(int32_t MethodNum, int32_t& ParamCount) {
  return Guarded([&] {
    if (!ValidMethod(MethodNum)) return kS_FALSE;
    ParamCount = FDriver->GetMethod(MethodNum)->ParamsCount;
    return kS_OK;
  });
}

HResult TAddInObject::GetParamDefValue(int32_t, int32_t, HostValue& DefValue) {
  DefValue = HostValue();
  return kS_OK;
}

HResult TAddInObject::HasRetVal(int32_t, int32_t& HasValue) {
  HasValue = 1;
  return kS_OK;
}

HResult TAddInObject::CallAsProc(int32_t MethodNum, HostParams& Params) {
  HostValue own_slot;
  return Call(MethodNum, own_slot, Params, false);
}

HResult TAddInObject::CallAsFunc(int32_t MethodNum, HostValue& RetValue, HostParams& Params) {
  return Call(MethodNum, RetValue, Params, true);
}

HResult TAddInObject::Call(int32_t MethodNum, HostValue& RetValue, HostParams& Params,
                           bool as_function) {
  return Guarded([&] {
    if (!ValidMethod(MethodNum)) return kS_FALSE;
    TBaseDriver& driver = *FDriver;
    // A copy: the entry's name is needed after the method, whatever it did.
    const TMethodStruct method = *driver.GetMethod(MethodNum);
    if (CallRunning()) return RefuseNestedCall(method, RetValue, Params, as_function);
    const RunningCall running;

    // The host's window stays disabled for the whole call, the error box
    // included, and is given back however the call ends.
    struct FocusGuard {
      TBaseDriver* driver;
      ~FocusGuard() {
        if (!driver) return;
        try {
          driver->RestoreFocus();
        } catch (...) {
        }
      }
    } focus{nullptr};
    if (driver.AutoKeepFocus()) {
      driver.StoreFocus();
      focus.driver = &driver;
    }

    HResult result = kS_FALSE;
    try {
      // The renderings are built only for a log that writes them.
      if (LogIsOn())
        TLog::Append(L"> " + method.Name, L"Params: " + LogText([&] { return ParamsToLogText(Params, method.CardParams); }),
                     TMsgType::mtInfo);
      driver.SetCallLogNote({});
      result = method.DriverMethod(RetValue, Params);
      if (LogIsOn())
        TLog::Append(L"< " + method.Name,
                     L"Result=" + LogText([&] { return ValueToLogText(RetValue); }) + L"; Params: " +
                         LogText([&] { return ParamsToLogText(Params, method.CardParams); }) +
                         L"; LastResultDescription: " + driver.LastResultDescriptionField() +
                         (driver.CallLogNote().empty() ? L"" : L"; " + driver.CallLogNote()),
                     TMsgType::mtInfo);
      // The oldest host platform takes no Booleans: 1 and 0 instead.
      if (as_function && driver.PlatformVer() == TPlatformVer::pv77 && RetValue.IsBoolean())
        RetValue = HostValue::FromInt32(RetValue.ToBool() ? 1 : 0);
    } catch (...) {
      result = kS_FALSE;
      const std::wstring message = CurrentExceptionMessage();
      TLog::Append(L"EXCEPTION", message, TMsgType::mtError);
      if (FErrorReporter)
        FErrorReporter(method.Name, message);
      else
        Services().Windows->ShowErrorBox(L"EXCEPTION", L"Method: " + method.Name + L"\r\nMessage: " + message);
    }
    return result;
  });
}

HResult TAddInObject::RefuseNestedCall(const TMethodStruct& method, HostValue& RetValue,
                                       HostParams& Params, bool as_function) {
  // Nothing of the driver is touched: not its engine, not its last result.
  // The refused call answers for itself, "ПолучитьОшибку" included.
  const std::wstring text = EquipmentErrorText(rc::kBusy, L"", L"");
  TLog::Append(L"> " + method.Name, L"Refused: another call is still running (" +
                                        std::to_wstring(rc::kBusy) + L" " + text + L")",
               TMsgType::mtError);
  const bool last_error = method.Name == L"ПолучитьОшибку" || method.Alias == L"GetLastError";
  if (last_error) {
    TBaseDriver::PutParam(Params, 0, text);
    RetValue = HostValue::FromInt32(rc::kBusy);
  } else {
    RetValue = HostValue::FromBool(false);
    if (as_function && FDriver->PlatformVer() == TPlatformVer::pv77) RetValue = HostValue::FromInt32(0);
  }
  return kS_OK;
}

HResult TAddInObject::SetLocale(const std::wstring&) { return kS_OK; }

HResult TAddInObject::ChangeSettings() {
  return Guarded([&] {
    if (!FDriver || !FDriver->CapSettingsDlg()) return kS_FALSE;
    FDriver->ReadSettings();
    if (FDriver->ShowSettingsDlg()) FDriver->SaveSettings();
    return kS_OK;
  });
}

HResult TAddInObject::CapSettingsDlg(bool& Value) {
  Value = false;
  if (!FDriver) return kS_FALSE;
  Value = FDriver->CapSettingsDlg();
  return kS_OK;
}

void TAddInObject::ExecExternalEvent(const std::wstring& Source, const std::wstring& Message,
                                     const std::wstring& Data) {
  if (!FEvent) return;
  const HResult status = FEvent->ExternalEvent(Source, Message, Data);
  if (status < 0)
    throw PlatformError("The host refused the external event: " + WideToUtf8(HexStatus(status)));
}

}  // namespace velko
