// Names of families, types, protocols, option levels and options where they
// are not plain table look-ups: fallbacks, values Linux names otherwise or
// lacks, formatted unknowns, and the per-thread texts.
#include "symbolic_names.hh"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <climits>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(SymbolicNames, FallbacksAndValuesThisPlatformLacks)
{
    struct row {
        const char *text;
        const char *expected;
    };
    for (const row &r : {
             row{int2name(kind_family, AF_INET6), "AF_UNKNOWN"},  // beyond the names the trace knows
             row{int2name(kind_family, 3), "AF_IMPLINK"},
             row{int2name(kind_type, 0), "SOCK_UNKNOWN"},
             row{int2name(kind_type, SOCK_STREAM | SOCK_CLOEXEC), "SOCK_UNKNOWN"},  // flags are not a type
             row{int2name(kind_protocol, 98), "IPPROTO_ENCAP"},  // Linux has no such protocol name
             row{int2name(kind_protocol, 81), "IPPROTO_UNKNOWN"},
             row{int2name(kind_protocol, -6), "IPPROTO_UNKNOWN"},
             row{int2name(0, AF_INET), "INVALID"},
             row{int2name(4, 0), "INVALID"},
             row{opt_level(INT_MIN), "OPT_LEVEL_UNKNOWN(-2147483648)"},
             row{opt_name(SOL_SOCKET, 64), "SO_USELOOPBACK"},
             row{opt_name(SOL_SOCKET, -129), "SO_DONTLINGER"},
             row{opt_name(IPPROTO_TCP, TCP_MAXSEG), "TCP_MAXSEG"},
             row{opt_name(SOL_SOCKET, 4097), "OPT_NAME_UNKNOWN(4097)"},  // a number only at a known level
             row{opt_name(0xffff, SO_DEBUG), "OPT_NAME_UNKNOWN"},
         }) {
        EXPECT_STREQ(r.text, r.expected);
    }
}

TEST(SymbolicNames, FormattedTextsLastUntilTheThreadsNextCallAndNeverTear)
{
    const char *level = opt_level(17);
    const char *name = opt_name(IPPROTO_TCP, 99);
    EXPECT_STREQ(level, "OPT_LEVEL_UNKNOWN(17)");
    EXPECT_STREQ(name, "OPT_NAME_UNKNOWN(99)");
    EXPECT_EQ(opt_level(41), level);  // the same buffer, overwritten

    auto format_many = [](int seed, bool *intact) {
        for (int i = 0; i < 20000; ++i) {
            int value = seed * 100000 + i;
            *intact = *intact && "OPT_LEVEL_UNKNOWN(" + std::to_string(value) + ")" == opt_level(value);
        }
    };
    bool intact_a = true, intact_b = true;
    std::thread a(format_many, 1, &intact_a), b(format_many, 2, &intact_b);
    a.join();
    b.join();
    EXPECT_TRUE(intact_a && intact_b);
}

}  // namespace
