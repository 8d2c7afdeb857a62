// The round-trip client under the preload library, its datagrams to the echo
// server routed through a hop that waits: the times it reports include the
// hop's wait, and the echoes still arrive intact.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

constexpr int server_port = 6000;
constexpr int hop_delay_ms = 30;

// Returns once tavik_serv echoes on the destination address.
void wait_for_server()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(server_port);
    inet_pton(AF_INET, destination.c_str(), &server.sin_addr);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        sendto(s, "probe", 5, 0, reinterpret_cast<sockaddr *>(&server), sizeof server);
        pollfd wait_for{s, POLLIN, 0};
        answered = poll(&wait_for, 1, 20) == 1;
    }
    close(s);
    ASSERT_TRUE(answered) << "tavik_serv did not come up";
}

using RoutedTool = RoutedTest;

TEST_F(RoutedTool, ClientTimesIncludeTheHopsWait)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    testsupport::EchoHop hop({hop_address, 7, hop_delay_ms});
    testsupport::ProgramRun server_run;
    server_run.argv = {TAVIK_SERV_PATH};
    testsupport::BackgroundProgram server(server_run);
    wait_for_server();

    ScenarioSetup setup;
    setup.program = TAVIK_CLI_PATH;
    setup.steps = {destination, "64"};
    setup.stdin_text = "\n\n\n";
    setup.cwd = scratch_.path();
    setup.env = {{"QUOR_ROUTE_TABLE", routes_path()}};
    ScenarioOutcome outcome = run_scenario(setup);
    ASSERT_EQ(outcome.program.exit_status, 0) << outcome.program.err;

    // The client keeps whatever descriptors it inherits, so its socket's
    // number depends on the test runner.
    std::smatch socket_value;
    ASSERT_TRUE(std::regex_search(outcome.trace, socket_value,
                                  std::regex("socket value = ([0-9]+)\n")));
    const std::string s = socket_value[1].str();
    std::string exchange_lines = "UDPecho()\t:\tTIME=#. ms\n"
                                 "sendto()\t:\treturn value = 64\n";
    EXPECT_EQ(outcome.trace, loader::timelog_opened +
                                 loader::stored(host_address, destination, hop_address) +
                                 socket_lines("SOCK_DGRAM", std::stoi(s)) + "bind()\t\t:\ts=" + s +
                                 " name=0.0.0.0:0 namelen=16\n"
                                 "bind()\t\t:\treturn value = 0\n" +
                                 exchange_lines + exchange_lines + exchange_lines +
                                 "close()\t\t:\t0\n");
    expect_records(outcome, {64, 64, 64});
    ASSERT_EQ(outcome.times.size(), 3u);
    for (long ms : outcome.times) {
        EXPECT_GE(ms, hop_delay_ms);
    }

    // The client's own report: each echo whole, each time at least the wait.
    std::vector<long> client_times;
    std::string exchange = "Preparing Message\nTavik Client received 64 bytes\n" +
                           std::string(64, 'a') + "\n\n\nTIME=#. ms\nPress Enter\n";
    EXPECT_EQ(without_times(outcome.program.out, client_times),
              "Returned from gethostbyname\nDestination = 127.0.0.5 Packet Length = 64\n"
              "Press Enter\n" + exchange + exchange + exchange);
    ASSERT_EQ(client_times.size(), 3u);
    for (std::size_t i = 0; i < client_times.size(); ++i) {
        EXPECT_GE(client_times[i], hop_delay_ms);
        EXPECT_GE(client_times[i], outcome.times[i]) << "the round trip lies inside the client's";
    }

    std::string log = testsupport::read_file(scratch_.file("tavik.time"));
    std::regex log_line("127\\.0\\.0\\.5\t([0-9]+)\\. ms\n");
    std::size_t lines = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), log_line), end; it != end; ++it) {
        EXPECT_GE(std::stol((*it)[1].str()), hop_delay_ms);
        ++lines;
    }
    EXPECT_EQ(lines, 3u) << log;
    EXPECT_EQ(hop.record_text(), "udp 64 " + std::string(64, 'a') + "\nudp 64 " +
                                     std::string(64, 'a') + "\nudp 64 " + std::string(64, 'a') +
                                     "\n");
}

}  // namespace
}  // namespace routed
