// Address texts: Internet, local paths bounded to the buffer, fallbacks.
#include "address_text.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

sockaddr_in inet(const char *dotted, unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &address.sin_addr);
    return address;
}

const char *text_of(const sockaddr_in &address, int length)
{
    return get_address(reinterpret_cast<const sockaddr *>(&address), length);
}

// A local address with room past sun_path, so lengths above the structure's
// size can be tried without reading outside the test's own memory.
struct oversized_local_address {
    sockaddr_un address;
    char beyond[256];
};

oversized_local_address local(const std::string &path_bytes)
{
    oversized_local_address buffer;
    std::memset(&buffer, 'x', sizeof buffer);
    buffer.address.sun_family = AF_UNIX;
    std::memcpy(buffer.address.sun_path, path_bytes.data(), path_bytes.size());
    return buffer;
}

const char *text_of(const oversized_local_address &buffer, int length)
{
    return get_address(reinterpret_cast<const sockaddr *>(&buffer), length);
}

TEST(InternetAddressText, DottedAddressAndHostOrderPort)
{
    EXPECT_STREQ(text_of(inet("127.0.0.1", 7), 16), "127.0.0.1:7");
    EXPECT_STREQ(text_of(inet("255.255.255.255", 65535), 16), "255.255.255.255:65535");
    EXPECT_STREQ(text_of(inet("0.0.0.0", 0), 16), "0.0.0.0:0");
}

TEST(InternetAddressText, LengthIsNotUsed)
{
    for (int length : {0, 2, 16, 128, -5}) {
        EXPECT_STREQ(text_of(inet("10.0.0.1", 6000), length), "10.0.0.1:6000") << length;
    }
}

TEST(LocalAddressText, PathUpToFirstZeroOrLength)
{
    oversized_local_address five = local(std::string("hello\0", 6));
    EXPECT_STREQ(text_of(five, 2 + 5), "hello");
    EXPECT_STREQ(text_of(five, 2 + 3), "hel");
    EXPECT_STREQ(text_of(five, 2 + 100), "hello");
    EXPECT_STREQ(text_of(five, 2), "");
}

TEST(LocalAddressText, LengthsBelowTwoGiveAnEmptyText)
{
    oversized_local_address path = local("abc");
    EXPECT_STREQ(text_of(path, 1), "");
    EXPECT_STREQ(text_of(path, 0), "");
    EXPECT_STREQ(text_of(path, -40), "");
}

TEST(LocalAddressText, LongLengthsStopAtTheBufferEnd)
{
    // No zero byte anywhere in the path: the text is bounded by the buffer,
    // 149 bytes, however long the length claims the address is.
    oversized_local_address unterminated = local(std::string(100, 'p'));
    EXPECT_EQ(std::strlen(text_of(unterminated, 152)), 149u);
    EXPECT_EQ(std::strlen(text_of(unterminated, 100000)), 149u);
    EXPECT_EQ(std::strlen(text_of(unterminated, 151)), 149u);
    EXPECT_EQ(std::strlen(text_of(unterminated, 150)), 148u);
}

TEST(OtherAddressText, UnknownFamiliesAndNull)
{
    sockaddr_in unspec = inet("1.2.3.4", 5);
    unspec.sin_family = AF_UNSPEC;
    EXPECT_STREQ(text_of(unspec, 16), "AF_UNKNOWN");
    sockaddr_in six = inet("1.2.3.4", 5);
    six.sin_family = AF_INET6;
    EXPECT_STREQ(text_of(six, 16), "AF_UNKNOWN");
    EXPECT_STREQ(get_address(nullptr, 16), "(null)");
}

// Full coverage's texts: IPv6 bracketed with its port, everything else as get_address.
TEST(AddressTextWithIpv6, BracketedIpv6OtherwiseAsBefore)
{
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(7);
    struct {
        const char *address;
        int length;
        const char *text;
    } const cases[] = {
        {"fd00::7", sizeof six, "[fd00::7]:7"},
        {"::ffff:127.0.0.5", sizeof six, "[::ffff:127.0.0.5]:7"},
        {"::1", sizeof six - 1, "AF_UNKNOWN"},  // too short to hold the address
    };
    for (const auto &c : cases) {
        inet_pton(AF_INET6, c.address, &six.sin6_addr);
        EXPECT_STREQ(get_address_with_ipv6(reinterpret_cast<const sockaddr *>(&six), c.length), c.text) << c.address;
    }
    const sockaddr_in four = inet("10.0.0.1", 6000);
    EXPECT_STREQ(get_address_with_ipv6(reinterpret_cast<const sockaddr *>(&four), sizeof four), "10.0.0.1:6000");
    EXPECT_STREQ(get_address_with_ipv6(nullptr, 0), "(null)");
}

}  // namespace
