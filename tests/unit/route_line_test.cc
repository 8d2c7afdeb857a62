// Route-line parsing: word counts, field widths, white space, protocol words.
#include "route_line.hh"

#include <gtest/gtest.h>

#include <string>

namespace {

struct parsed {
    route_line_status status;
    route_words words;
};

parsed parse(const std::string &line)
{
    parsed result{};
    result.status = parse_route_line(line.c_str(), result.words);
    return result;
}

void expect_words(const parsed &p, const char *from, const char *to, const char *hop,
                  const char *protocol)
{
    ASSERT_EQ(p.status, route_line_status::ok);
    EXPECT_STREQ(p.words.from, from);
    EXPECT_STREQ(p.words.to, to);
    EXPECT_STREQ(p.words.hop, hop);
    EXPECT_STREQ(p.words.protocol, protocol);
}

TEST(RouteLine, BlankLinesAreNotRoutes)
{
    for (const char *line : {"", "\n", "   \t \n", "\r\n", "\v\f"}) {
        EXPECT_EQ(parse(line).status, route_line_status::too_few_words) << '"' << line << '"';
    }
}

TEST(RouteLine, OneToThreeWordsAreNotRoutes)
{
    EXPECT_EQ(parse("alpha\n").status, route_line_status::too_few_words);
    EXPECT_EQ(parse("alpha 10.1.2.3\n").status, route_line_status::too_few_words);
    EXPECT_EQ(parse("  alpha 10.1.2.3   10.9.8.7  \n").status, route_line_status::too_few_words);
}

TEST(RouteLine, FourWordsInOrderWithoutTheNewline)
{
    expect_words(parse("alpha 10.1.2.3 10.9.8.7 UDP\n"), "alpha", "10.1.2.3", "10.9.8.7", "UDP");
    expect_words(parse("alpha 10.1.2.3 10.9.8.7 UDP"), "alpha", "10.1.2.3", "10.9.8.7", "UDP");
}

TEST(RouteLine, WordsAfterTheFourthAreIgnored)
{
    expect_words(parse("alpha beta gamma TCP extra words here\n"), "alpha", "beta", "gamma", "TCP");
    // An over-long fifth word is not part of the route.
    expect_words(parse("alpha beta gamma TCP " + std::string(100, 'x') + "\n"), "alpha", "beta",
                 "gamma", "TCP");
}

TEST(RouteLine, AnyWhiteSpaceSeparatesWords)
{
    expect_words(parse("\talpha\tbeta \t gamma\vTCP\r\n"), "alpha", "beta", "gamma", "TCP");
    expect_words(parse("alpha\fbeta\rgamma\nUDP"), "alpha", "beta", "gamma", "UDP");
}

TEST(RouteLine, HashSignIsAnOrdinaryCharacter)
{
    expect_words(parse("#alpha beta gamma TCP\n"), "#alpha", "beta", "gamma", "TCP");
}

TEST(RouteLine, ALineEndsAtItsFirstNul)
{
    const char line[] = "alpha beta\0 gamma TCP\n";
    route_words words{};
    EXPECT_EQ(parse_route_line(line, words), route_line_status::too_few_words);
}

TEST(RouteLine, HostWordsOfThirtyOneCharactersAreKept)
{
    const std::string longest(31, 'h');
    expect_words(parse(longest + " " + longest + " " + longest + " TCP\n"), longest.c_str(),
                 longest.c_str(), longest.c_str(), "TCP");
}

TEST(RouteLine, AHostWordOfThirtyTwoCharactersSpoilsTheLine)
{
    const std::string too_long(32, 'h');
    EXPECT_EQ(parse(too_long + " b c TCP\n").status, route_line_status::word_too_long);
    EXPECT_EQ(parse("a " + too_long + " c TCP\n").status, route_line_status::word_too_long);
    EXPECT_EQ(parse("a b " + too_long + " TCP\n").status, route_line_status::word_too_long);
}

TEST(RouteLine, ProtocolWordOfSevenCharactersIsKeptEightSpoilsTheLine)
{
    expect_words(parse("a b c SEVENCH\n"), "a", "b", "c", "SEVENCH");
    EXPECT_EQ(parse("a b c EIGHTCHR\n").status, route_line_status::word_too_long);
}

TEST(RouteLine, FewerThanFourWordsWinsOverALongWord)
{
    EXPECT_EQ(parse(std::string(40, 'h') + " b c\n").status, route_line_status::too_few_words);
}

TEST(RouteProtocol, OnlyUpperCaseTcpAndUdpAreKnown)
{
    EXPECT_EQ(route_protocol_of("TCP"), protocol_tcp);
    EXPECT_EQ(route_protocol_of("UDP"), protocol_udp);
    for (const char *word : {"tcp", "udp", "Tcp", "TCPX", "TC", "", "ICMP", "0"}) {
        EXPECT_EQ(route_protocol_of(word), protocol_none) << word;
    }
}

TEST(RouteProtocol, LowerCaseProtocolStillParsesAsARoute)
{
    parsed p = parse("alpha 10.1.2.3 10.9.8.7 tcp\n");
    expect_words(p, "alpha", "10.1.2.3", "10.9.8.7", "tcp");
    EXPECT_EQ(route_protocol_of(p.words.protocol), protocol_none);
}

}  // namespace
