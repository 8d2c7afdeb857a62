// UDP routes: datagram round trips in chunks of at most 1024 bytes, over the
// hop socket, over the application's own socket, and through a connected
// socket's write.
#include <gtest/gtest.h>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using testsupport::EchoHop;
using testsupport::HopRecord;

class UdpRoute : public RoutedTest {
protected:
    void SetUp() override
    {
        RoutedTest::SetUp();
        write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    }

    static std::string quiet_load()
    {
        return loader::timelog_opened + loader::stored(host_address, destination, hop_address);
    }

    static std::string debug_load()
    {
        return loader::timelog_opened + loader::debug_head("alpha") +
               loader::stored_debug(host_address, destination, hop_address, 2) +
               loader::debug_tail;
    }

    // The debug lines of a connect that binds the route: lookup, hop socket.
    static std::string binding_connect(int s, int s1)
    {
        return lookup_lines({destination}, destination, true) +
               " connect() \t:\tUDP \n"
               "connect()\t:\ts1=" + std::to_string(s1) + " name=10.77.0.2:7 namelen=16\n "
               "connect()\t:\ts=" + std::to_string(s) + " name=127.0.0.5:9000 namelen=16 \n"
               "connect()\t:\treturn value = 0\n";
    }

    UdpSink sink_{destination, destination_port};
};

// The debug lines of one UDPecho of text, answered whole by the hop.
std::string udp_echo(const std::string &text)
{
    return "UDPecho()\t:\tUDPEcho called\n"
           "UDPecho()\t:\tlen1=" + std::to_string(text.size()) + " c1=" +
           std::to_string(text.size()) + ", c=" + std::to_string(text.size()) + "\n"
           "UDPecho()\t:\tReceived from 10.77.0.2:7\n"
           "UDPecho()\t:\t" + text + "\n"
           "UDPecho()\t:\tTIME=#. ms\n";
}

// The lines of a sendto bounced over the application's own socket.
std::string sendto_over_own_socket(const std::string &text)
{
    return lookup_lines({destination}, destination, true) +
           "sendto() \t:\trtbl_ptr=<entry 1>\n"
           "sendto()\t:\tUDP \n"
           "sendto()\t:\ts1=0\n" +
           udp_echo(text) +
           "sendto()\t:\tReturning from sendto\n"
           "sendto()\t:\treturn value = " + std::to_string(text.size()) + "\n";
}

std::vector<HopRecord> udp_records(const std::vector<std::string> &datagrams)
{
    std::vector<HopRecord> records;
    for (const auto &datagram : datagrams) {
        records.push_back({"udp", datagram.size(), datagram});
    }
    return records;
}

TEST_F(UdpRoute, ConnectedSendBouncesOverTheHopSocket)
{
    EchoHop hop({hop_address});
    auto quiet = run({"udp", "connect", at_port(destination), "send", "hello", "close"});
    EXPECT_EQ(quiet.trace, quiet_load() + socket_lines("SOCK_DGRAM", 4) +
                               "connect()\t:\treturn value = 0\n"
                               "send()\t\t:\ts=4 msg=0x10000000 len=5 flags=0\n"
                               "UDPecho()\t:\tTIME=#. ms\n"
                               "send()\t\t:\treturn value = 5\n"
                               "close()\t\t:\t0\n");
    EXPECT_EQ(quiet.program.out, "app: socket 4\napp: connect 0\napp: send 5\napp: close 0\n");
    expect_records(quiet, {5});

    auto loud = run({"debug=1", "udp", "connect", at_port(destination), "send", "hello"});
    EXPECT_EQ(loud.trace, debug_load() + socket_lines("SOCK_DGRAM", 4) + binding_connect(4, 5) +
                              "send()\t\t:\ts=4 msg=0x10000000 len=5 flags=0\n"
                              "get_sock_ent()\t:\tEntry found in table\n"
                              "send()\t\t:\tUDP \n" +
                              udp_echo("hello") + "send()\t\t:\treturn value = 5\n");
    EXPECT_EQ(loud.program.out, "app: socket 4\napp: connect 0\napp: send 5\n");
    expect_records(loud, {5});

    EXPECT_EQ(hop.record_text(), "udp 5 hello\nudp 5 hello\n");
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{"hello", "hello"}));
}

