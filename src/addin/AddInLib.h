// Our own declarations of the host's add-in interfaces: the identifiers and
// the method order in each vtable are what the host expects; nothing here is
// taken from the host's SDK. Every interface derives from IUnknown and every
// method answers an HRESULT with the stdcall convention.
#pragma once

#include <ole2.h>
#include <oaidl.h>
#include <windows.h>

// {AB634001-F13D-11D0-A459-004095E1DAEA}
inline constexpr GUID IID_IInitDone = {0xAB634001, 0xF13D, 0x11D0, {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
// {B59789E1-2E8B-11D1-A4E7-004095E1DAEA}
inline constexpr GUID IID_IPropertyLink = {0xB59789E1, 0x2E8B, 0x11D1, {0xA4, 0xE7, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
// {AB634003-F13D-11D0-A459-004095E1DAEA}
inline constexpr GUID IID_ILanguageExtender = {0xAB634003, 0xF13D, 0x11D0, {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
// {AB634004-F13D-11D0-A459-004095E1DAEA}
inline constexpr GUID IID_IAsyncEvent = {0xAB634004, 0xF13D, 0x11D0, {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
// {EFE19EA0-09E4-11D2-A601-008048DA00DE}
inline constexpr GUID IID_IExtWndsSupport = {0xEFE19EA0, 0x09E4, 0x11D2, {0xA6, 0x01, 0x00, 0x80, 0x48, 0xDA, 0x00, 0xDE}};
// {9A00111C-A9DA-4A0E-BA5A-CE340F0D29D7}: the add-in object's class (a_velko1c83).
inline constexpr GUID CLSID_AddInVelko = {0x9A00111C, 0xA9DA, 0x4A0E, {0xBA, 0x5A, 0xCE, 0x34, 0x0F, 0x0D, 0x29, 0xD7}};
// {5783D330-7120-4395-B928-5C554BB4B8FD}: its class for interface revision 3004.
inline constexpr GUID CLSID_AddInVelko3004 = {0x5783D330, 0x7120, 0x4395, {0xB9, 0x28, 0x5C, 0x55, 0x4B, 0xB4, 0xB8, 0xFD}};
// {6F89C046-7288-4E30-8811-38FF988F139A}: its class for interface revision 4000.
inline constexpr GUID CLSID_AddInVelko4000 = {0x6F89C046, 0x7288, 0x4E30, {0x88, 0x11, 0x38, 0xFF, 0x98, 0x8F, 0x13, 0x9A}};
// {F5ED8AEB-FC31-42B1-949C-76A70E6C5874}: the property page the object names.
inline constexpr GUID CLSID_AddInPropertyPage = {0xF5ED8AEB, 0xFC31, 0x42B1, {0x94, 0x9C, 0x76, 0xA7, 0x0E, 0x6C, 0x58, 0x74}};

struct IInitDone : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Init(IDispatch* pConnection) = 0;
  virtual HRESULT STDMETHODCALLTYPE Done() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetInfo(SAFEARRAY** pInfo) = 0;
};

struct IPropertyLink : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ChangeSettings() = 0;
  virtual HRESULT STDMETHODCALLTYPE CapSettingsDlg(BOOL* Value) = 0;
};

struct ILanguageExtender : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE RegisterExtensionAs(BSTR* bstrExtensionName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNProps(long* plProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindProp(BSTR bstrPropName, long* plPropNum) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropName(long lPropNum, long lPropAlias, BSTR* pbstrPropName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropVal(long lPropNum, VARIANT* pvarPropVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPropVal(long lPropNum, VARIANT* varPropVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPropReadable(long lPropNum, BOOL* pboolPropRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPropWritable(long lPropNum, BOOL* pboolPropWrite) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNMethods(long* plMethods) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindMethod(BSTR bstrMethodName, long* plMethodNum) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodName(long lMethodNum, long lMethodAlias, BSTR* pbstrMethodName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNParams(long lMethodNum, long* plParams) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetParamDefValue(long lMethodNum, long lParamNum, VARIANT* pvarParamDefValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE HasRetVal(long lMethodNum, BOOL* pboolRetValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE CallAsProc(long lMethodNum, SAFEARRAY** paParams) = 0;
  virtual HRESULT STDMETHODCALLTYPE CallAsFunc(long lMethodNum, VARIANT* pvarRetValue, SAFEARRAY** paParams) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetLocale(BSTR bstrLocale) = 0;
};

struct IAsyncEvent : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetEventBufferDepth(long lDepth) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEventBufferDepth(long* plDepth) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR bstrSource, BSTR bstrMessage, BSTR bstrData) = 0;
  virtual HRESULT STDMETHODCALLTYPE CleanBuffer() = 0;
};

struct IExtWndsSupport : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetAppMainFrame(HWND* hwnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAppMDIFrame(HWND* hwnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateAddInWindow(BSTR bstrProgID, BSTR bstrWindowName, long dwStyles,
                                                      long dwExStyles, RECT* rctl, long Flags, HWND* pHwnd,
                                                      IDispatch** pDisp) = 0;
};
