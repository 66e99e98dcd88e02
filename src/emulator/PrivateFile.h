// The emulator's own files (journal, exchange log) are for the account that
// runs it: they are created, or narrowed when they exist, to owner read and
// write before anything is written to them. Stateless; thread-safe.
#pragma once

#include <string>

namespace velko::emulator {

// Creates the file when it is missing and leaves it readable and writable by
// its owner only (where the file system keeps such permissions); throws
// std::runtime_error naming the file when it cannot be created.
void MakePrivateFile(const std::string& path);

}  // namespace velko::emulator
