// Which sockets a route reroutes: unbound entries and descriptor 0, routes of
// neither protocol, unrouted calls, and descriptor numbers that outlive the
// socket that bound them.
#include <gtest/gtest.h>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using RouteBinding = RoutedTest;
using testsupport::EchoHop;

// Unbound entries hold descriptor 0, so send and write on descriptor 0 find
// the first of them; with no hop socket there is no round trip.
TEST_F(RouteBinding, DescriptorZeroFindsTheFirstUnboundEntryWithoutRoundTrip)
{
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\nalpha 127.0.0.6 10.77.0.2 UDP\n");
    EchoHop hop({hop_address});
    TcpSink sink(destination, destination_port);
    auto outcome = run({"udp", "debug=1", "fd=0", "send", "x", "write", "x", "debug=0", "tcp",
                        "connect", at_port(destination), "debug=1", "fd=0", "send", "y", "write",
                        "y"});
    EXPECT_EQ(outcome.trace, loader::timelog_opened +
                                 loader::stored(host_address, destination, hop_address) +
                                 loader::stored(host_address, second_destination, hop_address) +
                                 socket_lines("SOCK_DGRAM", 4) +
                                 "send()\t\t:\ts=0 msg=0x10000000 len=1 flags=0\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "send() \t:\tTCP \n"
                                 "send()\t\t:\treturn value = -1\n"
                                 "write()\t:\twrite called\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "write()\t:\trtbl_ptr=<entry 1>\n" +
                                 socket_lines("SOCK_STREAM", 5) +
                                 "connect()\t:\treturn value = 0\n"
                                 "send()\t\t:\ts=0 msg=0x10000000 len=1 flags=0\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "send()\t\t:\tUDP \n"
                                 "send()\t\t:\treturn value = -1\n"
                                 "write()\t:\twrite called\n"
                                 "get_sock_ent()\t:\tEntry found in table\n"
                                 "write()\t:\trtbl_ptr=<entry 2>\n");
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: send -1 ENOTSOCK\napp: write -1 EBADF\n"
                                   "app: socket 5\napp: connect 0\n"
                                   "app: send -1 ENOTSOCK\napp: write -1 EBADF\n");
    expect_records(outcome, {});
    EXPECT_EQ(hop.record_text(), "");
}

// A route of neither TCP nor UDP is found by the destination lookups but
// never bound: no hop socket, no round trip.
TEST_F(RouteBinding, RoutesOfNeitherProtocolAreFoundButNeverUsed)
{
    write_routes("alpha 127.0.0.5 10.77.0.2 tcp\nalpha 127.0.0.6 10.77.0.2 ICMP\n");
    EchoHop hop({hop_address});
    TcpSink sink(destination, destination_port);
    UdpSink second_sink(second_destination, destination_port);
    auto outcome = run({"tcp", "debug=1", "connect", at_port(destination), "send", "hi", "udp",
                        "sendto", at_port(second_destination), "ho"});
    EXPECT_EQ(outcome.trace, loader::timelog_opened +
                                 loader::stored(host_address, destination, hop_address) +
                                 loader::stored(host_address, second_destination, hop_address) +
                                 socket_lines("SOCK_STREAM", 4) +
                                 lookup_lines({destination}, destination, true) +
                                 "connect()\t:\ts=4 name=127.0.0.5:9000 namelen=16 \n"
                                 "connect()\t:\treturn value = 0\n"
                                 "send()\t\t:\ts=4 msg=0x10000000 len=2 flags=0\n"
                                 "send()\t\t:\treturn value = 2\n" +
                                 socket_lines("SOCK_DGRAM", 5) +
                                 lookup_lines({destination, second_destination},
                                              second_destination, true) +
                                 "sendto() \t:\trtbl_ptr=<entry 1>\n"
                                 "sendto()\t:\tReturning from sendto\n"
                                 "sendto()\t:\treturn value = 2\n");
    expect_records(outcome, {});
    EXPECT_EQ(hop.record_text(), "");
    EXPECT_EQ(sink.streams(), std::vector<std::string>{"hi"});
    EXPECT_EQ(second_sink.datagrams(), std::vector<std::string>{"ho"});
}

