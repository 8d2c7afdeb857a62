// UDP routes beyond the send-path table: datagram round trips in chunks of at
// most 1024 bytes, debug lines, a non-blocking own socket, delaying and silent
// hops, two routes and the standard echo service.
#include <gtest/gtest.h>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using testsupport::EchoHop;
using testsupport::HopRecord;
const lines::Trip quiet{lines::udp}, loud{lines::udp, true};
const std::string found = lines::lookup({destination}, destination, true);

class UdpRoute : public RoutedTest {
protected:
    void SetUp() override
    {
        RoutedTest::SetUp();
        write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    }

    // The lines up to the route socket's quiet connect.
    static std::string connected() { return load({destination}, 2, false) + lines::udp_socket(4) + lines::connect_returned(0); }

    UdpSink sink_{destination, destination_port};
};

std::vector<HopRecord> udp_records(const std::vector<std::string> &datagrams)
{
    std::vector<HopRecord> records;
    for (const auto &datagram : datagrams) {
        records.push_back({"udp", datagram.size(), datagram});
    }
    return records;
}

TEST_F(UdpRoute, DatagramsAreChunkedAtMost1024Bytes)
{
    EchoHop hop({hop_address});
    const std::string p2048 = letter_pattern(2048), p1025 = letter_pattern(1025);
    auto outcome = run({"udp", "connect", at_port(destination), "debug=1", "send", "#2048", "send", "#1025",
                        "debug=0", "send", "#0"});
    EXPECT_EQ(outcome.trace, connected() + lines::routed_send(loud, 4, p2048) + lines::routed_send(loud, 4, p1025) +
                                 lines::routed_send(quiet, 4, ""));
    expect_records(outcome, {2048, 1025, 0});
    EXPECT_EQ(hop.records(), udp_records({p2048.substr(0, 1024), p2048.substr(1024), p1025.substr(0, 1024),
                                          p1025.substr(1024)}));
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{p2048, p1025, ""}));
}

// Without a connect the round trip goes to the hop over the application's
// own socket; a non-blocking one still waits for the hop's late echo.
TEST_F(UdpRoute, NonBlockingOwnSocketStillWaitsForTheEcho)
{
    EchoHop hop({hop_address, 7, 50});
    auto outcome = run({"debug=1", "udp", "nonblock", "sendto", at_port(destination), "hello"});
    EXPECT_EQ(outcome.trace,
              load({destination}, 2, true) + lines::udp_socket(4) + lines::routed_sendto(loud, found, "hello", false));
    expect_records(outcome, {5});
    ASSERT_EQ(outcome.times.size(), 1u);
    EXPECT_GE(outcome.times[0], 50);
    EXPECT_EQ(sink_.datagrams(), std::vector<std::string>{"hello"});
}

// write on a connected routed socket: UDPecho1, in chunks of at most 1024
// bytes, which prints the sender and the echo on standard output whatever
// debug says.
TEST_F(UdpRoute, WriteBouncesThroughTheConnectedHopSocketInChunks)
{
    EchoHop hop({hop_address});
    const std::string p1500 = letter_pattern(1500);
    auto outcome = run({"udp", "connect", at_port(destination), "debug=1", "write", "#1500"});
    EXPECT_EQ(outcome.trace, connected() + lines::routed_write(loud, 5, p1500));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\n"
                                   "received from 10.77.0.2:7\nbuf=" + p1500 + "\napp: write 1500\n");
    expect_records(outcome, {1500});
    EXPECT_EQ(hop.records(), udp_records({p1500.substr(0, 1024), p1500.substr(1024)}));
    EXPECT_EQ(sink_.datagrams(), std::vector<std::string>{p1500});
}

// sendmsg on a UDP route bounces the gathered bytes off the hop, timed like
// sendto, and the application's datagram reaches its destination once. The
// first round trip, without a hop socket, opens the route's own datagram
// socket (5), so the next socket of the application is 6.
TEST_F(UdpRoute, SendmsgBouncesTheGatheredBytesOffTheHop)
{
    EchoHop hop({hop_address});
    auto outcome = run({"debug=1", "udp", "sendmsg", at_port(destination), "hello world", "udp", "connect",
                        at_port(destination), "debug=0", "sendmsg", at_port(destination), "bound"});
    EXPECT_EQ(outcome.trace, load({destination}, 2, true) + lines::udp_socket(4) +
                                 lines::routed_sendmsg(loud, 4, found, "hello world") + lines::udp_socket(6) +
                                 lines::routed_connect(loud, found, 6, at_port(destination), 7, 0) +
                                 lines::routed_sendmsg(quiet, 6, found, "bound"));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: sendmsg 11\napp: socket 6\napp: connect 0\napp: sendmsg 5\n");
    expect_records(outcome, {11, 5});
    EXPECT_EQ(hop.record_text(), "udp 11 hello world\nudp 5 bound\n");
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{"hello world", "bound"}));
}

