// Which sockets a route reroutes: unbound entries and descriptor 0, routes of
// neither protocol, unrouted calls, bindings that end with their socket, and
// local addresses that look like routed ones.
#include <gtest/gtest.h>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using RouteBinding = RoutedTest;
using testsupport::EchoHop;

// A send on descriptor 0 that finds an entry with no hop socket.
std::string unbound_send(lines::Via via)
{
    return lines::send_first(0, lines::scenario_data, 1, 0) + lines::sock_entry_found + lines::send_via(via) +
           lines::send_returned(-1);
}

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
    EXPECT_EQ(outcome.trace, lines::loader::timelog_opened +
                                 lines::loader::stored(host_address, destination, hop_address) +
                                 lines::loader::stored(host_address, second_destination, hop_address) +
                                 lines::udp_socket(4) + unbound_send(lines::tcp) + lines::write(true, 1) +
                                 lines::tcp_socket(5) + lines::connect_returned(0) + unbound_send(lines::udp) +
                                 lines::write(true, 2));
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
    EXPECT_EQ(outcome.trace, lines::loader::timelog_opened +
                                 lines::loader::stored(host_address, destination, hop_address) +
                                 lines::loader::stored(host_address, second_destination, hop_address) +
                                 lines::tcp_socket(4) +
                                 lines::lookup({destination}, destination, true) +
                                 lines::connect_named(4, at_port(destination), 16) + lines::connect_returned(0) +
                                 lines::send(4, lines::scenario_data, 2, 0, 2) +
                                 lines::udp_socket(5) +
                                 lines::lookup({destination, second_destination},
                                              second_destination, true) +
                                 lines::sendto(2, true, 1));
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
    EXPECT_EQ(outcome.trace, lines::loader::timelog_opened + lines::loader::not_mine +
                                 lines::udp_socket(4) + lines::connect(4, at_port(destination), 16, 0, true) +
                                 lines::send(4, lines::scenario_data, 1, 0, 1) + lines::write(true) +
                                 lines::sendto(1, true) + lines::sendmsg(4, lines::scenario_header, 0, 1));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\napp: send 1\napp: write 1\n"
                                   "app: sendto 1\napp: sendmsg 1\n");
    expect_records(outcome, {});
    EXPECT_EQ(sink.datagrams(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

// How a program ends the binding of its routed socket (4) and what it then
// does with the number: neither the file nor the socket on it is bounced.
struct BindingEnd {
    const char *name;
    std::vector<std::string> steps;
    std::string trace;
    long next_socket;  // the number the next new socket gets
    std::vector<std::string> unrouted_datagrams;
    std::string own_file;  // what the file "own" holds, if the case opens it
};

const BindingEnd binding_ends[] = {
    {"close", {"close", "udp", "connect", at_port(unrouted_destination), "send", "hi"},
     lines::close(0) + lines::udp_socket(4) + lines::connect_returned(0) + lines::send(4, lines::scenario_data, 2, 0, 2),
     6, {"hi"}, ""},
    {"dup2 of a file", {"file", "own", "onto", "dup2", "4", "fd=4", "write", "hi"}, "", 7, {}, "hi"},
    {"dup3 of a socket",
     {"udp", "connect", at_port(unrouted_destination), "onto", "dup3", "4", "fd=4", "send", "hi"},
     lines::udp_socket(6) + lines::connect_returned(0) + lines::send(4, lines::scenario_data, 2, 0, 2), 7, {"hi"},
     ""},
};

// Then the next connect to the destination binds the route anew over its
// hop socket (debug shows no new hop connection), and a second connection
// made while that one is open is not rerouted.
TEST_F(RouteBinding, ABindingEndsWithItsSocket)
{
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\n");
    EchoHop hop({hop_address});
    const std::string found = lines::lookup({destination}, destination, true);
    for (const BindingEnd &end : binding_ends) {
        SCOPED_TRACE(end.name);
        TcpSink sink(destination, destination_port);
        UdpSink unrouted(unrouted_destination, destination_port);
        std::vector<std::string> steps = {"tcp", "connect", at_port(destination)};
        steps.insert(steps.end(), end.steps.begin(), end.steps.end());
        steps.insert(steps.end(), {"debug=1", "tcp", "connect", at_port(destination), "send", "again", "tcp",
                                   "connect", at_port(destination), "send", "two"});
        auto outcome = run(steps);
        const long s = end.next_socket;
        EXPECT_EQ(outcome.trace,
                  load({destination}, 1, false) + lines::tcp_socket(4) + lines::connect_returned(0) + end.trace +
                      lines::tcp_socket(s) + found + lines::connect_named(s, at_port(destination), 16) +
                      lines::connect_returned(0) + lines::routed_send({lines::tcp, true}, s, "again") +
                      lines::tcp_socket(s + 1) + found + lines::connect_named(s + 1, at_port(destination), 16) +
                      lines::connect_returned(0) + lines::send(s + 1, lines::scenario_data, 3, 0, 3));
        expect_records(outcome, {5});
        EXPECT_EQ(unrouted.datagrams(), end.unrouted_datagrams);
        EXPECT_EQ(sink.streams(), (std::vector<std::string>{"", "again", "two"}));
        if (!end.own_file.empty()) {
            EXPECT_EQ(testsupport::read_file(scratch_.file("own")), end.own_file);
        }
    }
    EXPECT_EQ(hop.record_text(), "tcp 5 again\ntcp 5 again\ntcp 5 again\n");
}

// Routes match Internet addresses only: a local socket whose address bytes
// after the family spell the routed destination binds nothing, and the next
// Internet connect to the destination still opens the hop connection.
TEST_F(RouteBinding, LocalAddressSpellingARoutedDestinationIsNotRouted)
{
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\n");
    EchoHop hop({hop_address});
    TcpSink sink(destination, destination_port);
    auto outcome = run({"debug=1", "unix", destination + ":80", "send", "hi", "tcp", "connect", at_port(destination)});
    EXPECT_EQ(outcome.trace, load({destination}, 1, true) + lines::socket("AF_UNIX", "SOCK_STREAM", "IPPROTO_IP", 4) +
                                 lines::connect(4, "", 16, -1, true) + lines::send(4, lines::scenario_data, 2, 0, -1) +
                                 lines::tcp_socket(5) +
                                 lines::routed_connect({lines::tcp, true}, lines::lookup({destination}, destination, true),
                                                       5, at_port(destination), 6, 0));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect -1 ECONNREFUSED\napp: send -1 ENOTCONN\n"
                                   "app: socket 5\napp: connect 0\n");
    EXPECT_EQ(hop.record_text(), "");
}

// The hop connection is made before the application's own connect and stays
// when that connect fails: a later connect to the destination makes none.
TEST_F(RouteBinding, FailedConnectStillBindsTheRoute)
{
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\n");
    EchoHop hop({hop_address});
    auto outcome = run({"debug=1", "tcp", "connect", at_port(destination), "tcp", "connect",
                        at_port(destination)});
    const std::string found = lines::lookup({destination}, destination, true);
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened + lines::loader::debug_head("alpha") +
                  lines::loader::stored_debug(host_address, destination, hop_address, 1) +
                  lines::loader::debug_tail + lines::tcp_socket(4) +
                  lines::routed_connect({lines::tcp, true}, found, 4, at_port(destination), 5, -1) +
                  lines::tcp_socket(6) + found + lines::connect_named(6, at_port(destination), 16) +
                  lines::connect_returned(-1));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect -1 ECONNREFUSED\n"
                                   "app: socket 6\napp: connect -1 ECONNREFUSED\n");
}

}  // namespace
}  // namespace routed
