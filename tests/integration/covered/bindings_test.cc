// Full coverage's bindings as programs use them: many connections at once,
// threads and processes sharing one socket, accepted connections, the end
// of a binding with its socket; the hop's view of the bytes, route words
// of IPv6 and of names with both kinds of address, a hop over IPv6, where the
// library's lines go; and the classic behaviour left as it was.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <set>
#include <string>
#include <vector>

#include "covered_fixture.hh"

namespace covered {
namespace {

using BindingTest = CoveredTest;

// Where the library keeps its first hop connection: above the numbers
// select takes where the limit allows, else at the top, out of the program's
// way.
long first_hop_descriptor()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur > FD_SETSIZE ? FD_SETSIZE : static_cast<long>(limit.rlim_cur) - 1;
}
const long hop_descriptor = first_hop_descriptor();

TEST_F(BindingTest, ManyConnectionsShareOneHopConnectionWhenTheirSendsTakeTurns)
{
    write_routes({destination}, "TCP");
    constexpr int count = 20;
    std::vector<std::string> steps = {"to", destination, port}, sent;
    for (int k = 0; k < count; ++k) {
        steps.insert(steps.end(), {"tcp4", "connect"});
    }
    for (int k = 0; k < count; ++k) {
        sent.push_back("connection " + std::to_string(k));
        steps.insert(steps.end(), {"use=" + std::to_string(k), "send", sent.back()});
    }

    auto result = run(steps);

    auto connections = hop_->connections();
    EXPECT_EQ(std::set<std::string>(connections.begin(), connections.end()).size(), 1u);
    EXPECT_EQ(result.timelog_bytes.size(), std::size_t{count});
    EXPECT_EQ(hop_->records().size(), std::size_t{count});
    EXPECT_EQ(tcp_sink_->streams(), sent);
}

TEST_F(BindingTest, TwoThreadsOnOneSocketEachGetTheirOwnEchoes)
{
    write_routes({destination}, "TCP");
    const std::string text = "0123456789";

    auto result = run({"tcp4", "to", destination, port, "connect", "threads", "2", "50", text, "close"});

    expect_bounced(result, "tcp", std::vector<long>(100, 10));
    EXPECT_EQ(result.times.size(), 100u);
    std::string all;
    for (int k = 0; k < 100; ++k) {
        all += text;
    }
    EXPECT_EQ(tcp_sink_->streams(), std::vector<std::string>{all});
}

TEST_F(BindingTest, AChildOfForkOpensItsOwnHopConnection)
{
    write_routes({destination}, "TCP");

    auto result = run({"tcp4", "to", destination, port, "connect", "send", "before", "fork", "send", "after"});

    EXPECT_EQ(result.program.out, "app: connect 0\napp: send 6\napp: send 5\napp: child exit 0\napp: send 5\n");
    EXPECT_EQ(hop_->connections().size(), 2u);
    expect_bounced(result, "tcp", {6, 5, 5});
    EXPECT_EQ(tcp_sink_->streams(), std::vector<std::string>{"beforeafterafter"});
}

TEST_F(BindingTest, AServerBouncesItsRepliesToARoutedPeer)
{
    write_routes({destination}, "TCP");

    // A listener on 127.0.0.1, a client from the routed address to it, and
    // the reply on the accepted socket (6).
    auto result = run({"tcp4", "to", "127.0.0.1", "9100", "bind", "listen", "tcp4", "to", destination, "0", "bind",
                       "to", "127.0.0.1", "9100", "connect", "use=0", "accept4", "send", "reply", "use=1", "recv"});

    EXPECT_NE(result.trace.find(lines::accept4(4, lines::null_text, 6, lines::null_text, lines::null_text) +
                                lines::send_first(6, lines::scenario_data, 5, 0) + lines::tcp_echo(false) +
                                lines::send_returned(5)),
              std::string::npos)
        << result.trace;
    expect_bounced(result, "tcp", {5});
    EXPECT_TRUE(result.program.out.ends_with("app: recv reply\n")) << result.program.out;
}

TEST_F(BindingTest, CloseEndsTheBinding)
{
    write_routes({destination}, "UDP");

    auto result = run({"udp4", "to", destination, port, "connect", "send", "routed", "close", "udp4", "to",
                       unrouted_destination, port, "connect", "send", "plain", "close"});

    EXPECT_EQ(result.trace, load({destination}) + lines::udp_socket(4) + lines::connect_returned(0) +
                                lines::routed_send({lines::udp}, 4, "routed") + lines::close(0) +
                                lines::udp_socket(4) + lines::connect_returned(0) +
                                lines::send(4, lines::scenario_data, 5, 0, 5) + lines::close(0));
    EXPECT_EQ(hop_->records(), filler_records("udp", {6}));
    EXPECT_EQ(udp_sink_->datagrams(), (std::vector<std::string>{"routed", "plain"}));
}

TEST_F(BindingTest, TheHopSeesTheProgramsBytesOnlyWhenAsked)
{
    write_routes({destination}, "TCP");

    auto result = run({"tcp4", "to", destination, port, "connect", "send", "hello", "writev", "world"},
                      {{"KANDREL_ECHO_PAYLOAD", "1"}});

    EXPECT_EQ(hop_->records(),
              (std::vector<testsupport::HopRecord>{{"tcp", 5, "hello"}, {"tcp", 5, "world"}}));
    EXPECT_EQ(tcp_sink_->streams(), std::vector<std::string>{"helloworld"});
}

TEST_F(BindingTest, WithDebugTheEchoGoesToTheTraceAndNothingToStandardOutput)
{
    write_routes({destination}, "TCP");

    auto result = run({"debug=1", "tcp4", "to", destination, port, "connect", "send", "hello", "close"},
                      {{"KANDREL_ECHO_PAYLOAD", "1"}});

    EXPECT_EQ(result.program.out, "app: connect 0\napp: send 5\napp: close 0\n");
    EXPECT_NE(result.trace.find(lines::bound_connect(4, hop_descriptor, hop + ":7")), std::string::npos) << result.trace;
    EXPECT_NE(result.trace.find(lines::echo_shown("hello")), std::string::npos) << result.trace;
}

TEST_F(BindingTest, ANameWithBothKindsOfAddressRoutesEachOfThem)
{
    write_routes({"dual"}, "UDP");

    auto result = run({"udp4", "to", destination, port, "sendto-to", "four", "udp6", "to", destination6, port,
                       "sendto-to", "six"});

    expect_bounced(result, "udp", {4, 3});
    EXPECT_EQ(udp_sink_->datagrams(), (std::vector<std::string>{"four", "six"}));
}

TEST_F(BindingTest, AHopReachedOverIpv6)
{
    testsupport::EchoHop hop_over_ipv6({.address = hop6});
    testsupport::write_file(scratch_.file("routes"), "gamma " + destination + " " + hop6 + " TCP\ngamma " +
                                                         destination6 + " " + hop6 + " UDP\n");

    auto result = run({"debug=1", "tcp4", "to", destination, port, "connect", "send", "stream", "udp6", "to",
                       destination6, port, "connect", "send", "datagram"});

    EXPECT_NE(result.trace.find(lines::bound_connect(4, hop_descriptor, "[" + hop6 + "]:7")), std::string::npos) << result.trace;
    EXPECT_EQ(hop_over_ipv6.records(), (std::vector<testsupport::HopRecord>{
                                           filler_records("tcp", {6})[0], filler_records("udp", {8})[0]}));
    EXPECT_TRUE(hop_->records().empty());
    EXPECT_EQ(udp_sink_->datagrams(), std::vector<std::string>{"datagram"});
}

TEST_F(BindingTest, TheTraceGoesToTheFileNamedForTheProcess)
{
    write_routes({destination}, "TCP");

    auto result = run({"tcp4", "to", destination, port, "connect", "send", "hello", "close"},
                      {{"KANDREL_TRACE_FILE", scratch_.file("trace.%p")}});

    EXPECT_EQ(result.program.err, "");
    std::vector<std::string> traces;
    DIR *dir = opendir(scratch_.path().c_str());
    while (dirent *entry = readdir(dir)) {
        if (std::string(entry->d_name).starts_with("trace.")) {
            traces.push_back(entry->d_name);
        }
    }
    closedir(dir);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_NE(traces[0].find_first_of("0123456789"), std::string::npos) << traces[0];
    // The trace file takes descriptor 3 and timelog 4: the socket is 5.
    std::vector<long> times;
    EXPECT_EQ(testsupport::mask_times(testsupport::read_file(scratch_.file(traces[0])), times),
              load({destination}) + lines::tcp_socket(5) + lines::connect_returned(0) +
                  lines::routed_send({lines::tcp}, 5, "hello") + lines::close(0));
}

TEST_F(BindingTest, WithoutFullCoverageWritevPassesUntraced)
{
    write_routes({destination}, "TCP");

    auto result = testsupport::run_preloaded(
        {.argv = {SEND_PATHS_PATH, "tcp4", "to", destination, port, "connect", "writev", "hello", "close"},
         .cwd = scratch_.path(),
         .env = {{"QUOR_ROUTE_TABLE", scratch_.file("routes")}}});

    EXPECT_EQ(result.trace, load({destination}) + lines::tcp_socket(4) + lines::connect_returned(0) + lines::close(0));
    EXPECT_TRUE(result.timelog_bytes.empty());
    EXPECT_TRUE(hop_->records().empty());
    EXPECT_EQ(tcp_sink_->streams(), std::vector<std::string>{"hello"});
}

}  // namespace
}  // namespace covered
