// Routing follows the socket through every way a program comes to hold it
// (copies, descriptors passed over a local socket, exec, a listener handed
// down), survives what process life does to the library (jumps out of a
// call, vfork, clearenv, threads racing the load), and costs the program no
// descriptors it could notice.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "covered_fixture.hh"

namespace covered {
namespace {

using SocketLifeTest = CoveredTest;

struct RoutedCase {
    std::string name;
    std::vector<std::string> steps;  // after "to DESTINATION PORT"
};

TEST_F(SocketLifeTest, EveryDescriptorOfARoutedSocketIsRouted)
{
    const std::vector<RoutedCase> cases = {
        {"dup", {"tcp4", "connect", "dup", "use=0", "close", "use=1", "send", "hello"}},
        {"dup2", {"tcp4", "connect", "dup2", "use=0", "close", "use=1", "send", "hello"}},
        {"F_DUPFD", {"tcp4", "connect", "dupfd", "use=0", "close", "use=1", "send", "hello"}},
        {"SCM_RIGHTS", {"raw", "pass", "send", "hello"}},
        {"inherited across exec", {"tcp4", "connect", "exec", "send", "hello"}},
        {"accepted from a listener handed down",
         {"tcp4", "to", "127.0.0.1", "9100", "bind", "listen", "tcp4", "to", destination, "0", "bind", "to",
          "127.0.0.1", "9100", "connect", "exec", "use=0", "accept4", "send", "hello"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_routes({destination}, "TCP");
        hop_.emplace(testsupport::EchoHopOptions{.address = hop});
        std::remove(scratch_.file("timelog").c_str());
        std::vector<std::string> steps = {"to", destination, port};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());

        auto result = run(steps);

        expect_bounced(result, "tcp", {5});
    }
}

// What process life does leaves routing on in the classic behaviour too.
TEST_F(SocketLifeTest, ProcessLifeLeavesRoutingOnInEitherBehaviour)
{
    write_routes({destination}, "TCP");
    // The hop waits long enough for the timer to end the first send's round trip.
    hop_.emplace(testsupport::EchoHopOptions{.address = hop, .delay_ms = 400});
    const std::vector<RoutedCase> cases = {
        {"a jump out of a round trip", {"tcp4", "connect", "jump-out-of", "send", "send", "hello"}},
        {"a jump out of a blocked call", {"tcp4", "connect", "jump-out-of", "recv", "send", "hello"}},
        {"a child of vfork closed the socket", {"tcp4", "connect", "vfork-close", "send", "hello"}},
        {"clearenv before the first socket", {"clearenv", "tcp4", "connect", "send", "hello"}},
    };
    for (const auto &c : cases) {
        for (bool full : {true, false}) {
            SCOPED_TRACE(c.name + (full ? ", full coverage" : ", classic"));
            std::remove(scratch_.file("timelog").c_str());
            std::vector<std::string> argv = {SEND_PATHS_PATH, "to", destination, port};
            argv.insert(argv.end(), c.steps.begin(), c.steps.end());

            auto result = testsupport::run_preloaded(
                {.argv = argv,
                 .cwd = scratch_.path(),
                 .env = {{"QUOR_ROUTE_TABLE", scratch_.file("routes")}, {"KANDREL_COVERAGE", full ? "full" : "no"}}});

            EXPECT_EQ(result.program.exit_status, 0) << testsupport::describe(result.program);
            EXPECT_EQ(result.timelog_bytes, std::vector<long>{5});
            EXPECT_TRUE(result.trace.ends_with(lines::send_first(4, lines::scenario_data, 5, 0) +
                                               lines::tcp_echo(false) + lines::send_returned(5)))
                << result.trace;
        }
    }
}

TEST_F(SocketLifeTest, TheRouteFileIsTheOneNamedWhenTheProgramStarted)
{
    write_routes({destination}, "TCP");
    mkdir(scratch_.file("elsewhere").c_str(), 0755);

    // A relative name, and a program that changes directory before its first socket.
    auto result = run({"chdir", "elsewhere", "tcp4", "to", destination, port, "connect", "send", "hello"},
                      {{"QUOR_ROUTE_TABLE", "routes"}});

    EXPECT_TRUE(result.trace.ends_with(lines::routed_send({lines::tcp}, 4, "hello"))) << result.trace;
    EXPECT_EQ(hop_->records(), filler_records("tcp", {5}));
}

TEST_F(SocketLifeTest, AReconnectToAnUnroutedPeerEndsTheBinding)
{
    write_routes({destination}, "UDP");

    auto result = run({"udp4", "to", destination, port, "connect", "send", "routed", "to", unrouted_destination, port,
                       "connect", "send", "plain"});

    expect_bounced(result, "udp", {6});
    EXPECT_EQ(udp_sink_->datagrams(), (std::vector<std::string>{"routed", "plain"}));
}

// Only a TCP socket's connect has a handshake to pay for; a datagram
// socket's connect sends nothing, whatever the route's hop protocol.
TEST_F(SocketLifeTest, AConnectCostsOneSmallRoundTripForATcpSocketOverAStreamRouteOnly)
{
    struct row {
        const char *socket;
        const char *route;
        std::size_t echoes;
    };
    for (const row &r : {row{"tcp4", "TCP", 1}, row{"udp4", "TCP", 0}, row{"tcp4", "UDP", 0}, row{"udp4", "UDP", 0}}) {
        SCOPED_TRACE(std::string(r.socket) + " over " + r.route);
        write_routes({destination}, r.route);
        hop_.emplace(testsupport::EchoHopOptions{.address = hop});
        std::remove(scratch_.file("timelog").c_str());

        auto result = run({r.socket, "to", destination, port, "connect"});

        EXPECT_EQ(hop_->connect_echoes(), r.echoes);
        EXPECT_TRUE(result.timelog_bytes.empty());
    }
}

TEST_F(SocketLifeTest, ThreadsWhoseFirstCallsRaceTheLoadAreAllRouted)
{
    write_routes({destination}, "TCP");

    auto result = run({"to", destination, port, "first-sends", "8", "hello"});

    expect_bounced(result, "tcp", std::vector<long>(8, 5));
}

struct DescriptorCase {
    std::string name;
    std::vector<std::string> steps;  // after "to DESTINATION PORT"
    std::string last_line;           // of the program's output
};

TEST_F(SocketLifeTest, TheProgramKeepsItsDescriptors)
{
    const std::vector<DescriptorCase> cases = {
        // timelog takes 3: the program's sockets are 4 to 103 with or without the library.
        {"a limit of 128", {"nofile=128", "many", "100", "x"}, "app: many 100 highest 103\n"},
        // At the limit the library gives its hop connection back: every number but timelog's.
        {"a limit of 128 reached", {"nofile=128", "many", "130", "x"}, "app: many 124 highest 127\n"},
        {"numbers near FD_SETSIZE", {"files", "900", "many", "100", "x"}, "app: many 100 highest 1003\n"},
        // The standard streams, timelog and one hop connection.
        {"sockets ended by fclose", {"fdopen-loop", "50", "x"}, "app: open descriptors 5\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_routes({destination}, "TCP");
        std::vector<std::string> steps = {"to", destination, port};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());

        auto result = run(steps);

        EXPECT_TRUE(result.program.out.ends_with(c.last_line)) << result.program.out;
    }
}

TEST_F(SocketLifeTest, ANonBlockingWriteTakenInPiecesIsDelayedForEachByteAboutOnce)
{
    write_routes({destination}, "TCP");
    constexpr long size = 1 << 20;

    auto result = run({"tcp4", "to", destination, port, "connect", "nonblock", "big", std::to_string(size)});

    EXPECT_TRUE(result.program.out.ends_with("app: big " + std::to_string(size) + "\n")) << result.program.out;
    long bounced = 0;
    for (long bytes : result.timelog_bytes) {
        bounced += bytes;
    }
    // Each piece bounces what the socket had room for, never the whole rest.
    EXPECT_LE(bounced, 2 * size) << result.timelog_bytes.size() << " pieces";
}

TEST_F(SocketLifeTest, ALongDatagramIsOneRoundTripOfAllItsChunks)
{
    write_routes({destination}, "UDP");
    const std::string text(1400, 'd');

    auto result = run({"udp4", "to", destination, port, "connect", "send", text});

    EXPECT_EQ(result.timelog_bytes, std::vector<long>{1400});
    auto records = hop_->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].count + records[1].count, 1400u);
    EXPECT_EQ(udp_sink_->datagrams(), std::vector<std::string>{text});
}

TEST_F(SocketLifeTest, NodesDatagramsThroughSyscallAreRouted)
{
    write_routes({destination}, "UDP");

    auto result = testsupport::run_preloaded(
        {.argv = {"node", "-e",
                  "const s = require('dgram').createSocket('udp4');"
                  "s.send('hello', " + port + ", '" + destination + "', () => s.close());"},
         .cwd = scratch_.path(),
         .env = {{"QUOR_ROUTE_TABLE", scratch_.file("routes")}, {"KANDREL_COVERAGE", "full"}}});

    EXPECT_EQ(result.program.exit_status, 0) << testsupport::describe(result.program);
    expect_bounced(result, "udp", {5});
    EXPECT_EQ(udp_sink_->datagrams(), std::vector<std::string>{"hello"});
}

}  // namespace
}  // namespace covered
