// The owner of a socket (see platform/UniqueResource.h), the same for the
// driver's client and the emulator on both platforms: closesocket on
// Windows, close on POSIX. The type is the platform's own socket type
// (SOCKET on Windows, an int descriptor on POSIX) without its headers, so
// that portable headers can hold one. Thread rules: one owner at a time.
#pragma once

#include <cstdint>

#include "platform/UniqueResource.h"

namespace velko {

struct socket_traits {
#ifdef _WIN32
  using type = std::uintptr_t;  // SOCKET
  static constexpr type invalid() noexcept { return ~type{0}; }  // INVALID_SOCKET
#else
  using type = int;
  static constexpr type invalid() noexcept { return -1; }
#endif
  static void close(type socket) noexcept;
};
using unique_socket = unique_resource<socket_traits>;

}  // namespace velko
