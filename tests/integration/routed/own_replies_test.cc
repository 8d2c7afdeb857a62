// The application's replies stay its own: a datagram round trip of a route
// without a hop socket goes over a socket of the route's own, so the
// destination's replies all reach the application, and the hop's echo,
// however late, never does.
#include <gtest/gtest.h>

#include <csignal>

#include "hop_services.hh"
#include "routed_fixture.hh"
#include "udp_endpoint.hh"
#include "waiting.hh"

namespace routed {
namespace {

using testsupport::EchoHop;
using testsupport::HopRecord;
using OwnReplies = RoutedTest;

constexpr int echo_port = 6000;

// tavik_serv, the echo server, answering on every address.
class EchoServer {
public:
    explicit EchoServer(const std::vector<std::pair<std::string, std::string>> &env = {}, const std::string &cwd = "")
        : program_({.argv = {TAVIK_SERV_PATH}, .env = env, .cwd = cwd})
    {
        testsupport::wait_until([] { return testsupport::udp_echoes("127.0.0.1", echo_port); }, "tavik_serv");
    }
    testsupport::ProgramResult stop() { return program_.stop(SIGTERM); }

private:
    testsupport::BackgroundProgram program_;
};

// The application sends to the echo server on the routed destination and
// reads what comes back: the server's echoes, whether the hop answers at
// once, late (after the round trip gave up on it) or never.
TEST_F(OwnReplies, TheDestinationsRepliesReachTheApplicationAndTheHopsEchoNever)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    EchoServer server;
    const std::string to = destination + ":" + std::to_string(echo_port);
    // The server answers from the loopback's first address.
    const std::string from = "app: reply from 127.0.0.1:" + std::to_string(echo_port) + " ";
    struct {
        const char *what;
        int hop_delay_ms;
        std::vector<std::string> sent;
    } cases[] = {
        {"a hop that answers while the server's first reply is on its way", 100, {"one", "two"}},
        {"a hop that answers after the round trip waited out its bound", 2500, {"late"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EchoHop hop({hop_address, 7, c.hop_delay_ms});
        std::vector<std::string> steps = {"udp"};
        std::string trace = load({destination}, 2, false) + lines::udp_socket(4);
        std::string out = "app: socket 4\n", replies, hop_records;
        std::vector<long> records;
        for (const auto &bytes : c.sent) {
            steps.insert(steps.end(), {"sendto", to, bytes});
            trace += lines::routed_sendto({lines::udp}, "", bytes, false);
            out += "app: sendto " + std::to_string(bytes.size()) + "\n";
            replies += from + bytes + "\n";
            records.push_back(static_cast<long>(bytes.size()));
            hop_records += "udp " + std::to_string(bytes.size()) + " " + bytes + "\n";
        }
        // Every reply, then a wait that the hop's late echo would fall into.
        for (std::size_t i = 0; i <= c.sent.size(); ++i) {
            steps.push_back("reply");
        }
        auto outcome = run(steps);
        EXPECT_EQ(outcome.trace, trace);
        EXPECT_EQ(outcome.program.out, out + replies + "app: no reply\n");
        expect_records(outcome, records);
        EXPECT_EQ(hop.record_text(), hop_records);
    }
}

// The echo server itself under the library, its route naming one client:
// each echo to that client bounces off the hop first, and meanwhile the
// other clients' datagrams wait for the server, not for the round trip. The
// hop's echo never reaches the server, so the two never echo each other.
TEST_F(OwnReplies, EchoServerWithARoutedClientServesEveryClient)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    EchoHop hop({hop_address, 7, 200});
    EchoServer server({{"LD_PRELOAD", KANDREL_LIBRARY_PATH}, {"QUOR_ROUTE_TABLE", routes_path()}}, scratch_.path());
    testsupport::UdpEndpoint routed_client(destination), other_client(second_destination);
    for (const std::string round : {"1", "2"}) {
        routed_client.send_to("127.0.0.1", echo_port, "routed" + round);
        other_client.send_to("127.0.0.1", echo_port, "other" + round);
        auto other_echo = other_client.receive();
        auto routed_echo = routed_client.receive();
        ASSERT_TRUE(other_echo && routed_echo);
        EXPECT_EQ(other_echo->bytes, "other" + round);
        EXPECT_EQ(routed_echo->bytes, "routed" + round);
    }
    EXPECT_EQ(hop.records(), (std::vector<HopRecord>{{"udp", 7, "routed1"}, {"udp", 7, "routed2"}}));

    // Once one more exchange is done, the server has traced the rounds.
    testsupport::wait_until([] { return testsupport::udp_echoes("127.0.0.1", echo_port); }, "tavik_serv");
    auto stopped = server.stop();
    std::vector<long> times;
    const std::string trace = testsupport::mask_times(stopped.err, times);
    const std::string round_trips = lines::routed_sendto({lines::udp}, "", "routed1", false) + lines::sendto(6, false) +
                                    lines::routed_sendto({lines::udp}, "", "routed2", false) + lines::sendto(6, false);
    EXPECT_NE(trace.find(round_trips), std::string::npos) << trace;
    EXPECT_EQ(times.size(), 2u) << "one round trip per echo to the routed client";
}

}  // namespace
}  // namespace routed