// With no route for the destination each call only traces and forwards; a
// sendmsg without a destination is not looked up at all.
TEST_F(RouteBinding, UnroutedCallsOnlyTraceAndForward)
{
    write_routes("beta 127.0.0.5 10.77.0.2 UDP\n");
    UdpSink sink(destination, destination_port);
    auto outcome = run({"udp", "debug=1", "connect", at_port(destination), "send", "a", "write",
                        "b", "sendto", at_port(destination), "c", "sendmsg", "-", "d"});
    EXPECT_EQ(outcome.trace, loader::timelog_opened + loader::not_mine +
                                 socket_lines("SOCK_DGRAM", 4) +
                                 "connect()\t:\tTable entry not found\n"
                                 "connect()\t:\ts=4 name=127.0.0.5:9000 namelen=16 \n"
                                 "connect()\t:\treturn value = 0\n"
                                 "send()\t\t:\ts=4 msg=0x10000000 len=1 flags=0\n"
                                 "send()\t\t:\treturn value = 1\n"
                                 "write()\t:\twrite called\n"
                                 "write()\t:\trtbl_ptr=0\n"
                                 "sendto() \t:\trtbl_ptr=0\n"
                                 "sendto()\t:\tReturning from sendto\n"
                                 "sendto()\t:\treturn value = 1\n"
                                 "sendmsg()\t:\ts=4 msg=0x14000000 flags=0\n "
                                 "sendmsg()\t:\treturn value = 1\n");
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\napp: send 1\napp: write 1\n"
                                   "app: sendto 1\napp: sendmsg 1\n");
    expect_records(outcome, {});
    EXPECT_EQ(sink.datagrams(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

// The route keeps the number of the socket that bound it: after that socket
// is closed, whatever socket gets the number is rerouted by send.
TEST_F(RouteBinding, ABoundDescriptorNumberOutlivesItsSocket)
{
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\n");
    EchoHop hop({hop_address});
    TcpSink sink(destination, destination_port);
    UdpSink unrouted(unrouted_destination, destination_port);
    auto outcome = run({"tcp", "connect", at_port(destination), "close", "udp", "connect",
                        at_port(unrouted_destination), "send", "hi"});
    EXPECT_EQ(outcome.trace, loader::timelog_opened +
                                 loader::stored(host_address, destination, hop_address) +
                                 socket_lines("SOCK_STREAM", 4) +
                                 "connect()\t:\treturn value = 0\n"
                                 "close()\t\t:\t0\n" +
                                 socket_lines("SOCK_DGRAM", 4) +
                                 "connect()\t:\treturn value = 0\n"
                                 "send()\t\t:\ts=4 msg=0x10000000 len=2 flags=0\n"
                                 "TCPecho()\t:\tTIME=#. ms\n"
                                 "send()\t\t:\treturn value = 2\n");
    expect_records(outcome, {2});
    EXPECT_EQ(hop.record_text(), "tcp 2 hi\n");
    EXPECT_EQ(unrouted.datagrams(), std::vector<std::string>{"hi"});
}

// The hop connection is made before the application's own connect and stays
// when that connect fails: a later connect to the destination makes none.
TEST_F(RouteBinding, FailedConnectStillBindsTheRoute)
{
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\n");
    EchoHop hop({hop_address});
    auto outcome = run({"debug=1", "tcp", "connect", at_port(destination), "tcp", "connect",
                        at_port(destination)});
    EXPECT_EQ(outcome.trace,
              loader::timelog_opened + loader::debug_head("alpha") +
                  loader::stored_debug(host_address, destination, hop_address, 1) +
                  loader::debug_tail + socket_lines("SOCK_STREAM", 4) +
                  lookup_lines({destination}, destination, true) +
                  "connect() \t:\tTCP to \n"
                  "connect()\t:\ts1=5 name=10.77.0.2:7 namelen=16 \n "
                  "connect()\t:\ts=4 name=127.0.0.5:9000 namelen=16 \n"
                  "connect()\t:\treturn value = -1\n" +
                  socket_lines("SOCK_STREAM", 6) + lookup_lines({destination}, destination, true) +
                  "connect()\t:\ts=6 name=127.0.0.5:9000 namelen=16 \n"
                  "connect()\t:\treturn value = -1\n");
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect -1 ECONNREFUSED\n"
                                   "app: socket 6\napp: connect -1 ECONNREFUSED\n");
}

}  // namespace
}  // namespace routed
