// TCP routes beyond the send-path table: debug lines, write rerouted only on
// the route's socket, one rerouted socket per route, large sends, delaying and
// refusing hops, and the standard echo service.
#include <gtest/gtest.h>

#include <regex>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using testsupport::EchoHop;
const lines::Trip quiet{lines::tcp}, loud{lines::tcp, true};

class TcpRoute : public RoutedTest {
protected:
    void SetUp() override
    {
        RoutedTest::SetUp();
        write_routes("alpha " + destination + " " + hop_address + " TCP\n");
    }

    // The lines up to the route socket's quiet connect.
    static std::string connected() { return load({destination}, 1, false) + lines::tcp_socket(4) + lines::connect_returned(0); }

    TcpSink sink_{destination, destination_port};
};

// How long the application says a call took ("app: NAME RESULT in N ms").
std::vector<long> call_times(const std::string &out, const std::string &name)
{
    std::regex line("app: " + name + " -?[0-9]+ in ([0-9]+) ms\n");
    std::vector<long> times;
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
        times.push_back(std::stol((*it)[1].str()));
    }
    return times;
}

// With debug: the load, the lookup and hop connection of connect, and each
// routed call's lines; sendto to the destination is timed like send, sendmsg
// bounces the caller's bytes once, untimed and unlogged.
TEST_F(TcpRoute, DebugShowsLoadingLookupHopConnectionAndRoundTrips)
{
    EchoHop hop({hop_address});
    auto outcome = run({"debug=1", "tcp", "connect", at_port(destination), "send", "hello", "sendto",
                        at_port(destination), "abc", "sendmsg", at_port(destination), "defg", "close"});
    const std::string found = lines::lookup({destination}, destination, true);
    EXPECT_EQ(outcome.trace, load({destination}, 1, true) + lines::tcp_socket(4) +
                                 lines::routed_connect(loud, found, 4, at_port(destination), 5, 0) +
                                 lines::routed_send(loud, 4, "hello") + lines::routed_sendto(loud, found, "abc", true) +
                                 lines::routed_sendmsg(loud, 4, found, "defg") + lines::close(0));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\nbuf=hello\napp: send 5\n"
                                   "buf=abc\napp: sendto 3\napp: sendmsg 4\napp: close 0\n");
    expect_records(outcome, {5, 3});
    EXPECT_EQ(hop.record_text(), "tcp 5 hello\ntcp 3 abc\ntcp 4 defg\n");
    EXPECT_EQ(sink_.streams(), std::vector<std::string>{"helloabcdefg"});
}

// write is rerouted only on the route's socket; debug is read afresh, so
// switching it off mid-run silences write's own lines at once.
TEST_F(TcpRoute, WriteIsReroutedOnlyOnTheRouteSocket)
{
    EchoHop hop({hop_address});
    auto outcome = run({"tcp", "connect", at_port(destination), "debug=1", "write", "hello", "fd=2", "write",
                        "note\\x0a", "debug=0", "use=0", "write", "again"});
    EXPECT_EQ(outcome.trace, connected() + lines::routed_write(loud, 5, "hello") + lines::write(true) + "note\n" +
                                 lines::routed_write(quiet, 5, "again"));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\nbuf=hello\napp: write 5\n"
                                   "app: write 5\nbuf=again\napp: write 5\n");
    expect_records(outcome, {5, 5});
    EXPECT_EQ(hop.record_text(), "tcp 5 hello\ntcp 5 again\n");
    EXPECT_EQ(sink_.streams(), std::vector<std::string>{"helloagain"});
}

