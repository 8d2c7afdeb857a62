// Hostile hops: whatever a hop does (reset, stay silent, flood, answer with
// garbage, refuse, lie beyond any route), every round trip ends, is recorded
// only if it reached the hop, shows the echo escaped, and the application's
// own send goes out as it would without the library.
#include <gtest/gtest.h>

#include <optional>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using testsupport::EchoHop;
using testsupport::EchoHopOptions;
using testsupport::HopAnswer;

// No route leads there from the test's network: sends to it fail at once.
const std::string unreachable_hop = "10.99.0.1";
// How the echo of a garbage-answering hop shows, escaped.
const std::string garbage_shown = R"(\x1b[2J\x1b]0;owned\x07\r\nsend()\t\t:\treturn value = 0\n\xff)";
const lines::Trip tcp_trip{lines::tcp}, udp_trip{lines::udp}, loud_udp{lines::udp, true};
const std::string hop_service = hop_address + ":7";
const lines::Trip reset_trip{lines::tcp, false, hop_service, "Connection reset by peer"},
    refused_trip{lines::udp, false, hop_service, "Connection refused"},
    no_route_tcp{lines::tcp, false, hop_service, "Network is unreachable"},
    no_route_udp{lines::udp, true, hop_service, "Network is unreachable"};

struct HostileCase {
    std::string what;
    std::string hop_and_protocol;        // the route line's last two words
    std::optional<EchoHopOptions> hop;   // none: nothing answers on the hop address
    std::vector<std::string> steps;
    std::string trace;                   // after the route load
    std::string out;
    std::vector<long> records;
    std::string hop_records;
    std::vector<std::string> arrived;    // at the destination: TCP streams, then datagrams
};

std::string app_out(const std::string &lines_after_connect)
{
    return "app: socket 4\napp: connect 0\n" + lines_after_connect;
}

using HostileHop = RoutedTest;

