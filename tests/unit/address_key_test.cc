// Destinations in one comparable form: IPv4, IPv4-mapped IPv6 and IPv6 alike.
#include "address_key.hh"

#include <arpa/inet.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// The key of an address of the given family and text, with length bytes of
// it given; "" when there is none.
std::string key_text(int family, const char *text, socklen_t length)
{
    sockaddr_storage storage{};
    storage.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET) {
        inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in *>(&storage)->sin_addr);
    } else if (family == AF_INET6) {
        inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_addr);
    }
    in6_addr key;
    if (!address_key(reinterpret_cast<sockaddr *>(&storage), length, key)) {
        return "";
    }
    char out[INET6_ADDRSTRLEN];
    return address_key_text(key, out, sizeof out);
}

TEST(AddressKey, OneFormForEveryFamily)
{
    struct {
        int family;
        const char *address;
        socklen_t length;
        const char *key;
    } const cases[] = {
        {AF_INET, "127.0.0.5", sizeof(sockaddr_in), "127.0.0.5"},
        {AF_INET6, "::ffff:127.0.0.5", sizeof(sockaddr_in6), "127.0.0.5"},
        {AF_INET6, "fd00::5", sizeof(sockaddr_in6), "fd00::5"},
        {AF_INET6, "::1", sizeof(sockaddr_in6), "::1"},
        {AF_INET, "10.1.2.3", sizeof(sockaddr_in6), "10.1.2.3"},  // longer than needed
        {AF_INET, "127.0.0.5", sizeof(sockaddr_in) - 1, ""},       // too short
        {AF_INET6, "fd00::5", sizeof(sockaddr_in6) - 1, ""},
        {AF_INET, "127.0.0.5", 1, ""},
        {AF_UNIX, "", sizeof(sockaddr_un), ""},
        {AF_UNSPEC, "", sizeof(sockaddr_in6), ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(key_text(c.family, c.address, c.length), c.key) << c.address << " of length " << c.length;
    }
}

TEST(AddressKey, IpvFourAndItsMappedFormAreTheSameKey)
{
    sockaddr_in four{};
    four.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.1", &four.sin_addr);
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:192.0.2.1", &mapped.sin6_addr);
    in6_addr a, b;
    ASSERT_TRUE(address_key(reinterpret_cast<sockaddr *>(&four), sizeof four, a));
    ASSERT_TRUE(address_key(reinterpret_cast<sockaddr *>(&mapped), sizeof mapped, b));
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_FALSE(address_key(nullptr, sizeof four, a));
}

}  // namespace
