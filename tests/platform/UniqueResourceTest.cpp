#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Ipv4Address.h"
#include "platform/PlatformError.h"
#include "platform/UniqueResource.h"

namespace velko {
namespace {

// Records every value it closes, in order.
struct RecordingTraits {
  using type = int;
  static constexpr int invalid() noexcept { return 0; }
  static void close(int value) noexcept { closed.push_back(value); }
  static inline std::vector<int> closed;
};
using Owner = unique_resource<RecordingTraits>;

TEST(UniqueResource, ClosesEveryHeldValueExactlyOnce) {
  struct Case {
    const char* what;
    std::function<void()> act;
    std::vector<int> closed;
  };
  const Case cases[] = {
      {"destruction", [] { Owner one(1); }, {1}},
      {"nothing held", [] { Owner none, invalid(0); invalid.reset(); }, {}},
      {"reset to another value", [] { Owner one(1); one.reset(2); EXPECT_EQ(one.get(), 2); }, {1, 2}},
      {"reset to nothing", [] { Owner one(1); one.reset(); EXPECT_FALSE(one); }, {1}},
      {"move construction",
       [] {
         Owner one(1);
         Owner other(std::move(one));
         EXPECT_FALSE(one.valid());
         EXPECT_EQ(other.get(), 1);
       },
       {1}},
      {"move assignment over a live value",
       [] {
         Owner one(1), two(2);
         one = std::move(two);
         EXPECT_EQ(RecordingTraits::closed, std::vector<int>{1});
         EXPECT_FALSE(two);
       },
       {1, 2}},
      {"release hands over", [] { Owner one(1); EXPECT_EQ(one.release(), 1); EXPECT_FALSE(one); }, {}},
      {"put frees first",
       [] {
         Owner one(1);
         *one.put() = 2;
         EXPECT_EQ(RecordingTraits::closed, std::vector<int>{1});
       },
       {1, 2}},
  };
  for (const Case& c : cases) {
    RecordingTraits::closed.clear();
    c.act();
    EXPECT_EQ(RecordingTraits::closed, c.closed) << c.what;
  }
}

#ifdef _WIN32
// The resolver asks Windows Sockets, which must be started.
struct Winsock {
  Winsock() {
    WSADATA data;
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (started) ::WSACleanup();
  }
  bool started = false;
};
#endif

std::array<unsigned char, 4> Octets(const sockaddr_in& address) {
  std::array<unsigned char, 4> octets{};
  std::memcpy(octets.data(), &address.sin_addr, octets.size());
  return octets;
}

TEST(Ipv4Address, TakesDottedQuadsAsTheyAreAndLooksUpNames) {
#ifdef _WIN32
  Winsock winsock;
  ASSERT_TRUE(winsock.started);
#endif
  const std::optional<sockaddr_in> quad = ParseIpv4("10.20.30.40", 16500);
  ASSERT_TRUE(quad);
  EXPECT_EQ(quad->sin_family, AF_INET);
  EXPECT_EQ(quad->sin_port, htons(16500));
  EXPECT_EQ(Octets(*quad), (std::array<unsigned char, 4>{10, 20, 30, 40}));
  for (const char* text : {"localhost", "", "1.2.3.256", " 1.2.3.4", "1.2.3"})
    EXPECT_FALSE(ParseIpv4(text, 1)) << text;

  EXPECT_EQ(Octets(ResolveIpv4("127.0.0.1", 1)), (std::array<unsigned char, 4>{127, 0, 0, 1}));
  const sockaddr_in local = ResolveIpv4("localhost", 16500);
  EXPECT_EQ(Octets(local)[0], 127);
  EXPECT_EQ(local.sin_port, htons(16500));

  for (const std::string host : {"", "host.invalid"}) {
    try {
      (void)ResolveIpv4(host, 16500);
      ADD_FAILURE() << "resolved: " << host;
    } catch (const PlatformError& e) {
      const std::string prefix = "Unable to resolve the server address \"" + host + "\": ";
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
      EXPECT_GT(std::string(e.what()).size(), prefix.size()) << "the system's reason is missing";
    }
  }
}

}  // namespace
}  // namespace velko
