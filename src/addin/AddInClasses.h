// The classes the add-in offers. Each class is a complete driver of one
// revision of the host's equipment interface over the same engine; the host
// (or its administrator) picks one by name, and an object stays that class for
// its life. The name is the object's extension name (RegisterExtensionAs), the
// COM ProgID's tail ("AddIn.<name>") and the Native class name alike.
//
// Only the add-in layer knows class names; the driver below sees the revision
// number alone. Constant data: safe on any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velko {

struct TAddInClass {
  const wchar_t* ExtensionName;
  int32_t InterfaceRevision;  // 2004: the standard's 2.4 layout; 3004, 4000: the later ones
};

// Every class, the default (revision 2004, today's driver) first.
std::span<const TAddInClass> AddInClasses();
const TAddInClass& DefaultAddInClass();
// The class of that exact extension name; nullptr when there is none.
const TAddInClass* FindAddInClass(std::wstring_view ExtensionName);
// The names joined with ", ", for a message that lists the choices.
std::wstring AddInClassNameList();

}  // namespace velko
