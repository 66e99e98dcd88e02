#include "addin/com/ModuleDriver.h"

#include "terminal/uDriver.h"

namespace velko::com {

void RegisterModuleDriverClass() { RegisterDriverClassTDriver(); }

}  // namespace velko::com
