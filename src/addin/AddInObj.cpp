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

TAddInObject::TAddInObject() { TLog::Start(); }

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
  return Driver_ && number >= 0 && number < Driver_->MethsCount();
}

bool TAddInObject::ValidProp(int32_t number) const {
  return Driver_ && number >= 0 && number < Driver_->PropsCount();
}

HResult TAddInObject::Init(IHostConnection* pConnection) {
  return Guarded([&] {
    pEvent.reset();
    if (pConnection) pEvent = pConnection->QueryEventSink();
    if (pEvent) {
      // A host that refuses the buffer depth still gets a working object; the
      // refusal is only worth a line in the log.
      const HResult status = pEvent->SetEventBufferDepth(100);
      if (status < 0)
        TLog::Append(L"Init", L"the host refused the event buffer depth: " + HexStatus(status),
                     TMsgType::mtError);
    }
    pExtWnds.reset();
    if (pConnection) pExtWnds = pConnection->QueryExtWndsSupport();

    FObjectNumber = g_object_counter.load();
    if (!Driver_) {
      std::unique_ptr<TBaseDriver> driver = CreateDriverByName(kDriverClassName);
      if (!driver) throw PlatformError("No driver class is registered under the name TDriver");
      driver->SetDriverObjNumber(static_cast<uint8_t>(FObjectNumber & 0xFF));
      driver->SetExecExternalEvent(
          [this](const std::wstring& source, const std::wstring& message, const std::wstring& data) {
            ExecExternalEvent(source, message, data);
          });
      Driver_ = std::move(driver);
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
    if (Driver_ && static_cast<uint8_t>(FObjectNumber & 0xFF) == Driver_->DriverObjNumber()) {
      Driver_->SetExecExternalEvent(nullptr);
      Driver_.reset();
    }
    pEvent.reset();
    pExtWnds.reset();
    return kS_OK;
  });
}

HResult TAddInObject::GetInfo(HostArray& pInfo) {
  return Guarded([&] {
    TBaseDriver::PutParam(pInfo, 0, std::wstring(L"2000"));
    return kS_OK;
  });
}

HResult TAddInObject::RegisterExtensionAs(std::wstring& bstrExtensionName) {
  return Guarded([&] {
    bstrExtensionName = kExtensionName;
    return kS_OK;
  });
}

HResult TAddInObject::GetNProps(int32_t& plProps) {
  plProps = Driver_ ? Driver_->PropsCount() : 0;
  return kS_OK;
}

HResult TAddInObject::FindProp(const std::wstring& bstrPropName, int32_t& plPropNum) {
  return Guarded([&] {
    plPropNum = Driver_ ? Driver_->GetPropNum(bstrPropName) : -1;
    return kS_OK;
  });
}

HResult TAddInObject::GetPropName(int32_t lPropNum, int32_t lPropAlias, std::wstring& pbstrPropName) {
  return Guarded([&] {
    if (!ValidProp(lPropNum)) return kS_FALSE;
    const PSettingStruct setting = Driver_->GetProperty(lPropNum);
    pbstrPropName = lPropAlias == 0 ? setting->ID : setting->Alias;
    return kS_OK;
  });
}

HResult TAddInObject::GetPropVal(int32_t lPropNum, HostValue& pvarPropVal) {
  return Guarded([&] {
    pvarPropVal = HostValue();
    if (!ValidProp(lPropNum)) return kS_FALSE;
    pvarPropVal = Driver_->GetProperty(lPropNum)->Value;
    return kS_OK;
  });
}

HResult TAddInObject::SetPropVal(int32_t lPropNum, const HostValue& varPropVal) {
  return Guarded([&] {
    if (!ValidProp(lPropNum)) return kS_FALSE;
    // The host writes properties as they come, without the type check of the
    // settings operations.
    const PSettingStruct setting = Driver_->GetProperty(lPropNum);
    const std::wstring id = setting->ID;
    const bool log_switch = SameTextIgnoreCase(id, L"DebugLogEnabled");
    if (log_switch && !ConvertsToBool(varPropVal)) {
      // Stored, it would make every later opening fail on reading it.
      TLog::Append(L"SetPropVal", id + L"=" + PropValueText(varPropVal) +
                                      L": not a Boolean, the previous value stays",
                   TMsgType::mtError);
      return kS_FALSE;
    }
    setting->Value = varPropVal;
    if (log_switch) Driver_->UpdateDebugLogEnabled();
    // Logged after the switch, so that switching the log on is itself logged.
    TLog::Append(L"SetPropVal", id + L"=" + PropValueText(varPropVal), TMsgType::mtInfo);
    return kS_OK;
  });
}

HResult TAddInObject::IsPropReadable(int32_t, bool&) { return kS_OK; }
HResult TAddInObject::IsPropWritable(int32_t, bool&) { return kS_OK; }

HResult TAddInObject::GetNMethods(int32_t& plMethods) {
  plMethods = Driver_ ? Driver_->MethsCount() : 0;
  return kS_OK;
}

HResult TAddInObject::FindMethod(const std::wstring& bstrMethodName, int32_t& plMethodNum) {
  return Guarded([&] {
    plMethodNum = Driver_ ? Driver_->GetMethodNum(bstrMethodName) : -1;
    return kS_OK;
  });
}

HResult TAddInObject::GetMethodName(int32_t lMethodNum, int32_t, std::wstring& pbstrMethodName) {
  return Guarded([&] {
    if (!ValidMethod(lMethodNum)) return kS_FALSE;
    pbstrMethodName = Driver_->GetMethod(lMethodNum)->Name;
    return kS_OK;
  });
}

HResult TAddInObject::GetNParams(int32_t lMethodNum, int32_t& plParams) {
  return Guarded([&] {
    if (!ValidMethod(lMethodNum)) return kS_FALSE;
    plParams = Driver_->GetMethod(lMethodNum)->ParamsCount;
    return kS_OK;
  });
}

HResult TAddInObject::GetParamDefValue(int32_t, int32_t, HostValue& pvarParamDefValue) {
  pvarParamDefValue = HostValue();
  return kS_OK;
}

HResult TAddInObject::HasRetVal(int32_t, int32_t& pboolRetValue) {
  pboolRetValue = 1;
  return kS_OK;
}

HResult TAddInObject::CallAsProc(int32_t lMethodNum, HostParams& paParams) {
  HostValue own_slot;
  return Call(lMethodNum, own_slot, paParams, false);
}

HResult TAddInObject::CallAsFunc(int32_t lMethodNum, HostValue& pvarRetValue, HostParams& paParams) {
  return Call(lMethodNum, pvarRetValue, paParams, true);
}

HResult TAddInObject::Call(int32_t lMethodNum, HostValue& pvarRetValue, HostParams& paParams,
                           bool as_function) {
  return Guarded([&] {
    if (!ValidMethod(lMethodNum)) return kS_FALSE;
    TBaseDriver& driver = *Driver_;
    // A copy: the entry's name is needed after the method, whatever it did.
    const TMethodStruct method = *driver.GetMethod(lMethodNum);
    if (CallRunning()) return RefuseNestedCall(method, pvarRetValue, paParams, as_function);
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
        TLog::Append(L"> " + method.Name, L"Params: " + LogText([&] { return ArrayToLogText(paParams); }),
                     TMsgType::mtInfo);
      result = method.DriverMethod(pvarRetValue, paParams);
      if (LogIsOn())
        TLog::Append(L"< " + method.Name,
                     L"Result=" + LogText([&] { return ValueToLogText(pvarRetValue); }) + L"; Params: " +
                         LogText([&] { return ArrayToLogText(paParams); }) +
                         L"; LastResultDescription: " + driver.LastResultDescriptionField(),
                     TMsgType::mtInfo);
      // The oldest host platform takes no Booleans: 1 and 0 instead.
      if (as_function && driver.PlatformVer() == TPlatformVer::pv77 && pvarRetValue.IsBoolean())
        pvarRetValue = HostValue::FromInt32(pvarRetValue.ToBool() ? 1 : 0);
    } catch (...) {
      result = kS_FALSE;
      const std::wstring message = CurrentExceptionMessage();
      TLog::Append(L"EXCEPTION", message, TMsgType::mtError);
      if (ErrorReporter_)
        ErrorReporter_(method.Name, message);
      else
        Services().Windows->ShowErrorBox(L"EXCEPTION", L"Method: " + method.Name + L"\r\nMessage: " + message);
    }
    return result;
  });
}

