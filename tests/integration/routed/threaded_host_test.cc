// A multi-threaded application sending over one routed TCP destination from
// several threads at once: no crash, no lost real send.
#include <gtest/gtest.h>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using ThreadedHost = RoutedTest;

TEST_F(ThreadedHost, ConcurrentConnectsAndSendsLoseNothing)
{
    constexpr int threads = 8, sends = 25, size = 100;
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\n");
    testsupport::EchoHop hop({hop_address});
    // Several runs, since each race is won differently.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TcpSink sink(destination, destination_port);
        auto outcome = run({"threads", std::to_string(threads), at_port(destination),
                            std::to_string(sends), "#" + std::to_string(size)});
        EXPECT_NE(outcome.program.out.find("app: threads sent 200 of 200\n"), std::string::npos)
            << outcome.program.out;

        // Every thread's connection carried all its sends, whole and in order.
        std::string one_thread;
        for (int k = 0; k < sends; ++k) {
            one_thread += letter_pattern(size);
        }
        EXPECT_EQ(sink.streams(), std::vector<std::string>(threads, one_thread));

        // The bound socket's thread made its round trips; each is logged with
        // the time of its TIME line.
        EXPECT_GE(outcome.times.size(), static_cast<std::size_t>(sends));
        EXPECT_EQ(outcome.timelog_ms, outcome.times);
        EXPECT_EQ(outcome.timelog_bytes, std::vector<long>(outcome.times.size(), size));
    }
    std::size_t bounced = 0;
    for (const auto &record : hop.records()) {
        bounced += record.count;
    }
    EXPECT_GE(bounced, static_cast<std::size_t>(3 * sends * size));
}

}  // namespace
}  // namespace routed