TEST_F(UdpRoute, DatagramsAreChunkedAtMost1024Bytes)
{
    EchoHop hop({hop_address});
    const std::string p2048 = letter_pattern(2048), p1025 = letter_pattern(1025);
    auto outcome = run({"udp", "connect", at_port(destination), "debug=1", "send", "#2048",
                        "send", "#1025", "debug=0", "send", "#0"});
    EXPECT_EQ(outcome.trace, quiet_load() + socket_lines("SOCK_DGRAM", 4) +
                                 "connect()\t:\treturn value = 0\n"
                                 "send()\t\t:\ts=4 msg=0x10000000 len=2048 flags=0\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "send()\t\t:\tUDP \n"
                                 "UDPecho()\t:\tUDPEcho called\n"
                                 "UDPecho()\t:\tlen1=1024 c1=1024, c=1024\n"
                                 "UDPecho()\t:\tlen1=1024 c1=1024, c=2048\n"
                                 "UDPecho()\t:\tReceived from 10.77.0.2:7\n"
                                 "UDPecho()\t:\t" + p2048 + "\n"
                                 "UDPecho()\t:\tTIME=#. ms\n"
                                 "send()\t\t:\treturn value = 2048\n"
                                 "send()\t\t:\ts=4 msg=0x10000000 len=1025 flags=0\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "send()\t\t:\tUDP \n"
                                 "UDPecho()\t:\tUDPEcho called\n"
                                 "UDPecho()\t:\tlen1=1024 c1=1024, c=1024\n"
                                 "UDPecho()\t:\tlen1=1 c1=1, c=1025\n"
                                 "UDPecho()\t:\tReceived from 10.77.0.2:7\n"
                                 "UDPecho()\t:\t" + p1025 + "\n"
                                 "UDPecho()\t:\tTIME=#. ms\n"
                                 "send()\t\t:\treturn value = 1025\n"
                                 "send()\t\t:\ts=4 msg=0x10000000 len=0 flags=0\n"
                                 "UDPecho()\t:\tTIME=#. ms\n"
                                 "send()\t\t:\treturn value = 0\n");
    expect_records(outcome, {2048, 1025, 0});
    EXPECT_EQ(hop.records(), udp_records({p2048.substr(0, 1024), p2048.substr(1024),
                                          p1025.substr(0, 1024), p1025.substr(1024)}));
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{p2048, p1025, ""}));
}

// Without a connect there is no hop socket: the round trip goes to the hop
// over the application's own socket, then the real datagram goes out once.
TEST_F(UdpRoute, SendtoWithoutConnectBouncesOverTheOwnSocket)
{
    EchoHop hop({hop_address});
    auto outcome = run({"debug=1", "udp", "sendto", at_port(destination), "hello"});
    EXPECT_EQ(outcome.trace,
              debug_load() + socket_lines("SOCK_DGRAM", 4) + sendto_over_own_socket("hello"));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: sendto 5\n");
    expect_records(outcome, {5});
    EXPECT_EQ(hop.record_text(), "udp 5 hello\n");
    EXPECT_EQ(sink_.datagrams(), std::vector<std::string>{"hello"});
}

// A non-blocking application socket still waits for the hop's late echo.
TEST_F(UdpRoute, NonBlockingOwnSocketStillWaitsForTheEcho)
{
    EchoHop hop({hop_address, 7, 50});
    auto outcome = run({"debug=1", "udp", "nonblock", "sendto", at_port(destination), "hello"});
    EXPECT_EQ(outcome.trace,
              debug_load() + socket_lines("SOCK_DGRAM", 4) + sendto_over_own_socket("hello"));
    expect_records(outcome, {5});
    ASSERT_EQ(outcome.times.size(), 1u);
    EXPECT_GE(outcome.times[0], 50);
    EXPECT_EQ(sink_.datagrams(), std::vector<std::string>{"hello"});
}

