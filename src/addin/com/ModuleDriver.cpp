#include "addin/com/ModuleDriver.h"

#include "driver/uBaseDriver.h"

namespace velko::com {

void RegisterModuleDriverClass() {
  // LOCAL STAND-IN until the terminal driver is merged: the framework's base
  // driver answers under "TDriver". Replace with RegisterDriverClassTDriver()
  // from terminal/uDriver.h.
  RegisterDriverClass(L"TDriver", [] { return CreateDriver<TBaseDriver>(); });
}

}  // namespace velko::com
