// Registers the module's concrete driver class under "TDriver", the name the
// add-in object's Init creates its driver by.
#pragma once

namespace velko::com {
void RegisterModuleDriverClass();
}
