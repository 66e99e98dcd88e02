#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "platform/Ipv4Address.h"
#include "platform/PlatformError.h"
#include "platform/UniqueResource.h"

namespace velko {
namespace {

struct addrinfo_traits {
  using type = addrinfo*;
  static type invalid() noexcept { return nullptr; }
  static void close(type list) noexcept { ::freeaddrinfo(list); }
};

#ifdef _WIN32
constexpr int kNoName = WSAHOST_NOT_FOUND;
std::string ResolverErrorText(int code) { return SystemErrorText(static_cast<unsigned long>(code)); }
std::string NoIpv4Text() { return ResolverErrorText(WSANO_DATA); }
#else
constexpr int kNoName = EAI_NONAME;
std::string ResolverErrorText(int code) { return ::gai_strerror(code); }
std::string NoIpv4Text() { return "no IPv4 address"; }
#endif

}  // namespace

std::optional<sockaddr_in> ParseIpv4(const std::string& text, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) return std::nullopt;
  return address;
}

sockaddr_in ResolveIpv4(const std::string& host, uint16_t port) {
  if (std::optional<sockaddr_in> address = ParseIpv4(host, port)) return *address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  unique_resource<addrinfo_traits> found;
  const int rc = host.empty() ? kNoName : ::getaddrinfo(host.c_str(), nullptr, &hints, found.put());
  if (rc != 0 || !found)
    throw PlatformError("Unable to resolve the server address \"" + host +
                        "\": " + (rc ? ResolverErrorText(rc) : NoIpv4Text()));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr = reinterpret_cast<const sockaddr_in*>(found.get()->ai_addr)->sin_addr;
  return address;
}

}  // namespace velko