TEST_F(HostileHop, EveryRoundTripEndsAndIsRecordedHonestly)
{
    const std::string tcp_up = lines::tcp_socket(4) + lines::connect_returned(0);
    const std::string udp_up = lines::udp_socket(4) + lines::connect_returned(0);
    const std::string garbage_size = "#" + std::to_string(testsupport::hop_garbage.size());
    const std::string garbage_sent = letter_pattern(testsupport::hop_garbage.size());
    const std::vector<std::string> tcp_connect = {"tcp", "connect", at_port(destination)};
    const std::vector<std::string> udp_connect = {"udp", "connect", at_port(destination)};
    auto steps = [](std::vector<std::string> first, const std::vector<std::string> &then) {
        first.insert(first.end(), then.begin(), then.end());
        return first;
    };
    const HostileCase cases[] = {
        {"a hop that resets at every read is reopened once per round trip, which never reaches it",
         "10.77.0.2 TCP", EchoHopOptions{.address = hop_address, .reset_after = 0},
         steps(tcp_connect, {"send", "hello", "send", "again"}),
         tcp_up + lines::routed_send(reset_trip, 4, "hello") + lines::routed_send(reset_trip, 4, "again"),
         app_out("buf=\napp: send 5\nbuf=\napp: send 5\n"), {},
         "tcp 5 hello\ntcp 5 hello\ntcp 5 again\ntcp 5 again\n", {"helloagain"}},
        {"a hop that resets each connection at its second read is reopened and answers",
         "10.77.0.2 TCP", EchoHopOptions{.address = hop_address, .reset_after = 1},
         steps(tcp_connect, {"send", "one", "send", "two", "send", "three"}),
         tcp_up + lines::routed_send(tcp_trip, 4, "one") + lines::routed_send(tcp_trip, 4, "two") +
             lines::routed_send(tcp_trip, 4, "three"),
         app_out("buf=one\napp: send 3\nbuf=two\napp: send 3\nbuf=three\napp: send 5\n"), {3, 3, 5},
         "tcp 3 one\ntcp 3 two\ntcp 3 two\ntcp 5 three\ntcp 5 three\n", {"onetwothree"}},
        {"a hop refusing datagrams (an error on the hop socket) ends each round trip at once",
         "10.77.0.2 UDP", std::nullopt, steps(udp_connect, {"send", "a", "send", "b"}),
         udp_up + lines::routed_send(refused_trip, 4, "a") + lines::routed_send(refused_trip, 4, "b"),
         app_out("app: send 1\napp: send 1\n"), {}, "", {"a", "b"}},
        {"a hop beyond any route is never reached over TCP",
         unreachable_hop + " TCP", std::nullopt, steps(tcp_connect, {"send", "hello", "send", "again"}),
         tcp_up + lines::routed_send(no_route_tcp, 4, "hello") + lines::routed_send(no_route_tcp, 4, "again"),
         app_out("buf=\napp: send 5\nbuf=\napp: send 5\n"), {}, "", {"helloagain"}},
        // Every chunk is tried and none waited for: a chunk that waited out
        // the bound would have been the last.
        {"a hop beyond any route is never reached over UDP, no chunk waits",
         unreachable_hop + " UDP", std::nullopt, {"udp", "debug=1", "sendto", at_port(destination), "#3000"},
         lines::udp_socket(4) + lines::routed_sendto(no_route_udp, lines::lookup({destination}, destination, true),
                                                     letter_pattern(3000), false),
         "app: socket 4\napp: sendto 3000\n", {}, "", {letter_pattern(3000)}},
        {"MSG_MORE is not passed to the hop: its datagram leaves at once",
         "10.77.0.2 UDP", EchoHopOptions{.address = hop_address},
         steps(udp_connect, {"sendflags", std::to_string(MSG_MORE), "abc", "send", "def"}),
         udp_up + lines::send_first(4, lines::scenario_data, 3, MSG_MORE) +
             lines::udp_echo("abc", udp_trip.hop, false) + lines::send_returned(3) +
             lines::routed_send(udp_trip, 4, "def"),
         app_out("app: send 3\napp: send 3\n"), {3, 3}, "udp 3 abc\nudp 3 def\n", {"abcdef"}},
        {"a silent hop's round trip waits out the bound and is recorded",
         "10.77.0.2 TCP", EchoHopOptions{.address = hop_address, .answer = HopAnswer::silence},
         steps(tcp_connect, {"send", "hello"}), tcp_up + lines::routed_send(tcp_trip, 4, "hello"),
         app_out("buf=\napp: send 5\n"), {5}, "tcp 5 hello\n", {"hello"}},
        {"a flooding hop's extra bytes are not the next round trip's echo",
         "10.77.0.2 TCP", EchoHopOptions{.address = hop_address, .answer = HopAnswer::flood},
         steps(tcp_connect, {"send", "hello", "send", "world"}),
         tcp_up + lines::routed_send(tcp_trip, 4, "hello") + lines::routed_send(tcp_trip, 4, "world"),
         app_out("buf=hello\napp: send 5\nbuf=world\napp: send 5\n"), {5, 5}, "tcp 5 hello\ntcp 5 world\n",
         {"helloworld"}},
        // The application's wait for a reply that never comes gives the
        // flood time to arrive: datagrams still on their way when a round
        // trip starts could not be told from its echo.
        {"a flooding hop's extra datagrams are not the next round trip's echo",
         "10.77.0.2 UDP", EchoHopOptions{.address = hop_address, .answer = HopAnswer::flood},
         steps(udp_connect, {"debug=1", "send", "hello", "reply", "write", "abc"}),
         udp_up + lines::routed_send(loud_udp, 4, "hello") + lines::routed_write(loud_udp, 5, "abc"),
         app_out("app: send 5\napp: no reply\nreceived from 10.77.0.2:7\nbuf=abc\napp: write 3\n"), {5, 3},
         "udp 5 hello\nudp 3 abc\n", {"hello", "abc"}},
        // Inside one round trip the flood of the first chunk arrives while
        // the second chunk waits: it is not taken as that chunk's echo.
        {"a flooding hop's extra datagrams are not a later chunk's echo",
         "10.77.0.2 UDP", EchoHopOptions{.address = hop_address, .answer = HopAnswer::flood},
         steps(udp_connect, {"debug=1", "send", "#2048"}),
         udp_up + lines::routed_send(loud_udp, 4, letter_pattern(2048)), app_out("app: send 2048\n"), {2048},
         "udp 1024 " + letter_pattern(2048).substr(0, 1024) + "\nudp 1024 " + letter_pattern(2048).substr(1024) +
             "\n",
         {letter_pattern(2048)}},
        {"a garbage echo over TCP shows escaped",
         "10.77.0.2 TCP", EchoHopOptions{.address = hop_address, .answer = HopAnswer::garbage},
         steps(tcp_connect, {"send", garbage_size}), tcp_up + lines::routed_send(tcp_trip, 4, garbage_sent),
         app_out("buf=" + garbage_shown + "\napp: send " + std::to_string(garbage_sent.size()) + "\n"),
         {static_cast<long>(garbage_sent.size())}, "tcp " + std::to_string(garbage_sent.size()) + " " + garbage_sent + "\n",
         {garbage_sent}},
        {"a garbage echo of a datagram write shows escaped",
         "10.77.0.2 UDP", EchoHopOptions{.address = hop_address, .answer = HopAnswer::garbage},
         steps(udp_connect, {"write", garbage_size}), udp_up + lines::routed_write(udp_trip, 5, garbage_sent),
         app_out("received from 10.77.0.2:7\nbuf=" + garbage_shown + "\napp: write " +
                 std::to_string(garbage_sent.size()) + "\n"),
         {static_cast<long>(garbage_sent.size())}, "udp " + std::to_string(garbage_sent.size()) + " " + garbage_sent + "\n",
         {garbage_sent}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string hop_word = c.hop_and_protocol.substr(0, c.hop_and_protocol.find(' '));
        write_routes("alpha " + destination + " " + c.hop_and_protocol + "\n");
        std::optional<EchoHop> hop;
        if (c.hop) {
            hop.emplace(*c.hop);
        }
        TcpSink tcp_sink(destination, destination_port);
        UdpSink udp_sink(destination, destination_port);
        auto outcome = run(c.steps);
        EXPECT_EQ(outcome.trace, lines::loader::timelog_opened +
                                     lines::loader::stored(host_address, destination, hop_word) + c.trace);
        EXPECT_EQ(outcome.program.out, c.out);
        expect_records(outcome, c.records);
        EXPECT_EQ(hop ? hop->record_text() : "", c.hop_records);
        auto arrived = tcp_sink.streams();
        for (const auto &datagram : udp_sink.datagrams()) {
            arrived.push_back(datagram);
        }
        EXPECT_EQ(arrived, c.arrived);
    }
}

// A non-blocking socket with no room: the send the system refuses at once
// delays nothing, so it makes no round trip.
TEST_F(HostileHop, SendThatWouldBlockMakesNoRoundTrip)
{
    write_routes("alpha " + destination + " " + hop_address + " TCP\n");
    EchoHop hop({hop_address});
    TcpBacklog backlog(destination, destination_port);
    // More than the socket buffers of both ends hold while nobody reads.
    const long filling = 16 * 1024 * 1024;
    auto outcome = run({"tcp", "connect", at_port(destination), "nonblock", "send", "#" + std::to_string(filling),
                        "send", "hello"});
    const std::string out = outcome.program.out;
    const auto at = out.find("app: send ");
    ASSERT_NE(at, std::string::npos) << out;
    const long partial = std::stol(out.substr(at + 10));
    EXPECT_GT(partial, 0);
    EXPECT_LT(partial, filling);
    EXPECT_EQ(outcome.trace, load({destination}, 1, false) + lines::tcp_socket(4) + lines::connect_returned(0) +
                                 lines::send_first(4, lines::scenario_data, filling, 0) + lines::tcp_echo(false) +
                                 lines::send_returned(partial) + lines::send(4, lines::scenario_data, 5, 0, -1));
    EXPECT_TRUE(out.ends_with("\napp: send -1 EAGAIN\n")) << out;
    expect_records(outcome, {filling});
    std::size_t bounced = 0;
    for (const auto &record : hop.records()) {
        bounced += record.count;
    }
    EXPECT_EQ(bounced, static_cast<std::size_t>(filling)) << "only the first send went through the hop";
}

}  // namespace
}  // namespace routed
