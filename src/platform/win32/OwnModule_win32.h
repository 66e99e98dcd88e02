// The module that holds this code: the DLL when the core is linked into one,
// else the program. For window classes, dialogs and the module's own file.
// Thread-safe.
#pragma once

#include <windows.h>

namespace velko {

HMODULE OwnModule();

}  // namespace velko
