// The error that a failed platform operation raises: a C++ exception carrying
// the operating system's own message, for the add-in object's error catcher.
#pragma once

#include <stdexcept>
#include <string>

namespace velko {

class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The operating system's text for its last error (errno, or GetLastError()).
std::string LastSystemErrorText();
// The same for a given error number of the platform.
std::string SystemErrorText(unsigned long code);

}  // namespace velko
