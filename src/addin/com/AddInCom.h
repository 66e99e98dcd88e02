// The add-in object as the host sees it: the COM object around TAddInObject.
//
// It implements the host's add-in interfaces and IDispatch, in the order of
// its interface table: IPropertyLink, ILanguageExtender, ISpecifyPropertyPages,
// IInitDone, IDispatch. Each method converts what the host passes into host
// values, runs the dispatch, and converts the results back; only the elements
// a method changed are written into the host's arrays. No exception leaves a
// method: what escapes the dispatch is answered with E_FAIL (E_OUTOFMEMORY
// when memory ran out). Used on the thread of the apartment that created it.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "addin/AddInLib.h"
#include "addin/AddInObj.h"
#include "addin/com/ComObject.h"

namespace velko::com {

class TAddInComObject : public IPropertyLink,
                        public ILanguageExtender,
                        public ISpecifyPropertyPages,
                        public IInitDone,
                        public IDispatch {
 public:
  // A new object of the class given, holding one reference, seen through its
  // first interface.
  static com_ptr<IPropertyLink> Create(const TAddInClass& cls);

  // IPropertyLink.
  HRESULT STDMETHODCALLTYPE ChangeSettings() override;
  HRESULT STDMETHODCALLTYPE CapSettingsDlg(BOOL* Value) override;

  // ILanguageExtender.
  HRESULT STDMETHODCALLTYPE RegisterExtensionAs(BSTR* bstrExtensionName) override;
  HRESULT STDMETHODCALLTYPE GetNProps(long* plProps) override;
  HRESULT STDMETHODCALLTYPE FindProp(BSTR bstrPropName, long* plPropNum) override;
  HRESULT STDMETHODCALLTYPE GetPropName(long lPropNum, long lPropAlias, BSTR* pbstrPropName) override;
  HRESULT STDMETHODCALLTYPE GetPropVal(long lPropNum, VARIANT* pvarPropVal) override;
  HRESULT STDMETHODCALLTYPE SetPropVal(long lPropNum, VARIANT* varPropVal) override;
  HRESULT STDMETHODCALLTYPE IsPropReadable(long lPropNum, BOOL* pboolPropRead) override;
  HRESULT STDMETHODCALLTYPE IsPropWritable(long lPropNum, BOOL* pboolPropWrite) override;
  HRESULT STDMETHODCALLTYPE GetNMethods(long* plMethods) override;
  HRESULT STDMETHODCALLTYPE FindMethod(BSTR bstrMethodName, long* plMethodNum) override;
  HRESULT STDMETHODCALLTYPE GetMethodName(long lMethodNum, long lMethodAlias, BSTR* pbstrMethodName) override;
  HRESULT STDMETHODCALLTYPE GetNParams(long lMethodNum, long* plParams) override;
  HRESULT STDMETHODCALLTYPE GetParamDefValue(long lMethodNum, long lParamNum, VARIANT* pvarParamDefValue) override;
  HRESULT STDMETHODCALLTYPE HasRetVal(long lMethodNum, BOOL* pboolRetValue) override;
  HRESULT STDMETHODCALLTYPE CallAsProc(long lMethodNum, SAFEARRAY** paParams) override;
  HRESULT STDMETHODCALLTYPE CallAsFunc(long lMethodNum, VARIANT* pvarRetValue, SAFEARRAY** paParams) override;
  HRESULT STDMETHODCALLTYPE SetLocale(BSTR bstrLocale) override;

  // ISpecifyPropertyPages.
  HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pPages) override;

  // IInitDone.
  HRESULT STDMETHODCALLTYPE Init(IDispatch* pConnection) override;
  HRESULT STDMETHODCALLTYPE Done() override;
  HRESULT STDMETHODCALLTYPE GetInfo(SAFEARRAY** pInfo) override;

  // IDispatch: the object has no automation interface of its own.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override;

 protected:
  explicit TAddInComObject(const TAddInClass& cls) : object_(cls) {}
  virtual ~TAddInComObject() = default;
  void* InternalQueryInterface(REFIID riid);

 private:
  HRESULT Call(long lMethodNum, VARIANT* pvarRetValue, SAFEARRAY** paParams, bool as_function);

  TAddInObject object_;
};

}  // namespace velko::com
