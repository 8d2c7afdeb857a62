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

}  // namespace
