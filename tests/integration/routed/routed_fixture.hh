// The network every routed-traffic test runs in, and running the test
// application (route_scenario) in it under the library.
//
// This host is "alpha", 10.77.0.1 on one end of a veth pair; hops answer on
// 10.77.0.2 and 10.77.0.3 at the other end (the standard echo service ignores
// loopback senders); destinations listen on 127.0.0.5 and 127.0.0.6.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "destination_sinks.hh"
#include "files.hh"
#include "lines.hh"
#include "preloaded_run.hh"
#include "udp_endpoint.hh"

namespace routed {

inline const std::string host_address = "10.77.0.1";
inline const std::string hop_address = "10.77.0.2";
inline const std::string second_hop_address = "10.77.0.3";
inline const std::string destination = "127.0.0.5";
inline const std::string second_destination = "127.0.0.6";
inline const std::string unrouted_destination = "127.0.0.9";
constexpr int destination_port = 9000;

// The destinations, keeping what really arrived.
using testsupport::TcpBacklog;
using testsupport::TcpSink;
using UdpSink = testsupport::UdpEndpoint;

// "ADDRESS:9000", as the scenario steps and address texts write it.
std::string at_port(const std::string &address);

using Outcome = testsupport::PreloadedResult;

class RoutedTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Writes the route file that QUOR_ROUTE_TABLE names in run().
    void write_routes(const std::string &text);
    std::string routes_path() const { return scratch_.file("routes"); }

    // Runs the application with these steps in the scratch directory with
    // the route file; it must end cleanly.
    Outcome run(const std::vector<std::string> &steps);
    // The same with the environment given instead of the route variable.
    Outcome run_with_env(const std::vector<std::string> &steps,
                         const std::vector<std::pair<std::string, std::string>> &env);

    testsupport::ScratchDir scratch_;
};

// The lines of loading routes from this host to each of the destinations
// given through the first hop, each of one protocol (1 TCP, 2 UDP).
std::string load(const std::vector<std::string> &to, int protocol, bool debug);

// The bytes that the scenario step text "#N" stands for.
std::string letter_pattern(std::size_t length);

// Checks the timelog: one record per given byte count, each with the
// milliseconds of the matching TIME line of the trace.
void expect_records(const Outcome &outcome, const std::vector<long> &byte_counts);

}  // namespace routed
