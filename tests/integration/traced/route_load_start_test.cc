// The route-table load that the first socket() of a process starts: once,
// before that call's own lines, creating an empty "timelog" in the working
// directory; what it writes when debug is on or timelog cannot be opened.
#include <filesystem>

#include "traced_fixture.hh"

namespace {

using RouteLoadStart = TracedRun;

TEST_F(RouteLoadStart, FirstSocketLoadsOnceAndEmptiesTimelog)
{
    testsupport::write_file(dir.file("timelog"), "left over from an earlier run\n");
    auto r = run("stream_calls");
    std::string first_socket = lines::tcp_socket(r.number("listener"));
    EXPECT_EQ(r.run.err.substr(0, lines::route_load(false).size() + first_socket.size()),
              lines::route_load(false) + first_socket);
    EXPECT_EQ(occurrences(r.run.err, "init_route"), 1u) << r.run.err;
    ASSERT_TRUE(testsupport::file_exists(dir.file("timelog")));
    EXPECT_EQ(testsupport::read_file(dir.file("timelog")), "");
    EXPECT_EQ(r.run.out.find("timelog"), std::string::npos) << r.run.out;
}

TEST_F(RouteLoadStart, DebugOnAtTheLoadAddsTheNoRouteFileLine)
{
    auto r = run("debug_switch", {"debug-at-load"});
    std::string start = lines::route_load(true) +
                        lines::udp_socket(r.number("receiver"));
    EXPECT_EQ(r.run.err.substr(0, start.size()), start);
    EXPECT_EQ(occurrences(r.run.err, "init_route"), 2u) << r.run.err;
}

TEST_F(RouteLoadStart, TimelogThatCannotBeOpenedIsReportedOnStandardOutput)
{
    std::filesystem::create_directory(dir.file("timelog"));
    auto r = run("stream_calls");
    const std::string &complaint = lines::loader::timelog_unopenable;
    EXPECT_EQ(r.run.out.substr(0, complaint.size()), complaint) << r.run.out;
    EXPECT_EQ(occurrences(r.run.out, complaint), 1u);
    std::string first_socket = lines::tcp_socket(r.number("listener"));
    EXPECT_EQ(r.run.err.substr(0, first_socket.size()), first_socket);
    EXPECT_EQ(r.run.err.find("init_route"), std::string::npos) << r.run.err;
    // The application's calls go on as before.
    EXPECT_EQ(r.text("received"), "ping");
}

}  // namespace
