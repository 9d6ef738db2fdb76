// One form per address: what the proxy compares and connects to.
#include "server/socket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

socket_address from_text(const char* text, uint16_t port)
{
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    if (inet_pton(AF_INET6, text, &six.sin6_addr) == 1)
        return socket_address(reinterpret_cast<const sockaddr*>(&six), sizeof six);
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = htons(port);
    inet_pton(AF_INET, text, &four.sin_addr);
    return socket_address(reinterpret_cast<const sockaddr*>(&four), sizeof four);
}

}  // namespace

// An IPv4-mapped address becomes the IPv4 address, port kept; others stay.
// Unspecified: 0.0.0.0/8 and ::, mapped or not; nothing next to them.
TEST(socket_address, canonical_form_and_unspecified_addresses)
{
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"::ffff:127.0.0.1", "127.0.0.1", false}, {"127.0.0.1", "127.0.0.1", false}, {"::1", "::1", false},
        {"::ffff:0:7f00:1", "::ffff:0:7f00:1", false}, {"0.0.0.0", "0.0.0.0", true}, {"0.255.1.2", "0.255.1.2", true},
        {"::ffff:0.1.2.3", "0.1.2.3", true}, {"::", "::", true}, {"1.0.0.0", "1.0.0.0", false},
        {"255.255.255.255", "255.255.255.255", false}, {"10.0.100.9", "10.0.100.9", false},
    };
    for (auto& [text, want, unspecified] : cases) {
        socket_address one = from_text(text, 8080).canonical();
        EXPECT_EQ(one.text(), want) << text;
        EXPECT_EQ(one.port(), 8080) << text;
        EXPECT_EQ(from_text(text, 8080).unspecified(), unspecified) << text;
    }
}
