// kandrel-hop's pure logic: its command line, the waits it draws, the order
// of a flow's echoes and the waits read from a recording.
#include <set>

#include <gtest/gtest.h>

#include "delay_line.hh"
#include "hop_options.hh"

namespace {

using namespace std::chrono_literals;
using words = std::vector<std::string>;

TEST(HopOptions, ReadsAddressesPortWaitsAndRefusesMistakes)
{
    struct row {
        words args;
        bool ok;
        words addresses;
        std::uint16_t port;
        std::uint64_t delay_us, jitter_us;
    };
    for (const row &r : {row{{}, true, {}, 7, 0, 0},
                         row{{"--address", "10.0.0.1", "--address", "::1", "--port", "7007"}, true,
                             {"10.0.0.1", "::1"}, 7007, 0, 0},
                         row{{"--delay-ms", "40", "--jitter-ms", "5"}, true, {}, 7, 40000, 5000},
                         row{{"--port", "0"}, false}, row{{"--port", "65536"}, false},
                         row{{"--delay-ms", "-1"}, false}, row{{"--delay-ms", "4x"}, false},
                         row{{"--delay-ms"}, false}, row{{"--wait", "3"}, false},
                         row{{"--replay", "run.jsonl", "--delay-ms", "3"}, false},
                         row{{"--replay-to", "beta"}, false}}) {
        hop::hop_options options;
        std::string error;
        ASSERT_EQ(hop::parse_hop_options(r.args, options, error), r.ok) << error;
        if (r.ok) {
            EXPECT_EQ(options.addresses, r.addresses);
            EXPECT_EQ(options.port, r.port);
            EXPECT_EQ(options.delay_us, r.delay_us);
            EXPECT_EQ(options.jitter_us, r.jitter_us);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(HopWaits, JitterStaysWithinItsBoundsAndVariesAndRecordedWaitsCycle)
{
    hop::wait_source jittered(20000, 5000, 1);
    std::set<long> seen;
    for (int i = 0; i < 1000; ++i) {
        const long wait = jittered.next().count();
        ASSERT_GE(wait, 15000);
        ASSERT_LE(wait, 25000);
        seen.insert(wait);
    }
    EXPECT_GT(seen.size(), 100u);
    // A jitter beyond the delay never makes a negative wait.
    hop::wait_source wide(1000, 5000, 2);
    for (int i = 0; i < 100; ++i) {
        ASSERT_GE(wide.next().count(), 0);
    }
    hop::wait_source replayed(std::vector<std::uint64_t>{30, 10, 20});
    for (long expected : {30, 10, 20, 30}) {
        EXPECT_EQ(replayed.next().count(), expected);
    }
}

TEST(HopFlowOrder, BackToBackDataWaitsOnceAndNeverOvertakesEarlierData)
{
    hop::flow_order order;
    const hop::hop_clock::time_point start{};
    // Ten pieces a millisecond apart each leave one wait after their own arrival.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(order.due(start + i * 1ms, 40ms), start + i * 1ms + 40ms);
    }
    // A shorter wait after a longer one leaves with the earlier piece, not before.
    EXPECT_EQ(order.due(start + 10ms, 5ms), start + 49ms);
}

TEST(HopRecordedWaits, TakesEchoedRoundTripsInOrderOfOneRouteOrAllAndNamesADamagedLine)
{
    const std::string to_b = R"({"t_us":1,"pid":2,"to":"b","hop":"h","protocol":"UDP","bytes":5,"rtt_us":)";
    const std::string to_c = R"({"t_us":1,"pid":2,"to":"c","hop":"h","protocol":"UDP","bytes":5,"rtt_us":)";
    const std::string recording = to_b + R"(30000,"outcome":"echoed"})" "\n" + to_b +
                                  R"(2000000,"outcome":"waited_out"})" "\n" + to_c +
                                  R"(50000,"outcome":"echoed"})" "\n" + to_b + R"(10000,"outcome":"echoed"})" "\n";
    std::vector<std::uint64_t> waits;
    std::string error;
    ASSERT_TRUE(hop::read_recorded_waits(recording, "", waits, error)) << error;
    EXPECT_EQ(waits, (std::vector<std::uint64_t>{30000, 50000, 10000}));
    ASSERT_TRUE(hop::read_recorded_waits(recording, "b", waits, error)) << error;
    EXPECT_EQ(waits, (std::vector<std::uint64_t>{30000, 10000}));

    EXPECT_FALSE(hop::read_recorded_waits(recording, "d", waits, error));
    EXPECT_EQ(error, "no echoed round trip to d in the recording");
    EXPECT_FALSE(hop::read_recorded_waits(to_b + R"(1,"outcome":"echoed"})" "\nnot json\n", "", waits, error));
    EXPECT_EQ(error, "line 2 is not a recorded round trip");
    EXPECT_FALSE(hop::read_recorded_waits("", "", waits, error));
}

}  // namespace