TEST_F(UdpRoute, DelayingHopDelaysTheSendAndTheRecordSaysSo)
{
    EchoHop hop({hop_address, 7, 50});
    auto outcome = run({"udp", "connect", at_port(destination), "send", "hello", "write", "again"});
    expect_records(outcome, {5, 5});
    ASSERT_EQ(outcome.times.size(), 2u);
    EXPECT_GE(outcome.times[0], 50);
    EXPECT_GE(outcome.times[1], 50);
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{"hello", "again"}));
}

// A hop that never answers costs the application the receive bound (two
// seconds) per round trip, not its life; each round trip is still timed and
// logged, and the failed receive counts as such. The sendto without a hop
// socket opens the route's own datagram socket (5); connect's hop socket is 6.
TEST_F(UdpRoute, SilentHopDelaysEachRoundTripByTheBoundOnly)
{
    EchoHop hop({hop_address, 7, 0, true});
    auto outcome = run({"udp", "sendto", at_port(destination), "hello", "debug=1", "connect", at_port(destination),
                        "write", "abc"});
    EXPECT_EQ(outcome.trace, load({destination}, 2, false) + lines::udp_socket(4) +
                                 lines::routed_sendto(quiet, found, "hello", false) +
                                 lines::routed_connect(loud, found, 4, at_port(destination), 6, 0) +
                                 lines::write(true, 1) + "write()\t:\ts1=6\n" + lines::udp_echo1(3, true, {-1}));
    // What the sender-address text shows when nothing came back is the
    // library's own choice; the rest of standard output is fixed.
    const std::string &out = outcome.program.out;
    EXPECT_TRUE(out.starts_with("app: socket 4\napp: sendto 5\napp: connect 0\nreceived from ")) << out;
    EXPECT_TRUE(out.ends_with("\nbuf=\napp: write 3\n")) << out;
    expect_records(outcome, {5, 3});
    ASSERT_EQ(outcome.times.size(), 2u);
    EXPECT_GE(outcome.times[0], 2000);
    EXPECT_GE(outcome.times[1], 2000);
    EXPECT_EQ(hop.record_text(), "udp 5 hello\nudp 3 abc\n");
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{"hello", "abc"}));
}

// Two routes, each bound by its own connect to its own hop: each socket's
// sends, and sendto to each destination, go through that route's hop.
TEST_F(UdpRoute, TwoRoutesUseTheirOwnHops)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n" + "alpha " + second_destination + " " +
                 second_hop_address + " UDP\n");
    EchoHop first_hop({hop_address});
    EchoHop second_hop({second_hop_address});
    UdpSink second_sink(second_destination, destination_port);
    auto outcome = run({"debug=1", "udp", "connect", at_port(destination), "udp", "connect",
                        at_port(second_destination), "send", "two", "use=0", "send", "one", "udp", "sendto",
                        at_port(second_destination), "three"});
    const lines::Trip second{lines::udp, true, second_hop_address + ":7"};
    const std::string found_second = lines::lookup({destination, second_destination}, second_destination, true);
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened + lines::loader::debug_head("alpha") +
                  lines::loader::stored_debug(host_address, destination, hop_address, 2) +
                  lines::loader::stored_debug(host_address, second_destination, second_hop_address, 2) +
                  lines::loader::debug_tail + lines::udp_socket(4) +
                  lines::routed_connect(loud, found, 4, at_port(destination), 5, 0) + lines::udp_socket(6) +
                  lines::routed_connect(second, found_second, 6, at_port(second_destination), 7, 0) +
                  lines::routed_send(second, 6, "two") + lines::routed_send(loud, 4, "one") + lines::udp_socket(8) +
                  lines::routed_sendto(second, found_second, "three", true));
    expect_records(outcome, {3, 3, 5});
    EXPECT_EQ(first_hop.record_text(), "udp 3 one\n");
    EXPECT_EQ(second_hop.record_text(), "udp 3 two\nudp 5 three\n");
    EXPECT_EQ(sink_.datagrams(), std::vector<std::string>{"one"});
    EXPECT_EQ(second_sink.datagrams(), (std::vector<std::string>{"two", "three"}));
}

// The system's echo service as hop, over the application's own socket, over
// the hop socket and through write.
TEST_F(UdpRoute, StandardEchoServiceServesAsHop)
{
    testsupport::InetdEcho hop(hop_address);
    auto own = run({"debug=1", "udp", "sendto", at_port(destination), "hello"});
    EXPECT_EQ(own.trace,
              load({destination}, 2, true) + lines::udp_socket(4) + lines::routed_sendto(loud, found, "hello", false));
    expect_records(own, {5});

    auto bound = run({"udp", "connect", at_port(destination), "debug=1", "send", "hello", "debug=0", "write",
                      "world"});
    EXPECT_EQ(bound.trace,
              connected() + lines::routed_send(loud, 4, "hello") + lines::routed_write(quiet, 5, "world"));
    EXPECT_EQ(bound.program.out, "app: socket 4\napp: connect 0\napp: send 5\n"
                                 "received from 10.77.0.2:7\nbuf=world\napp: write 5\n");
    expect_records(bound, {5, 5});
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{"hello", "hello", "world"}));
}

}  // namespace
}  // namespace routed
