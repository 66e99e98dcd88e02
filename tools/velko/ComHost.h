// `velko call --com` and `velko session --com`: the add-in object as the host
// gets it, created through the COM runtime by its class's ProgID
// ("AddIn.a_velko1c83", "AddIn.a_velko1c83_4000", ...),
// so that the registered DLL answers rather than velko's own copy of the
// driver. Windows only; the object lives on the calling thread's apartment
// and is used on that thread alone.
#pragma once

#include <memory>

#include "HostHarness.h"
#include "addin/AddInClasses.h"

namespace velko::tool {

// Enters a single-threaded apartment, creates the object by its ProgID and
// initialises it with a host connection. Throws std::runtime_error saying
// what stands in the way (not registered, not for this bitness, refused).
std::unique_ptr<Host> CreateComHost(const TAddInClass& cls);

}  // namespace velko::tool
