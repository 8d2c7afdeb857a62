// Which datagram counts as a chunk's echo, and how data is cut into chunks.
#include "hop_exchange_rules.hh"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(HopExchangeRules, ChunkEchoIsTheSameLengthOrACutShortStart)
{
    const std::string sent = "abcdef";
    struct row {
        std::string received;
        std::size_t size;  // the datagram's whole size
        bool echo;
    };
    for (const row &r : {row{"abcdef", 6, true}, row{"zzzzzz", 6, true}, row{"abc", 3, true},
                         row{"abx", 3, false}, row{"abcdef", 9, false}, row{"", 0, true}}) {
        EXPECT_EQ(echo_of_chunk(r.received.data(), r.size, sent.data(), sent.size()), r.echo)
            << r.received << " " << r.size;
    }
}

TEST(HopExchangeRules, ChunksAreWholeButTheLast)
{
    EXPECT_EQ(echo_chunk_length(2500, 0), 1024u);
    EXPECT_EQ(echo_chunk_length(2500, 2048), 452u);
    EXPECT_EQ(echo_chunk_length(1024, 0), 1024u);
}

}  // namespace
