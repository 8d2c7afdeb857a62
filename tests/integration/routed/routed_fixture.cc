// The routed tests' network and recurring trace lines.
#include "routed_fixture.hh"

#include <arpa/inet.h>

#include <cstdint>

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
                                         second_hop_address + " hoptwo",
                                         destination + " destination"});
    testsupport::add_veth_pair("rt0", host_address, "rt1", hop_address);
    testsupport::add_address("rt1", second_hop_address + "/24");
}

void RoutedTest::write_routes(const std::string &text)
{
    testsupport::write_file(routes_path(), text);
}

ScenarioOutcome RoutedTest::run(const std::vector<std::string> &steps)
{
    return run_with_env(steps, {{"QUOR_ROUTE_TABLE", routes_path()}});
}

ScenarioOutcome RoutedTest::run_with_env(
    const std::vector<std::string> &steps,
    const std::vector<std::pair<std::string, std::string>> &env)
{
    ScenarioSetup setup;
    setup.cwd = scratch_.path();
    setup.env = env;
    setup.steps = steps;
    ScenarioOutcome outcome = run_scenario(setup);
    EXPECT_FALSE(outcome.program.timed_out);
    EXPECT_EQ(outcome.program.term_signal, 0) << "the application was killed by a signal";
    EXPECT_EQ(outcome.program.exit_status, 0) << outcome.program.err;
    for (const auto &hex : outcome.entry_addresses) {
        EXPECT_GT(hex.size(), 8u) << "rtbl_ptr shows a cut address: " << hex;
    }
    return outcome;
}

std::string socket_lines(const char *type_name, int descriptor)
{
    return std::string("socket()\t:\tfamily=AF_INET type=") + type_name +
           " protocol=IPPROTO_IP\nsocket()\t:\tsocket value = " + std::to_string(descriptor) +
           "\n";
}

namespace loader {

const std::string timelog_opened = "init_route_tbl()\t:\ttimelog file opened\n";
const std::string debug_tail = "init_route_tbl()\t:\tRoute table initialised\n";
const std::string debug_skipped = "init_route_tbl() \t:\tIn loop\n";
const std::string not_mine = "init_route_tbl()\t:\tFrom doesnot match myname\n";

std::string debug_head(const std::string &host_name)
{
    return "init_route_tbl()\t:\tRoute Table File read\n"
           "init_route_tbl()\t:\tHostname  " + host_name + "\n";
}

std::string stored(const std::string &from, const std::string &to, const std::string &hop)
{
    return "init_route_tbl()\t:\tFrom matches myname\n"
           "init_route_tbl()\t:\tAdded route (" + from + ")=>(" + to + ") : (" + hop + ")\n";
}

std::string stored_debug(const std::string &from, const std::string &to, const std::string &hop,
                         int protocol)
{
    return stored(from, to, hop) +
           "init_route_tbl()\t:\tfrom_fam = 2, to_fam =2, hop_fam = 2\n"
           "init_route_tbl()\t:\tprotocol = " + std::to_string(protocol) + "\n";
}

}  // namespace loader

std::string letter_pattern(std::size_t length)
{
    std::string pattern(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        pattern[i] = static_cast<char>('a' + i % 26);
    }
    return pattern;
}

long address_value(const std::string &dotted)
{
    in_addr address{};
    inet_pton(AF_INET, dotted.c_str(), &address);
    return static_cast<int32_t>(ntohl(address.s_addr));
}

std::string lookup_lines(const std::vector<std::string> &visited_to, const std::string &name,
                         bool found)
{
    std::string lines;
    for (const auto &to : visited_to) {
        lines += "get_rtbl_ent()\t:\tto=" + std::to_string(address_value(to)) +
                 " name=" + std::to_string(address_value(name)) + "\n";
    }
    if (found) {
        lines += "get_rtbl_ent()\t:\tEntry found in route table\n";
    }
    return lines;
}

void expect_records(const ScenarioOutcome &outcome, const std::vector<int> &byte_counts)
{
    std::string expected;
    for (int count : byte_counts) {
        expected += std::to_string(count) + " bytes # ms\n";
    }
    EXPECT_EQ(outcome.timelog, expected);
    EXPECT_EQ(outcome.timelog_ms, outcome.times)
        << "each record carries the milliseconds of its round trip's TIME line";
}

}  // namespace routed
