// The routed tests' network and application runs.
#include "routed_fixture.hh"

#include "netns.hh"

namespace routed {

std::string at_port(const std::string &address)
{
    return address + ":" + std::to_string(destination_port);
}

void RoutedTest::SetUp()
{
    testsupport::set_host_name("alpha");
    testsupport::use_private_host_table({host_address + " alpha", hop_address + " hopone",
                                         second_hop_address + " hoptwo", destination + " destination"});
    testsupport::add_veth_pair("rt0", host_address, "rt1", hop_address);
    testsupport::add_address("rt1", second_hop_address + "/24");
}

void RoutedTest::write_routes(const std::string &text)
{
    testsupport::write_file(routes_path(), text);
}

Outcome RoutedTest::run(const std::vector<std::string> &steps)
{
    return run_with_env(steps, {{"QUOR_ROUTE_TABLE", routes_path()}});
}

Outcome RoutedTest::run_with_env(const std::vector<std::string> &steps,
                                 const std::vector<std::pair<std::string, std::string>> &env)
{
    std::vector<std::string> argv = {ROUTE_SCENARIO_PATH};
    argv.insert(argv.end(), steps.begin(), steps.end());
    Outcome outcome = testsupport::run_preloaded({.argv = argv, .cwd = scratch_.path(), .env = env});
    EXPECT_FALSE(outcome.program.timed_out);
    EXPECT_EQ(outcome.program.term_signal, 0) << "the application was killed by a signal";
    EXPECT_EQ(outcome.program.exit_status, 0) << outcome.program.err;
    for (const auto &hex : outcome.entry_addresses) {
        EXPECT_GT(hex.size(), 8u) << "rtbl_ptr shows a cut address: " << hex;
    }
    return outcome;
}

std::string load(const std::vector<std::string> &to, int protocol, bool debug)
{
    std::string text = lines::loader::timelog_opened + (debug ? lines::loader::debug_head("alpha") : "");
    for (const auto &address : to) {
        text += debug ? lines::loader::stored_debug(host_address, address, hop_address, protocol)
                      : lines::loader::stored(host_address, address, hop_address);
    }
    return text + (debug ? lines::loader::debug_tail : "");
}

std::string letter_pattern(std::size_t length)
{
    std::string pattern(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        pattern[i] = static_cast<char>('a' + i % 26);
    }
    return pattern;
}

void expect_records(const Outcome &outcome, const std::vector<long> &byte_counts)
{
    EXPECT_EQ(outcome.timelog_bytes, byte_counts);
    EXPECT_EQ(outcome.timelog_ms, outcome.times)
        << "each record carries the milliseconds of its round trip's TIME line";
}

}  // namespace routed
