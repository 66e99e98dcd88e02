// The add-in object as a Native API host sees it: the component around
// TAddInObject, for the host's platform that loads add-ins without
// registration (Windows 32/64-bit and Linux).
//
// Each method converts what the host passes into host values, runs the
// dispatch and converts the results back; only the parameters a method
// changed are written into the host's array, every block handed over comes
// from the host's memory manager, and the block an output held before is given
// back to it. Booleans are returned as Booleans. Names read back: a method's
// international (English) name for alias 0 and its local one for alias 1; a
// property's identifier for alias 0 and, for alias 1, its alias where that is
// a name without blanks. A call that answers false leaves the host's return
// value as it was. No exception leaves a method:
// a failure is reported through the host's AddError (the kind that shows a
// message box) and answered with false. Used on the host's thread only.
#pragma once

#include <string>

#include "addin/AddInObj.h"
#include "addin/native/NativeAbi.h"
#include "addin/native/NativeValue.h"

namespace velko::native {

// The classes the module offers (GetClassNames), which the host asks
// GetClassObject for, each the Native name of one add-in class. The host
// names an object by what its RegisterExtensionAs answers, not by these:
// "AddIn.<name given when attaching>.<extension name>", so a driver attached
// under the name a_velko1c83 is created as "AddIn.a_velko1c83.a_velko1c83",
// and its revision-4000 class as "AddIn.a_velko1c83.a_velko1c83_4000".
struct TNativeClass {
  const wchar_t* NativeName;
  const wchar_t* ExtensionName;  // a class of AddInClasses()
};
inline constexpr TNativeClass kNativeClasses[] = {
    {L"VelkoAcquiring", L"a_velko1c83"},
    {L"VelkoAcquiring3004", L"a_velko1c83_3004"},
    {L"VelkoAcquiring4000", L"a_velko1c83_4000"},
};

class TNativeComponent final : public NativeComponentBase {
 public:
  explicit TNativeComponent(const TAddInClass& cls);
  ~TNativeComponent();
  TNativeComponent(const TNativeComponent&) = delete;
  TNativeComponent& operator=(const TNativeComponent&) = delete;

  // NativeInitDone.
  bool VELKO_NATIVE_CALL Init(void* connection) override;
  bool VELKO_NATIVE_CALL setMemManager(void* memory) override;
  long VELKO_NATIVE_CALL GetInfo() override;
  void VELKO_NATIVE_CALL Done() override;

  // NativeLanguageExtender.
  bool VELKO_NATIVE_CALL RegisterExtensionAs(NativeChar** name) override;
  long VELKO_NATIVE_CALL GetNProps() override;
  long VELKO_NATIVE_CALL FindProp(const NativeChar* name) override;
  const NativeChar* VELKO_NATIVE_CALL GetPropName(long number, long alias) override;
  bool VELKO_NATIVE_CALL GetPropVal(const long number, NativeVariant* value) override;
  bool VELKO_NATIVE_CALL SetPropVal(const long number, NativeVariant* value) override;
  bool VELKO_NATIVE_CALL IsPropReadable(const long number) override;
  bool VELKO_NATIVE_CALL IsPropWritable(const long number) override;
  long VELKO_NATIVE_CALL GetNMethods() override;
  long VELKO_NATIVE_CALL FindMethod(const NativeChar* name) override;
  const NativeChar* VELKO_NATIVE_CALL GetMethodName(const long number, const long alias) override;
  long VELKO_NATIVE_CALL GetNParams(const long number) override;
  bool VELKO_NATIVE_CALL GetParamDefValue(const long number, const long param, NativeVariant* value) override;
  bool VELKO_NATIVE_CALL HasRetVal(const long number) override;
  bool VELKO_NATIVE_CALL CallAsProc(const long number, NativeVariant* params, const long count) override;
  bool VELKO_NATIVE_CALL CallAsFunc(const long number, NativeVariant* ret, NativeVariant* params,
                                    const long count) override;

  // NativeLocale.
  void VELKO_NATIVE_CALL SetLocale(const NativeChar* locale) override;

  // The host's DestroyObject: deletes the object, or, when it arrives from a
  // handler the host ran while a call of this object waits, marks it and lets
  // that call delete the object as it returns. Never touch the object after.
  static void Destroy(TNativeComponent* component);

 private:
  template <class Answer, class F>
  Answer Boundary(const wchar_t* operation, Answer failed, F&& body) noexcept;
  bool Call(long number, NativeVariant* ret, NativeVariant* params, long count, bool as_function);
  bool CallBody(long number, NativeVariant* ret, NativeVariant* params, long count, bool as_function);
  // Shows the host's error box (AddError); false when the host has none.
  void ReportError(const std::wstring& source, const std::wstring& text) noexcept;
  HostMemory Memory() const { return HostMemory(memory_); }

  TAddInObject object_;
  NativeHostConnection* connection_ = nullptr;
  NativeMemoryManager* memory_ = nullptr;
  bool initialized_ = false;
  int running_calls_ = 0;
  bool destroy_requested_ = false;
};

}  // namespace velko::native