// The first connect binds the route and opens the only hop connection; a
// second socket connecting to the same destination is traced, not rerouted.
TEST_F(TcpRoute, OnlyTheFirstConnectingSocketIsRerouted)
{
    EchoHop hop({hop_address});
    auto outcome = run({"tcp", "connect", at_port(destination), "tcp", "connect", at_port(destination), "send",
                        "two", "use=0", "send", "one"});
    EXPECT_EQ(outcome.trace, connected() + lines::tcp_socket(6) + lines::connect_returned(0) +
                                 lines::send(6, lines::scenario_data, 3, 0, 3) + lines::routed_send(quiet, 4, "one"));
    expect_records(outcome, {3});
    EXPECT_EQ(hop.record_text(), "tcp 3 one\n");
    EXPECT_EQ(sink_.streams(), (std::vector<std::string>{"one", "two"}));
}

// Far more than the socket buffers on both sides hold: a round trip that
// wrote everything before reading would never finish.
TEST_F(TcpRoute, LargeSendCompletesThroughTheHop)
{
    EchoHop hop({hop_address});
    const std::size_t size = 32 * 1024 * 1024;
    auto outcome = run({"tcp", "connect", at_port(destination), "send", "#" + std::to_string(size)});
    const std::string pattern = letter_pattern(size);
    EXPECT_EQ(outcome.program.out,
              "app: socket 4\napp: connect 0\nbuf=" + pattern + "\napp: send " + std::to_string(size) + "\n");
    expect_records(outcome, {static_cast<long>(size)});
    std::string bounced;
    for (const auto &record : hop.records()) {
        bounced += record.bytes;
    }
    EXPECT_TRUE(bounced == pattern) << "the hop received " << bounced.size() << " bytes";
    auto streams = sink_.streams();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_TRUE(streams[0] == pattern) << "the destination received " << streams[0].size() << " bytes";
}

TEST_F(TcpRoute, DelayingHopDelaysTheSendAndTheRecordSaysSo)
{
    EchoHop hop({hop_address, 7, 50});
    auto outcome = run({"timing", "tcp", "connect", at_port(destination), "send", "hello"});
    EXPECT_EQ(outcome.trace, connected() + lines::routed_send(quiet, 4, "hello"));
    expect_records(outcome, {5});
    ASSERT_EQ(outcome.times.size(), 1u);
    EXPECT_GE(outcome.times[0], 50);
    auto sends = call_times(outcome.program.out, "send");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_GE(sends[0], 50);
    EXPECT_EQ(sink_.streams(), std::vector<std::string>{"hello"});
}

// No echo service on the hop: the hop connection is refused, each round trip
// says so instead of its time and leaves no record, the real send goes out,
// and the failed sends to the hop never raise SIGPIPE in the application.
TEST_F(TcpRoute, RefusingHopIsReportedUnrecordedAndTheRealSendGoesThrough)
{
    const lines::Trip refused{lines::tcp, false, hop_address + ":7", "Connection refused"};
    auto outcome = run({"tcp", "connect", at_port(destination), "send", "hello", "send", "again"});
    EXPECT_EQ(outcome.trace,
              connected() + lines::routed_send(refused, 4, "hello") + lines::routed_send(refused, 4, "again"));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\nbuf=\napp: send 5\nbuf=\napp: send 5\n");
    expect_records(outcome, {});
    EXPECT_EQ(sink_.streams(), std::vector<std::string>{"helloagain"});
}

TEST_F(TcpRoute, StandardEchoServiceServesAsHop)
{
    testsupport::InetdEcho hop(hop_address);
    auto outcome = run({"tcp", "connect", at_port(destination), "send", "hello", "write", "world"});
    EXPECT_EQ(outcome.trace,
              connected() + lines::routed_send(quiet, 4, "hello") + lines::routed_write(quiet, 5, "world"));
    EXPECT_EQ(outcome.program.out, "app: socket 4\napp: connect 0\nbuf=hello\napp: send 5\n"
                                   "buf=world\napp: write 5\n");
    expect_records(outcome, {5, 5});
    EXPECT_EQ(sink_.streams(), std::vector<std::string>{"helloworld"});
}

}  // namespace
}  // namespace routed
