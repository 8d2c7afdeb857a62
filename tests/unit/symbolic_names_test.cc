// Names of families, types, protocols, option levels and options, with their
// fallbacks and the per-thread formatted texts.
#include "symbolic_names.hh"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(Int2Name, NamesFamiliesByThisPlatformsValues)
{
    EXPECT_STREQ(int2name(1, AF_UNSPEC), "AF_UNSPEC");
    EXPECT_STREQ(int2name(1, AF_UNIX), "AF_UNIX");
    EXPECT_STREQ(int2name(1, AF_INET), "AF_INET");
    EXPECT_STREQ(int2name(1, 3), "AF_IMPLINK");
    EXPECT_STREQ(int2name(1, AF_INET6), "AF_UNKNOWN");
    EXPECT_STREQ(int2name(1, -1), "AF_UNKNOWN");
}

TEST(Int2Name, NamesTypesWithZeroUnknown)
{
    EXPECT_STREQ(int2name(2, SOCK_STREAM), "SOCK_STREAM");
    EXPECT_STREQ(int2name(2, SOCK_DGRAM), "SOCK_DGRAM");
    EXPECT_STREQ(int2name(2, SOCK_RAW), "SOCK_RAW");
    EXPECT_STREQ(int2name(2, SOCK_RDM), "SOCK_RDM");
    EXPECT_STREQ(int2name(2, SOCK_SEQPACKET), "SOCK_SEQPACKET");
    EXPECT_STREQ(int2name(2, 0), "SOCK_UNKNOWN");
    EXPECT_STREQ(int2name(2, SOCK_STREAM | SOCK_CLOEXEC), "SOCK_UNKNOWN");
}

TEST(Int2Name, NamesProtocolsIncludingThoseLinuxLacks)
{
    EXPECT_STREQ(int2name(3, 0), "IPPROTO_IP");
    EXPECT_STREQ(int2name(3, 1), "IPPROTO_ICMP");
    EXPECT_STREQ(int2name(3, 2), "IPPROTO_IGMP");
    EXPECT_STREQ(int2name(3, 3), "IPPROTO_GGP");
    EXPECT_STREQ(int2name(3, 98), "IPPROTO_ENCAP");
    EXPECT_STREQ(int2name(3, 4), "IPPROTO_UNKNOWN");
    EXPECT_STREQ(int2name(3, 6), "IPPROTO_TCP");
    EXPECT_STREQ(int2name(3, 8), "IPPROTO_EGP");
    EXPECT_STREQ(int2name(3, 12), "IPPROTO_PUP");
    EXPECT_STREQ(int2name(3, 17), "IPPROTO_UDP");
    EXPECT_STREQ(int2name(3, 22), "IPPROTO_IDP");
    EXPECT_STREQ(int2name(3, 63), "IPPROTO_HELLO");
    EXPECT_STREQ(int2name(3, 77), "IPPROTO_ND");
    EXPECT_STREQ(int2name(3, 80), "IPPROTO_EON");
    EXPECT_STREQ(int2name(3, 81), "IPPROTO_UNKNOWN");
    EXPECT_STREQ(int2name(3, -6), "IPPROTO_UNKNOWN");
}

TEST(Int2Name, AnyOtherKindIsInvalid)
{
    EXPECT_STREQ(int2name(0, AF_INET), "INVALID");
    EXPECT_STREQ(int2name(4, 0), "INVALID");
    EXPECT_STREQ(int2name(-1, 1), "INVALID");
}

TEST(OptLevel, NamesKnownLevelsAndFormatsOthers)
{
    EXPECT_STREQ(opt_level(IPPROTO_IP), "IPPROTO_IP");
    EXPECT_STREQ(opt_level(IPPROTO_TCP), "IPPROTO_TCP");
    EXPECT_STREQ(opt_level(SOL_SOCKET), "SOL_SOCKET");
    EXPECT_STREQ(opt_level(0xffff), "OPT_LEVEL_UNKNOWN(65535)");
    EXPECT_STREQ(opt_level(INT_MIN), "OPT_LEVEL_UNKNOWN(-2147483648)");
}

TEST(OptLevel, NextCallOverwritesTheSameBuffer)
{
    const char *first = opt_level(17);
    EXPECT_STREQ(first, "OPT_LEVEL_UNKNOWN(17)");
    const char *second = opt_level(41);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "OPT_LEVEL_UNKNOWN(41)");
}

TEST(OptName, NamesOptionsWithinTheirLevel)
{
    EXPECT_STREQ(opt_name(IPPROTO_IP, IP_OPTIONS), "IP_OPTIONS");
    EXPECT_STREQ(opt_name(IPPROTO_TCP, TCP_NODELAY), "TCP_NODELAY");
    EXPECT_STREQ(opt_name(IPPROTO_TCP, TCP_MAXSEG), "TCP_MAXSEG");
    EXPECT_STREQ(opt_name(SOL_SOCKET, SO_REUSEADDR), "SO_REUSEADDR");
    EXPECT_STREQ(opt_name(SOL_SOCKET, SO_ACCEPTCONN), "SO_ACCEPTCONN");
    EXPECT_STREQ(opt_name(SOL_SOCKET, SO_RCVTIMEO), "SO_RCVTIMEO");
    EXPECT_STREQ(opt_name(SOL_SOCKET, 64), "SO_USELOOPBACK");
    EXPECT_STREQ(opt_name(SOL_SOCKET, -129), "SO_DONTLINGER");
    EXPECT_STREQ(opt_name(SOL_SOCKET, 4105), "SO_PROTOTYPE");
}

TEST(OptName, UnknownOptionShowsItsNumberOnlyAtAKnownLevel)
{
    EXPECT_STREQ(opt_name(IPPROTO_TCP, 3), "OPT_NAME_UNKNOWN(3)");
    EXPECT_STREQ(opt_name(IPPROTO_IP, 2), "OPT_NAME_UNKNOWN(2)");
    EXPECT_STREQ(opt_name(SOL_SOCKET, 4097), "OPT_NAME_UNKNOWN(4097)");
    EXPECT_STREQ(opt_name(17, 1), "OPT_NAME_UNKNOWN");
    EXPECT_STREQ(opt_name(0xffff, SO_DEBUG), "OPT_NAME_UNKNOWN");
}

TEST(OptName, LevelAndNameTextsStandTogether)
{
    const char *level = opt_level(17);
    const char *name = opt_name(IPPROTO_TCP, 99);
    EXPECT_STREQ(level, "OPT_LEVEL_UNKNOWN(17)");
    EXPECT_STREQ(name, "OPT_NAME_UNKNOWN(99)");
}

TEST(OptName, ThreadsFormattingAtOnceNeverTearEachOthersText)
{
    auto format_many = [](int seed, bool *intact) {
        for (int i = 0; i < 20000; ++i) {
            int value = seed * 100000 + i;
            std::string expected = "OPT_LEVEL_UNKNOWN(" + std::to_string(value) + ")";
            if (expected != opt_level(value)) {
                *intact = false;
            }
        }
    };
    bool intact_a = true, intact_b = true;
    std::thread a(format_many, 1, &intact_a), b(format_many, 2, &intact_b);
    a.join();
    b.join();
    EXPECT_TRUE(intact_a);
    EXPECT_TRUE(intact_b);
}

}  // namespace
