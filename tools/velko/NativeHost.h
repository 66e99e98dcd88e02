// The velko command as a Native API host: loads the module through its four
// exported functions exactly as the host does (dlopen / LoadLibrary), gives
// the object a memory manager and a connection, and calls it with host
// values converted to the host's Native values and back. Errors the module
// reports through AddError are printed on standard error and kept.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/HResult.h"
#include "common/HostValue.h"

namespace velko::tool {

class UnpackedModule;

class NativeHost {
 public:
  // Loads the module at `path` and creates and initialises its object whose
  // extension name is `extension` (the module's first class when empty),
  // found as the host finds it: each class the module names is created and
  // asked for its extension name, and the others are let go again. Throws
  // std::runtime_error when any step fails. A package zip at `path`
  // is read as the host reads it: the module its manifest names for this
  // system is unpacked into a temporary folder, removed again at the end.
  explicit NativeHost(const std::string& path, const std::wstring& extension = L"");
  ~NativeHost();
  NativeHost(const NativeHost&) = delete;
  NativeHost& operator=(const NativeHost&) = delete;

  int32_t FindProp(const std::wstring& name);
  HResult GetPropVal(int32_t number, HostValue& value);
  HResult SetPropVal(int32_t number, const HostValue& value);
  int32_t FindMethod(const std::wstring& name);
  std::wstring GetMethodName(int32_t number, int32_t alias);
  int32_t GetNParams(int32_t number);
  // S_OK when the module answered true, S_FALSE when it answered false.
  HResult CallAsFunc(int32_t number, HostValue& ret, HostArray& params);

  // What the module reported through AddError ("source: text").
  const std::vector<std::wstring>& Errors() const;

 private:
  struct Impl;
  std::unique_ptr<UnpackedModule> unpacked_;  // outlives impl_, which unloads the module
  std::unique_ptr<Impl> impl_;
};

}  // namespace velko::tool
