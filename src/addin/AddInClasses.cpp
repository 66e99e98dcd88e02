#include "addin/AddInClasses.h"

namespace velko {
namespace {

constexpr TAddInClass kClasses[] = {
    {L"a_velko1c83", 2004},
    {L"a_velko1c83_3004", 3004},
    {L"a_velko1c83_4000", 4000},
};

}  // namespace

std::span<const TAddInClass> AddInClasses() { return kClasses; }

const TAddInClass& DefaultAddInClass() { return kClasses[0]; }

const TAddInClass* FindAddInClass(std::wstring_view ExtensionName) {
  for (const TAddInClass& cls : kClasses)
    if (ExtensionName == cls.ExtensionName) return &cls;
  return nullptr;
}

std::wstring AddInClassNameList() {
  std::wstring list;
  for (const TAddInClass& cls : kClasses) {
    if (!list.empty()) list += L", ";
    list += cls.ExtensionName;
  }
  return list;
}

}  // namespace velko
