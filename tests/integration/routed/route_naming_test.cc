// Which route lines are this host's and which names must resolve, with full
// coverage: KANDREL_HOST names the host in place of its host name (and need
// not resolve), and a replayed run never resolves its hops.
#include <gtest/gtest.h>

#include "hop_services.hh"
#include "recording_line.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using RouteNaming = RoutedTest;
using testsupport::EchoHop;
namespace loader = lines::loader;

TEST_F(RouteNaming, KandrelHostChoosesTheLinesThatApply)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n" + "web-7f9c " + destination + " " +
                 second_hop_address + " UDP\n");
    struct row {
        std::string host;  // empty: KANDREL_HOST unset
        std::string load;
        bool through_second_hop;
    };
    for (const row &r : {row{"", loader::stored(host_address, destination, hop_address) + loader::not_mine, false},
                         row{"web-7f9c", loader::not_mine + loader::stored("web-7f9c", destination, second_hop_address),
                             true}}) {
        EchoHop first({.address = hop_address});
        EchoHop second({.address = second_hop_address});
        UdpSink sink(destination, destination_port);
        std::vector<std::pair<std::string, std::string>> env = {{"QUOR_ROUTE_TABLE", routes_path()},
                                                                {"KANDREL_COVERAGE", "full"}};
        if (!r.host.empty()) {
            env.emplace_back("KANDREL_HOST", r.host);
        }
        auto outcome = run_with_env({"udp", "connect", at_port(destination), "send", "hello"}, env);
        EXPECT_TRUE(outcome.trace.starts_with(loader::timelog_opened + r.load)) << r.host << "\n" << outcome.trace;
        EXPECT_EQ(first.records().empty(), r.through_second_hop) << r.host;
        EXPECT_EQ(second.records().empty(), !r.through_second_hop) << r.host;
        EXPECT_EQ(sink.datagrams(), std::vector<std::string>{"hello"});
    }
}

TEST_F(RouteNaming, ReplayNeedsNoHopNameToResolve)
{
    write_routes("alpha " + destination + " hop-gone TCP\n");
    recorded_trip trip{1000, 1, "", "", "TCP", 5, 30000, trip_outcome::echoed};
    std::snprintf(trip.to, sizeof trip.to, "%s", destination.c_str());
    std::snprintf(trip.hop, sizeof trip.hop, "hop-gone");
    char line[recording_line_size];
    testsupport::write_file(scratch_.file("run.jsonl"), std::string(line, format_recording_line(trip, line)));
    TcpSink sink(destination, destination_port);

    auto outcome = run_with_env({"tcp", "connect", at_port(destination), "send", "hello"},
                                {{"QUOR_ROUTE_TABLE", routes_path()},
                                 {"KANDREL_COVERAGE", "full"},
                                 {"KANDREL_REPLAY", scratch_.file("run.jsonl")}});
    EXPECT_TRUE(outcome.trace.starts_with(loader::timelog_opened +
                                          loader::stored(host_address, destination, "hop-gone")))
        << outcome.trace;
    EXPECT_EQ(outcome.trace.find("Unknown host name"), std::string::npos) << outcome.trace;
    EXPECT_EQ(outcome.times, std::vector<long>{30});
}

}  // namespace
}  // namespace routed
