// scripts/demo on an existing build: its private network, the two sets of
// times side by side, the trace and timelog it shows, and its clean-up, at
// the end and on Ctrl-C; its testbed of three hosts and their delay matrix.
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "launcher_test_support.hh"
#include "lines.hh"

namespace {


constexpr int hop_delay_ms = 30;

std::vector<std::string> demo_argv(int delay_ms, int exchanges)
{
    return {launchertest::source_dir + "/scripts/demo", "--no-setup",
            "--build",                                  launchertest::build_dir,
            "--delay-ms",                               std::to_string(delay_ms),
            "--exchanges",                              std::to_string(exchanges)};
}

std::string namespaces()
{
    return testsupport::run_program({.argv = {"ip", "netns", "list"}}).out;
}

class Demo : public ::testing::Test {
protected:
    // The demo's namespaces are named under /run/netns: a private /run keeps
    // them, and anything left behind, inside this test.
    void SetUp() override
    {
        ASSERT_EQ(mount("none", "/run", "tmpfs", 0, nullptr), 0);
    }
};

TEST_F(Demo, ShowsPlainAndRoutedTimesSideBySideAndCleansUp)
{
    auto result = testsupport::run_program({.argv = demo_argv(hop_delay_ms, 3), .timeout_ms = 60000});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;

    static const std::regex row(R"(\n([0-9]+) +([0-9]+) +([0-9]+) +([0-9]+)(?=\n))");
    int rows = 0;
    for (std::sregex_iterator it(result.out.begin(), result.out.end(), row), end; it != end;
         ++it) {
        ++rows;
        EXPECT_EQ(std::stoi((*it)[1]), rows);
        EXPECT_LT(std::stoi((*it)[2]), hop_delay_ms) << "plain exchange " << rows;
        EXPECT_EQ(std::stoi((*it)[3]), hop_delay_ms);
        EXPECT_GE(std::stoi((*it)[4]), hop_delay_ms) << "routed exchange " << rows;
    }
    EXPECT_EQ(rows, 3) << result.out;
    EXPECT_NE(result.out.find("every exchange under kandrel-run took at least the hop delay\n"),
              std::string::npos);
    const std::string stored = lines::loader::stored("10.77.1.1", "10.77.1.2", "10.77.2.2");
    EXPECT_NE(result.out.find("  " + stored.substr(stored.find('\n') + 1)),
              std::string::npos)
        << result.out;
    static const std::regex record(R"(\n  64 bytes ([0-9]+) ms(?=\n))");
    int records = 0;
    for (std::sregex_iterator it(result.out.begin(), result.out.end(), record), end; it != end;
         ++it) {
        ++records;
        EXPECT_GE(std::stoi((*it)[1]), hop_delay_ms);
    }
    EXPECT_EQ(records, 3);
    EXPECT_NE(result.out.find("timelog: 3 timelog records\n"), std::string::npos);
    EXPECT_EQ(namespaces(), "");
}

// Each row: the host, the configured hop waits to alpha, beta, gamma, then the
// measured ones ("-" to itself).
TEST_F(Demo, TestbedMeasuresEveryRouteAtLeastItsHopWaitAndCleansUp)
{
    auto result = testsupport::run_program(
        {.argv = {launchertest::source_dir + "/scripts/demo", "--testbed", "--no-setup", "--build",
                  launchertest::build_dir, "--exchanges", "2"},
         .timeout_ms = 60000});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;

    static const std::regex row(R"(\n(\w+) +(\S+) +(\S+) +(\S+) +(\S+) +(\S+) +(\S+)(?=\n))");
    const std::vector<std::string> hosts = {"alpha", "beta", "gamma"};
    std::vector<std::string> rows;
    for (std::sregex_iterator it(result.out.begin(), result.out.end(), row), end; it != end;
         ++it) {
        const auto &cells = *it;
        if (std::find(hosts.begin(), hosts.end(), cells[1]) == hosts.end()) {
            continue;
        }
        rows.push_back(cells[1]);
        for (int to = 0; to < 3; ++to) {
            std::string configured = cells[2 + to], measured = cells[5 + to];
            if (hosts[to] == cells[1]) {
                EXPECT_EQ(configured + measured, "--") << cells[0];
            } else {
                EXPECT_GE(std::stoi(measured), std::stoi(configured))
                    << cells[1] << " -> " << hosts[to];
            }
        }
    }
    EXPECT_EQ(rows, hosts) << result.out;

    // Once the launcher records and replays, alpha's replayed exchanges wait
    // at least their recorded round trips.
    if (result.out.find("record/replay is not available in this build") == std::string::npos) {
        static const std::regex replayed(
            R"(\nalpha -> (beta|gamma) +[0-9]+ +([0-9]+)\.[0-9] +([0-9]+)(?=\n))");
        int replays = 0;
        for (std::sregex_iterator it(result.out.begin(), result.out.end(), replayed), end;
             it != end; ++it) {
            ++replays;
            EXPECT_GE(std::stoi((*it)[3]), std::stoi((*it)[2])) << (*it)[0];
        }
        EXPECT_EQ(replays, 4) << result.out;
    }
    EXPECT_EQ(namespaces(), "");
}

TEST_F(Demo, CtrlCStopsItAndCleansUp)
{
    testsupport::ProgramRun run;
    // Its own process group, so that the interrupt reaches every process in
    // it, as Ctrl-C at a terminal does.
    run.argv = demo_argv(2000, 5);
    run.argv.insert(run.argv.begin(), "setsid");
    testsupport::BackgroundProgram demo(run);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (std::string listed; std::count(listed.begin(), listed.end(), '\n') < 3;
         listed = namespaces()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the demo's network never came up";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(kill(-demo.pid(), SIGINT), 0);
    auto result = demo.stop(0);

    EXPECT_EQ(result.exit_status, 130) << result.out << result.err;
    EXPECT_NE(result.err.find("demo: interrupted\n"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("under kandrel-run (ms)"), std::string::npos);
    EXPECT_EQ(namespaces(), "");
}

}  // namespace
