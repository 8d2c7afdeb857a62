// Recording a run's round trips and replaying them with the hop gone: the
// replay waits the recorded times, in order and cycling, the same way every
// time, and sends nothing to any hop.
#include <gtest/gtest.h>

#include <sstream>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "recording_line.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using testsupport::EchoHop;

std::vector<recorded_trip> recorded_trips(const std::string &text)
{
    std::vector<recorded_trip> trips;
    std::istringstream lines_of(text);
    for (std::string line; std::getline(lines_of, line);) {
        recorded_trip trip;
        EXPECT_TRUE(parse_recording_line(line.data(), line.size(), trip)) << line;
        trips.push_back(trip);
    }
    return trips;
}

class RecordReplay : public RoutedTest, public ::testing::WithParamInterface<const char *> {
protected:
    std::vector<std::pair<std::string, std::string>> env(const std::string &variable) const
    {
        return {{"QUOR_ROUTE_TABLE", routes_path()}, {"KANDREL_COVERAGE", "full"}, {variable, recording_}};
    }

    std::vector<std::string> sends(int count) const
    {
        std::vector<std::string> steps = {std::string(GetParam()) == "TCP" ? "tcp" : "udp", "connect",
                                          at_port(destination)};
        const char *texts[] = {"one", "#1500", "three"};
        for (int i = 0; i < count; ++i) {
            steps.insert(steps.end(), {"send", texts[i % 3]});
        }
        return steps;
    }

    std::string recording_ = scratch_.file("recording");
};

TEST_P(RecordReplay, ReplayWaitsTheRecordedTimesInOrderWithoutTheHop)
{
    write_routes("alpha " + destination + " " + hop_address + " " + GetParam() + "\n");
    testsupport::write_file(recording_, "");
    TcpSink tcp_sink(destination, destination_port);
    UdpSink udp_sink(destination, destination_port);
    {
        EchoHop hop({.address = hop_address, .delay_ms = 20});
        run_with_env(sends(3), env("KANDREL_RECORD"));
    }
    auto trips = recorded_trips(testsupport::read_file(recording_));
    ASSERT_EQ(trips.size(), 3u);
    std::vector<long> recorded_ms;
    for (std::size_t i = 0; i < trips.size(); ++i) {
        EXPECT_STREQ(trips[i].to, destination.c_str());
        EXPECT_STREQ(trips[i].hop, hop_address.c_str());
        EXPECT_STREQ(trips[i].protocol, GetParam());
        EXPECT_EQ(trips[i].bytes, (std::vector<std::uint64_t>{3, 1500, 5}[i]));
        EXPECT_EQ(trips[i].outcome, trip_outcome::echoed);
        EXPECT_GE(trips[i].rtt_us, 20000u);
        recorded_ms.push_back(static_cast<long>(trips[i].rtt_us / 1000));
    }
    EXPECT_LE(trips[0].t_us, trips[2].t_us);

    // Five sends replay the three recorded times and start over; the hop is
    // gone, and no round trip tries to reach it.
    auto first = run_with_env(sends(5), env("KANDREL_REPLAY"));
    auto second = run_with_env(sends(5), env("KANDREL_REPLAY"));
    std::vector<long> expected = {recorded_ms[0], recorded_ms[1], recorded_ms[2], recorded_ms[0], recorded_ms[1]};
    EXPECT_EQ(first.times, expected);
    // With full coverage every run appends to the one timelog.
    ASSERT_GE(first.timelog_ms.size(), expected.size());
    EXPECT_EQ(std::vector<long>(first.timelog_ms.end() - 5, first.timelog_ms.end()), expected);
    EXPECT_EQ(second.times, expected);
    EXPECT_EQ(first.trace.find("not reached"), std::string::npos) << first.trace;
}

INSTANTIATE_TEST_SUITE_P(ByProtocol, RecordReplay, ::testing::Values("TCP", "UDP"));

}  // namespace
}  // namespace routed
