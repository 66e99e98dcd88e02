// The host's side of the add-in technology, for tests that reach the driver
// only through COM: a connection object, a parameter array, running programs,
// reading the registry and watching for windows.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "addin/AddInLib.h"

namespace host {

// The connection object the host hands to Init: IDispatch with the host's
// event and window-support interfaces behind it. It lives on the stack of a
// test, so references only count; the test checks they all come back.
class Connection final : public IDispatch, public IAsyncEvent, public IExtWndsSupport {
 public:
  bool offer_event = true;
  bool offer_windows = true;
  HRESULT depth_answer = S_OK;
  std::vector<long> depths;
  std::vector<std::vector<std::wstring>> events;
  LONG refs = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE SetEventBufferDepth(long lDepth) override {
    depths.push_back(lDepth);
    return depth_answer;
  }
  HRESULT STDMETHODCALLTYPE GetEventBufferDepth(long* plDepth) override {
    *plDepth = depths.empty() ? 0 : depths.back();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR s, BSTR m, BSTR d) override {
    events.push_back({s ? s : L"", m ? m : L"", d ? d : L""});
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CleanBuffer() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE GetAppMainFrame(HWND* hwnd) override {
    *hwnd = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAppMDIFrame(HWND* hwnd) override {
    *hwnd = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateAddInWindow(BSTR, BSTR, long, long, RECT*, long, HWND*, IDispatch**) override {
    return E_NOTIMPL;
  }
};

// A one-dimensional array of VARIANTs indexed from 0, as the host passes a
// method's parameters; destroyed with its elements.
class ParamArray {
 public:
  explicit ParamArray(ULONG count);
  ~ParamArray();
  ParamArray(const ParamArray&) = delete;
  ParamArray& operator=(const ParamArray&) = delete;

  SAFEARRAY** put() { return &array_; }
  void Set(LONG index, const VARIANT& value);  // copies
  void SetText(LONG index, const std::wstring& text);
  void SetInt(LONG index, LONG value);
  void SetDouble(LONG index, double value);
  VARTYPE TypeAt(LONG index) const;
  std::wstring TextAt(LONG index) const;  // the element converted to text
  double DoubleAt(LONG index) const;
  LONG IntAt(LONG index) const;

 private:
  SAFEARRAY* array_ = nullptr;
};

// A VARIANT cleared when it goes.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

// A BSTR freed when it goes.
struct Bstr {
  BSTR b = nullptr;
  Bstr() = default;
  explicit Bstr(const std::wstring& text) : b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(b); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  std::wstring text() const { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
};

// Runs a command line, waits for it (bounded) and returns its exit code;
// -1 when it did not start or did not end in time.
long RunAndWait(const std::wstring& command_line, DWORD timeout_ms = 120000);
// The same with `input` as its standard input and what it writes to standard
// output and error in `output`.
long RunAndCapture(const std::wstring& command_line, const std::string& input, std::string& output,
                   DWORD timeout_ms = 120000);

// A string value of the registry; nothing when the key or the value is missing.
std::optional<std::wstring> RegText(HKEY root, const std::wstring& key, const wchar_t* name = nullptr,
                                    REGSAM view = 0);
// `view` picks a registry view (KEY_WOW64_32KEY, KEY_WOW64_64KEY); 0 is the program's own.
bool RegKeyExists(HKEY root, const std::wstring& key, REGSAM view = 0);

std::wstring ModulePath(HMODULE module = nullptr);
std::wstring FolderOf(const std::wstring& path);
std::wstring FileNameOf(const std::wstring& path);

// Waits on a second thread for a top-level window with `caption`, hands it to
// `act`, and reports what it found. The host thread meanwhile sits in the
// modal loop of the call that opened the window.
class WindowWatcher {
 public:
  WindowWatcher(std::wstring caption, std::function<void(HWND)> act, DWORD timeout_ms = 20000);
  ~WindowWatcher();  // joins
  WindowWatcher(const WindowWatcher&) = delete;
  WindowWatcher& operator=(const WindowWatcher&) = delete;
  bool found() const { return found_; }
  void Join();

 private:
  static DWORD WINAPI Run(void* self);
  std::wstring caption_;
  std::function<void(HWND)> act_;
  DWORD timeout_ms_;
  bool found_ = false;
  HANDLE thread_ = nullptr;
};

// The texts of a window's children of a window class ("Static", "Edit", ...).
std::vector<std::wstring> ChildTexts(HWND window, const wchar_t* window_class);
HWND FindChild(HWND window, const wchar_t* window_class, const std::wstring& text = L"");
// Saves what the window shows as a 24-bit BMP file; false when that failed.
bool SaveWindowBitmap(HWND window, const std::wstring& file);

}  // namespace host

namespace host {

// The terminal-server emulator as a child process on a free loopback port
// ("velko.exe emulator --listen 127.0.0.1:0"), ended with the object.
class EmulatorProcess {
 public:
  explicit EmulatorProcess(const std::wstring& velko_exe, const std::wstring& extra_arguments = L"");
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;
  long port() const { return port_; }  // 0 when it did not start
  const std::string& first_line() const { return first_line_; }

 private:
  PROCESS_INFORMATION process_{};
  long port_ = 0;
  std::string first_line_;
};

}  // namespace host
