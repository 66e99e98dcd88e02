#ifdef _WIN32
#include <winsock2.h>

#include <type_traits>
#else
#include <unistd.h>
#endif

#include "platform/UniqueSocket.h"

namespace velko {

#ifdef _WIN32
static_assert(std::is_same_v<socket_traits::type, SOCKET>);
static_assert(socket_traits::invalid() == INVALID_SOCKET);

void socket_traits::close(type socket) noexcept { ::closesocket(socket); }
#else
void socket_traits::close(type socket) noexcept { ::close(socket); }
#endif

}  // namespace velko
