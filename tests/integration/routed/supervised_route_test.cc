// The routed application statically linked, run through kandrel-run, which
// supervises its system calls: a send the system would refuse at once makes
// no round trip there either.
#include "routed_fixture.hh"

#include "hop_services.hh"

namespace routed {
namespace {

using SupervisedRoute = RoutedTest;

TEST_F(SupervisedRoute, SendThatWouldBlockMakesNoRoundTrip)
{
    write_routes("alpha " + destination + " " + hop_address + " TCP\n");
    testsupport::EchoHop hop({hop_address});
    TcpBacklog backlog(destination, destination_port);
    // More than the socket buffers of both ends hold while nobody reads.
    const long filling = 16 * 1024 * 1024;
    auto outcome = testsupport::run_preloaded(
        {.argv = {KANDREL_RUN_PATH, "-r", routes_path(), "--", ROUTE_SCENARIO_STATIC_PATH, "tcp", "connect",
                  at_port(destination), "nonblock", "send", "#" + std::to_string(filling), "send", "hello"},
         .cwd = scratch_.path(),
         .preload = false});
    EXPECT_EQ(outcome.program.exit_status, 0) << testsupport::describe(outcome.program);
    EXPECT_TRUE(outcome.program.out.ends_with("\napp: send -1 EAGAIN\n")) << outcome.program.out;
    EXPECT_EQ(outcome.trace, load({destination}, 1, false) + lines::tcp_echo(false));
    expect_records(outcome, {filling});
    std::size_t bounced = 0;
    for (const auto &record : hop.records()) {
        bounced += record.count;
    }
    EXPECT_EQ(bounced, static_cast<std::size_t>(filling)) << "only the first send went through the hop";
}

}  // namespace
}  // namespace routed