// write on a connected routed socket: UDPecho1, which prints the sender and
// the echo on standard output whatever debug says.
TEST_F(UdpRoute, WriteBouncesThroughTheConnectedHopSocket)
{
    EchoHop hop({hop_address});
    const std::string p1500 = letter_pattern(1500);
    auto outcome = run({"udp", "connect", at_port(destination), "write", "hello", "debug=1",
                        "write", "#1500"});
    EXPECT_EQ(outcome.trace, quiet_load() + socket_lines("SOCK_DGRAM", 4) +
                                 "connect()\t:\treturn value = 0\n"
                                 "UDPecho1()\t:\tTIME=#. ms\n"
                                 "write()\t:\twrite called\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "write()\t:\trtbl_ptr=<entry 1>\n"
                                 "write()\t:\ts1=5\n"
                                 "UDPecho1()\t:\tUDPecho1 called \n"
                                 "UDPecho1()\t:\tlen1=1024 c1=1024, c=1024\n"
                                 "UDPecho1()\t:\tlen1=476 c1=476, c=1500\n"
                                 "UDPecho1()\t:\tTIME=#. ms\n");
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\n"
                                   "received from 10.77.0.2:7\nbuf=hello\napp: write 5\n"
                                   "received from 10.77.0.2:7\nbuf=" + p1500 + "\napp: write 1500\n");
    expect_records(outcome, {5, 1500});
    EXPECT_EQ(hop.records(), udp_records({"hello", p1500.substr(0, 1024), p1500.substr(1024)}));
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{"hello", p1500}));
}

