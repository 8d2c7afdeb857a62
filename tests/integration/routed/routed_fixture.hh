// The network every routed-traffic test runs in, and the trace lines that
// recur across the tests.
//
// This host is "alpha", 10.77.0.1 on one end of a veth pair; hops answer on
// 10.77.0.2 and 10.77.0.3 at the other end (the standard echo service ignores
// loopback senders); destinations listen on 127.0.0.5 and 127.0.0.6.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.hh"
#include "scenario_run.hh"

namespace routed {

inline const std::string host_address = "10.77.0.1";
inline const std::string hop_address = "10.77.0.2";
inline const std::string second_hop_address = "10.77.0.3";
inline const std::string destination = "127.0.0.5";
inline const std::string second_destination = "127.0.0.6";
inline const std::string unrouted_destination = "127.0.0.9";
constexpr int destination_port = 9000;

// "ADDRESS:9000", as the scenario steps and address texts write it.
std::string at_port(const std::string &address);

class RoutedTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Writes the route file that QUOR_ROUTE_TABLE names in run().
    void write_routes(const std::string &text);
    std::string routes_path() const { return scratch_.file("routes"); }

    // Runs the application in the scratch directory with the route file.
    ScenarioOutcome run(const std::vector<std::string> &steps);
    // The same with the environment given instead of the route variable.
    ScenarioOutcome run_with_env(const std::vector<std::string> &steps,
                                 const std::vector<std::pair<std::string, std::string>> &env);

    testsupport::ScratchDir scratch_;
};

// The two lines of a socket call for an internet socket of protocol 0.
std::string socket_lines(const char *type_name, int descriptor);

namespace loader {

extern const std::string timelog_opened;
// Lines that debug adds before the route lines.
std::string debug_head(const std::string &host_name);
extern const std::string debug_tail;
extern const std::string debug_skipped;  // a line of fewer than four words
extern const std::string not_mine;       // a line for another host
// A stored route: the two unconditional lines, and with debug the family and
// protocol lines after them.
std::string stored(const std::string &from, const std::string &to, const std::string &hop);
std::string stored_debug(const std::string &from, const std::string &to, const std::string &hop,
                         int protocol);

}  // namespace loader

// The debug lines of a lookup by destination that visits the entries whose
// to addresses are given, for the destination address name; found says
// whether the last visited entry matched.
std::string lookup_lines(const std::vector<std::string> &visited_to, const std::string &name,
                         bool found);

// The bytes that the scenario step text "#N" stands for.
std::string letter_pattern(std::size_t length);

// The signed 32-bit value of an address's four bytes read big-endian.
long address_value(const std::string &dotted);

// Checks the timelog: one record per given byte count, each with the
// milliseconds of the matching TIME line of the trace.
void expect_records(const ScenarioOutcome &outcome, const std::vector<int> &byte_counts);

}  // namespace routed
