// The IPv4 socket address of a host and port, for the driver's connection to
// the server and for the emulator's listening socket: written once for both
// platforms. On Windows, Windows Sockets must have been started (WSAStartup)
// before ResolveIpv4 asks the system's resolver. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct sockaddr_in;

namespace velko {

// The address of a dotted quad ("127.0.0.1") and port; nothing for any other
// text, names included.
[[nodiscard]] std::optional<sockaddr_in> ParseIpv4(const std::string& text, uint16_t port);

// The address of a dotted quad or, failing that, the first IPv4 address the
// system's resolver gives for the name. Throws PlatformError ("Unable to
// resolve the server address ...", with the system's reason) when there is
// none; an empty host is never looked up.
[[nodiscard]] sockaddr_in ResolveIpv4(const std::string& host, uint16_t port);

}  // namespace velko