// sendmsg on a UDP route bounces the gathered bytes off the hop, timed like
// sendto, and the application's datagram reaches its destination once.
TEST_F(UdpRoute, SendmsgBouncesTheGatheredBytesOffTheHop)
{
    EchoHop hop({hop_address});
    auto outcome = run({"debug=1", "udp", "sendmsg", at_port(destination), "hello world", "udp",
                        "connect", at_port(destination), "debug=0", "sendmsg",
                        at_port(destination), "bound"});
    EXPECT_EQ(outcome.trace, debug_load() + socket_lines("SOCK_DGRAM", 4) +
                                 "sendmsg()\t:\ts=4 msg=0x14000000 flags=0\n " +
                                 lookup_lines({destination}, destination, true) +
                                 "sendmsg()\t:\t UDP \n" + udp_echo("hello world") +
                                 "sendmsg()\t:\treturn value = 11\n" +
                                 socket_lines("SOCK_DGRAM", 5) + binding_connect(5, 6) +
                                 "sendmsg()\t:\ts=5 msg=0x14000000 flags=0\n "
                                 "UDPecho()\t:\tTIME=#. ms\n"
                                 "sendmsg()\t:\treturn value = 5\n");
    EXPECT_EQ(outcome.program.out,
              "app: socket 4\napp: sendmsg 11\napp: socket 5\napp: connect 0\napp: sendmsg 5\n");
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
// logged, and the failed receive counts as such.
TEST_F(UdpRoute, SilentHopDelaysEachRoundTripByTheBoundOnly)
{
    EchoHop hop({hop_address, 7, 0, true});
    auto outcome = run({"udp", "sendto", at_port(destination), "hello", "debug=1", "connect",
                        at_port(destination), "write", "abc"});
    EXPECT_EQ(outcome.trace, quiet_load() + socket_lines("SOCK_DGRAM", 4) +
                                 "UDPecho()\t:\tTIME=#. ms\n"
                                 "sendto()\t:\treturn value = 5\n" +
                                 binding_connect(4, 5) +
                                 "write()\t:\twrite called\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "write()\t:\trtbl_ptr=<entry 1>\n"
                                 "write()\t:\ts1=5\n"
                                 "UDPecho1()\t:\tUDPecho1 called \n"
                                 "UDPecho1()\t:\tlen1=3 c1=-1, c=-1\n"
                                 "UDPecho1()\t:\tTIME=#. ms\n");
    // What the sender-address text shows when nothing came back is the
    // library's own choice; the rest of standard output is fixed.
    const std::string &out = outcome.program.out;
    EXPECT_EQ(out.rfind("app: socket 4\napp: sendto 5\napp: connect 0\nreceived from ", 0), 0u)
        << out;
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
    write_routes("alpha " + destination + " " + hop_address + " UDP\n" + "alpha " +
                 second_destination + " " + second_hop_address + " UDP\n");
    EchoHop first_hop({hop_address});
    EchoHop second_hop({second_hop_address});
    UdpSink second_sink(second_destination, destination_port);
    auto outcome = run({"debug=1", "udp", "connect", at_port(destination), "udp", "connect",
                        at_port(second_destination), "send", "two", "use=0", "send", "one", "udp",
                        "sendto", at_port(second_destination), "three"});
    const std::vector<std::string> both = {destination, second_destination};
    EXPECT_EQ(outcome.trace,
              loader::timelog_opened + loader::debug_head("alpha") +
                  loader::stored_debug(host_address, destination, hop_address, 2) +
                  loader::stored_debug(host_address, second_destination, second_hop_address, 2) +
                  loader::debug_tail + socket_lines("SOCK_DGRAM", 4) + binding_connect(4, 5) +
                  socket_lines("SOCK_DGRAM", 6) + lookup_lines(both, second_destination, true) +
                  " connect() \t:\tUDP \n"
                  "connect()\t:\ts1=7 name=10.77.0.3:7 namelen=16\n "
                  "connect()\t:\ts=6 name=127.0.0.6:9000 namelen=16 \n"
                  "connect()\t:\treturn value = 0\n"
                  "send()\t\t:\ts=6 msg=0x10000000 len=3 flags=0\n"
                  "get_sock_ent()\t:\tEntry found in table\n"
                  "send()\t\t:\tUDP \n"
                  "UDPecho()\t:\tUDPEcho called\n"
                  "UDPecho()\t:\tlen1=3 c1=3, c=3\n"
                  "UDPecho()\t:\tReceived from 10.77.0.3:7\n"
                  "UDPecho()\t:\ttwo\n"
                  "UDPecho()\t:\tTIME=#. ms\n"
                  "send()\t\t:\treturn value = 3\n"
                  "send()\t\t:\ts=4 msg=0x10000000 len=3 flags=0\n"
                  "get_sock_ent()\t:\tEntry found in table\n"
                  "send()\t\t:\tUDP \n" +
                  udp_echo("one") + "send()\t\t:\treturn value = 3\n" +
                  socket_lines("SOCK_DGRAM", 8) + lookup_lines(both, second_destination, true) +
                  "sendto() \t:\trtbl_ptr=<entry 1>\n"
                  "sendto()\t:\tUDP \n"
                  "sendto()\t:\ts1!=0\n"
                  "UDPecho()\t:\tUDPEcho called\n"
                  "UDPecho()\t:\tlen1=5 c1=5, c=5\n"
                  "UDPecho()\t:\tReceived from 10.77.0.3:7\n"
                  "UDPecho()\t:\tthree\n"
                  "UDPecho()\t:\tTIME=#. ms\n"
                  "sendto()\t:\tReturning from sendto\n"
                  "sendto()\t:\treturn value = 5\n");
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
              debug_load() + socket_lines("SOCK_DGRAM", 4) + sendto_over_own_socket("hello"));
    expect_records(own, {5});

    auto bound = run({"udp", "connect", at_port(destination), "debug=1", "send", "hello",
                      "debug=0", "write", "world"});
    EXPECT_EQ(bound.trace, quiet_load() + socket_lines("SOCK_DGRAM", 4) +
                               "connect()\t:\treturn value = 0\n"
                               "send()\t\t:\ts=4 msg=0x10000000 len=5 flags=0\n"
                               "get_sock_ent()\t:\tEntry found in table\n"
                               "send()\t\t:\tUDP \n" +
                               udp_echo("hello") + "send()\t\t:\treturn value = 5\n"
                               "UDPecho1()\t:\tTIME=#. ms\n");
    EXPECT_EQ(bound.program.out, "app: socket 4\napp: connect 0\napp: send 5\n"
                                 "received from 10.77.0.2:7\nbuf=world\napp: write 5\n");
    expect_records(bound, {5, 5});
    EXPECT_EQ(sink_.datagrams(), (std::vector<std::string>{"hello", "hello", "world"}));
}

}  // namespace
}  // namespace routed
