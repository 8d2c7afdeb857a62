// The round-trip client under the preload library, its datagrams to the echo
// server routed through a hop that waits: the times it reports include the
// hop's wait, and the echoes still arrive intact.
#include <gtest/gtest.h>

#include <regex>

#include "hop_services.hh"
#include "routed_fixture.hh"
#include "summary_records.hh"
#include "waiting.hh"

namespace routed {
namespace {

constexpr int hop_delay_ms = 30;

using RoutedTool = RoutedTest;

TEST_F(RoutedTool, ClientTimesIncludeTheHopsWait)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    testsupport::EchoHop hop({hop_address, 7, hop_delay_ms});
    testsupport::BackgroundProgram server({.argv = {TAVIK_SERV_PATH}});
    testsupport::wait_until([] { return testsupport::udp_echoes(destination, 6000); }, "tavik_serv");

    auto outcome = testsupport::run_preloaded({.argv = {TAVIK_CLI_PATH, destination, "64"},
                                               .cwd = scratch_.path(),
                                               .env = {{"QUOR_ROUTE_TABLE", routes_path()}},
                                               .stdin_text = "\n\n\n"});
    ASSERT_EQ(outcome.program.exit_status, 0) << outcome.program.err;

    // The client keeps whatever descriptors it inherits, so its socket's
    // number depends on the test runner.
    const std::string value_line = lines::last_line(lines::udp_socket(0));
    const auto at = outcome.trace.find(value_line.substr(0, value_line.size() - 2));
    ASSERT_NE(at, std::string::npos) << outcome.trace;
    const long s = std::stol(outcome.trace.substr(at + value_line.size() - 2));
    const std::string exchange_lines = lines::routed_sendto({lines::udp}, "", std::string(64, 'a'), false);
    EXPECT_EQ(outcome.trace, load({destination}, 2, false) + lines::udp_socket(s) +
                                 lines::bind(s, "0.0.0.0:0", 16, 0) + exchange_lines + exchange_lines +
                                 exchange_lines + lines::close(0));
    expect_records(outcome, {64, 64, 64});
    ASSERT_EQ(outcome.times.size(), 3u);
    for (long ms : outcome.times) {
        EXPECT_GE(ms, hop_delay_ms);
    }

    // The client's own report: each echo whole, each time at least the wait.
    std::vector<long> client_times;
    std::string exchange = "Preparing Message\nTavik Client received 64 bytes\n" + std::string(64, 'a') +
                           "\n\n\nTIME=#. ms\nPress Enter\n";
    EXPECT_EQ(testsupport::mask_times(outcome.program.out, client_times),
              "Returned from gethostbyname\nDestination = 127.0.0.5 Packet Length = 64\n"
              "Press Enter\n" + exchange + exchange + exchange);
    ASSERT_EQ(client_times.size(), 3u);
    for (std::size_t i = 0; i < client_times.size(); ++i) {
        EXPECT_GE(client_times[i], hop_delay_ms);
        EXPECT_GE(client_times[i], outcome.times[i]) << "the round trip lies inside the client's";
    }

    // Its log, read as the summary reads it: one line per exchange.
    const std::string log_text = testsupport::read_file(scratch_.file("tavik.time"));
    EXPECT_TRUE(std::regex_match(log_text, std::regex("(127\\.0\\.0\\.5\t[0-9]+\\. ms\n){3}"))) << log_text;
    auto log = launcher::read_timing_records(log_text);
    for (long ms : log.ms) {
        EXPECT_GE(ms, hop_delay_ms);
    }
    EXPECT_EQ(hop.record_text(), "udp 64 " + std::string(64, 'a') + "\nudp 64 " + std::string(64, 'a') +
                                     "\nudp 64 " + std::string(64, 'a') + "\n");
}

}  // namespace
}  // namespace routed