HResult TAddInObject::RefuseNestedCall(const TMethodStruct& method, HostValue& pvarRetValue,
                                       HostParams& paParams, bool as_function) {
  // Nothing of the driver is touched: not its engine, not its last result.
  // The refused call answers for itself, "ПолучитьОшибку" included.
  const std::wstring text = EquipmentErrorText(rc::kBusy, L"", L"");
  TLog::Append(L"> " + method.Name, L"Refused: another call is still running (" +
                                        std::to_wstring(rc::kBusy) + L" " + text + L")",
               TMsgType::mtError);
  const bool last_error = method.Name == L"ПолучитьОшибку" || method.Alias == L"GetLastError";
  if (last_error) {
    TBaseDriver::PutParam(paParams, 0, text);
    pvarRetValue = HostValue::FromInt32(rc::kBusy);
  } else {
    pvarRetValue = HostValue::FromBool(false);
    if (as_function && Driver_->PlatformVer() == TPlatformVer::pv77) pvarRetValue = HostValue::FromInt32(0);
  }
  return kS_OK;
}

HResult TAddInObject::SetLocale(const std::wstring&) { return kS_OK; }

HResult TAddInObject::ChangeSettings() {
  return Guarded([&] {
    if (!Driver_ || !Driver_->CapSettingsDlg()) return kS_FALSE;
    Driver_->ReadSettings();
    if (Driver_->ShowSettingsDlg()) Driver_->SaveSettings();
    return kS_OK;
  });
}

HResult TAddInObject::CapSettingsDlg(bool& Value) {
  Value = false;
  if (!Driver_) return kS_FALSE;
  Value = Driver_->CapSettingsDlg();
  return kS_OK;
}

void TAddInObject::ExecExternalEvent(const std::wstring& strSource, const std::wstring& strMessage,
                                     const std::wstring& strData) {
  if (!pEvent) return;
  const HResult status = pEvent->ExternalEvent(strSource, strMessage, strData);
  if (status < 0)
    throw PlatformError("The host refused the external event: " + WideToUtf8(HexStatus(status)));
}

}  // namespace velko
