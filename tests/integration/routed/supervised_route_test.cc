// The routed application statically linked, run through kandrel-run, which
// supervises its system calls: a send the system would refuse at once makes
// no round trip there either, and a send interrupted by signals makes one.
#include "routed_fixture.hh"

#include "hop_services.hh"

namespace routed {
namespace {

class SupervisedRoute : public RoutedTest {
protected:
    Outcome launch(const std::vector<std::string> &steps)
    {
        std::vector<std::string> argv = {KANDREL_RUN_PATH, "-q", "--no-check", "-r", routes_path(), "--",
                                         ROUTE_SCENARIO_STATIC_PATH};
        argv.insert(argv.end(), steps.begin(), steps.end());
        auto outcome = testsupport::run_preloaded({.argv = argv, .cwd = scratch_.path(), .preload = false});
        EXPECT_EQ(outcome.program.exit_status, 0) << testsupport::describe(outcome.program);
        return outcome;
    }
};

TEST_F(SupervisedRoute, SendThatWouldBlockMakesNoRoundTrip)
{
    write_routes("alpha " + destination + " " + hop_address + " TCP\n");
    testsupport::EchoHop hop({hop_address});
    TcpBacklog backlog(destination, destination_port);
    // More than the socket buffers of both ends hold while nobody reads.
    const long filling = 16 * 1024 * 1024;
    auto outcome = launch(
        {"tcp", "connect", at_port(destination), "nonblock", "send", "#" + std::to_string(filling), "send", "hello"});
    EXPECT_TRUE(outcome.program.out.ends_with("\napp: send -1 EAGAIN\n")) << outcome.program.out;
    EXPECT_EQ(outcome.trace, load({destination}, 1, false) + lines::tcp_echo(false));
    expect_records(outcome, {filling});
    std::size_t bounced = 0;
    for (const auto &record : hop.records()) {
        bounced += record.count;
    }
    EXPECT_EQ(bounced, static_cast<std::size_t>(filling)) << "only the first send went through the hop";
}

// A timer's signal every millisecond, its handler sending too: a send handed
// over to kandrel-run is never interrupted and handed over again, so each
// send makes exactly one round trip.
TEST_F(SupervisedRoute, SendsInterruptedBySignalsMakeOneRoundTripEach)
{
    write_routes("alpha " + destination + " " + hop_address + " TCP\n");
    testsupport::EchoHop hop({hop_address});
    TcpSink sink(destination, destination_port);
    const int sends = 300;
    auto outcome = launch({"tcp", "connect", at_port(destination), "alarmed", std::to_string(sends), "main", "sig"});
    EXPECT_NE(outcome.program.out.find("app: alarmed sent 300 of 300\n"), std::string::npos) << outcome.program.out;
    auto streams = sink.streams();
    ASSERT_EQ(streams.size(), 1u);
    long from_main = 0, from_handler = 0;
    for (long bytes : outcome.timelog_bytes) {
        (bytes == 4 ? from_main : from_handler) += 1;
    }
    EXPECT_EQ(from_main, sends);
    EXPECT_EQ(from_handler, static_cast<long>(testsupport::occurrences(streams[0], "sig")));
}

}  // namespace
}  // namespace routed
