// Loading the route table: which lines of the route file become routes, the
// loader's lines with and without debug, the timelog file, and the lookups
// by destination that the loaded table answers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "netns.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using RouteTable = RoutedTest;

const std::string routes_of_every_shape =
    "\n"
    "alpha\n"
    "alpha 127.0.0.5\n"
    "alpha 127.0.0.5 10.77.0.2\n"
    "alpha 127.0.0.5 10.77.0.2 TCP extra words\n"
    "beta 127.0.0.6 10.77.0.2 UDP\n"
    "Alpha 127.0.0.6 10.77.0.2 UDP\n"
    "alpha 192.168.1.1 10.77.0.3 udp\n"
    "#alpha 127.0.0.7 10.77.0.2 TCP\n"
    "\talpha\tdestination\thopone \t UDP\r\n";

TEST_F(RouteTable, OnlyFourWordLinesForThisHostAreStored)
{
    write_routes(routes_of_every_shape);
    auto outcome = run({"udp"});
    EXPECT_EQ(outcome.trace, lines::loader::timelog_opened +
                                 lines::loader::stored(host_address, destination, hop_address) +
                                 lines::loader::not_mine + lines::loader::not_mine +
                                 lines::loader::stored(host_address, "192.168.1.1", second_hop_address) +
                                 lines::loader::not_mine +
                                 lines::loader::stored(host_address, destination, hop_address) +
                                 lines::udp_socket(4));
    EXPECT_TRUE(outcome.timelog_exists);
    EXPECT_TRUE(outcome.timelog_bytes.empty());
}

TEST_F(RouteTable, DebugShowsSkippedLinesFamiliesAndProtocols)
{
    write_routes(routes_of_every_shape);
    auto outcome = run({"debug=1", "udp", "sendto", "127.0.0.7:9000", "hi"});
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened + lines::loader::debug_head("alpha") + lines::loader::skipped +
                  lines::loader::skipped + lines::loader::skipped + lines::loader::skipped +
                  lines::loader::stored_debug(host_address, destination, hop_address, 1) +
                  lines::loader::not_mine + lines::loader::not_mine +
                  lines::loader::stored_debug(host_address, "192.168.1.1", second_hop_address, 0) +
                  lines::loader::not_mine +
                  lines::loader::stored_debug(host_address, destination, hop_address, 2) +
                  lines::loader::debug_tail + lines::udp_socket(4) +
                  lines::lookup({destination, "192.168.1.1", destination}, "127.0.0.7", false) +
                  lines::sendto(2, true));
    // Addresses print as signed big-endian values, as the lookup lines above expect.
    EXPECT_EQ(lines::address_value("192.168.1.1"), -1062731519);
    EXPECT_EQ(lines::address_value("127.0.0.7"), 2130706439);
}

// The first match in table order wins, and the lookup stops there; only the
// address is compared, not the port.
TEST_F(RouteTable, LookupStopsAtTheFirstMatchingEntry)
{
    write_routes("alpha 127.0.0.6 10.77.0.2 ICMP\n"
                 "alpha 127.0.0.5 10.77.0.2 ICMP\n"
                 "alpha 127.0.0.5 10.77.0.3 ICMP\n");
    auto outcome = run({"udp", "debug=1", "sendto", "127.0.0.5:4321", "hi", "sendto",
                        "127.0.0.6:9", "hi"});
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened + lines::loader::stored(host_address, second_destination, hop_address) +
                  lines::loader::stored(host_address, destination, hop_address) +
                  lines::loader::stored(host_address, destination, second_hop_address) +
                  lines::udp_socket(4) +
                  lines::lookup({second_destination, destination}, destination, true) +
                  lines::sendto(2, true, 1) +
                  lines::lookup({second_destination}, second_destination, true) +
                  lines::sendto(2, true, 2));
}

// Lines are read 127 characters at a time: the rest of a longer line is read
// as a line of its own, even when the cut falls inside a word.
TEST_F(RouteTable, LongLinesAreReadInPiecesOf127Characters)
{
    std::string two_routes = "alpha 127.0.0.5 10.77.0.2 TCP";
    two_routes.resize(127, ' ');
    two_routes += "alpha 127.0.0.6 10.77.0.3 UDP";
    two_routes.resize(200, ' ');
    std::string cut_protocol = "alpha 127.0.0.7 10.77.0.2";
    cut_protocol.resize(125, ' ');
    cut_protocol += "TCP";
    cut_protocol.resize(200, ' ');
    write_routes(two_routes + "\n" + cut_protocol + "\n");

    auto outcome = run({"debug=1", "udp"});
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened + lines::loader::debug_head("alpha") +
                  lines::loader::stored_debug(host_address, destination, hop_address, 1) +
                  lines::loader::stored_debug(host_address, second_destination, second_hop_address, 2) +
                  lines::loader::stored_debug(host_address, "127.0.0.7", hop_address, 0) +
                  lines::loader::skipped + lines::loader::debug_tail + lines::udp_socket(4));
}

// The table holds 64 routes; the lines after the 64th stored route are not
// read at all.
TEST_F(RouteTable, SeventyRoutesKeepTheFirstSixtyFour)
{
    std::string file;
    std::string quiet = lines::loader::timelog_opened;
    std::string loud = lines::loader::timelog_opened + lines::loader::debug_head("alpha");
    std::vector<std::string> stored_to;
    for (int n = 1; n <= 70; ++n) {
        std::string to = "127.0.1." + std::to_string(n);
        file += "alpha " + to + " 10.77.0.2 UDP\n";
        if (n <= 64) {
            quiet += lines::loader::stored(host_address, to, hop_address);
            loud += lines::loader::stored_debug(host_address, to, hop_address, 2);
            stored_to.push_back(to);
        }
    }
    write_routes(file);
    testsupport::EchoHop hop({hop_address});

    auto quiet_run = run({"udp"});
    EXPECT_EQ(quiet_run.trace, quiet + lines::udp_socket(4));

    auto loud_run = run({"debug=1", "udp", "sendto", "127.0.1.65:9000", "no", "sendto",
                         "127.0.1.64:9000", "yes"});
    EXPECT_EQ(loud_run.trace, loud + lines::loader::debug_tail + lines::udp_socket(4) +
                                  lines::lookup(stored_to, "127.0.1.65", false) +
                                  lines::sendto(2, true) +
                                  lines::routed_sendto({lines::udp, true}, lines::lookup(stored_to, "127.0.1.64", true),
                                                       "yes", false));
    EXPECT_EQ(hop.record_text(), "udp 3 yes\n");
}

// A route whose to or hop name does not convert is left out with the
// resolver's message; names from the host table and the dotted text of the
// conversion's failure value convert.
TEST_F(RouteTable, RoutesWithUnconvertibleNamesAreLeftOut)
{
    write_routes("alpha nowhere 10.77.0.2 UDP\n"
                 "alpha 127.0.0.5 nohop UDP\n"
                 "alpha 255.255.255.255 10.77.0.2 ICMP\n"
                 "alpha destination hoptwo ICMP\n");
    auto outcome = run({"udp", "debug=1", "sendto", at_port(destination), "hi"});
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened +
                  lines::loader::unknown_host("nowhere") + lines::loader::unknown_host("nohop") +
                  lines::loader::stored(host_address, "255.255.255.255", hop_address) +
                  lines::loader::stored(host_address, destination, second_hop_address) +
                  lines::udp_socket(4) +
                  lines::lookup({"255.255.255.255", destination}, destination, true) +
                  lines::sendto(2, true, 1));
}

TEST_F(RouteTable, ThisHostsOwnNameMustConvertToo)
{
    testsupport::use_private_host_table({hop_address + " hopone"});
    write_routes("alpha 127.0.0.5 10.77.0.2 UDP\n");
    auto outcome = run({"udp"});
    EXPECT_EQ(outcome.trace, lines::loader::timelog_opened + lines::loader::unknown_host("alpha") + lines::udp_socket(4));
}

// A word longer than its field (31 characters for hosts, 7 for the
// protocol) makes the line no route at all, without a line; words that just
// fit are used whole.
TEST_F(RouteTable, OverLongWordsSkipTheLineSilently)
{
    const std::string name31 = "destination-name-31-characters0";
    ASSERT_EQ(name31.size(), 31u);
    testsupport::use_private_host_table({host_address + " alpha", second_destination + " " + name31});
    write_routes("alpha " + name31 + "x 10.77.0.2 UDP\n"
                 "alpha 127.0.0.5 10.77.0.2 TCPTCPTC\n"
                 "alpha 127.0.0.5 " + std::string(32, '1') + " TCP\n"
                 "alpha " + name31 + " 10.77.0.2 SEVENCH\n"
                 "alpha 127.0.0.5 10.77.0.2 UDP\n");
    auto outcome = run({"debug=1", "udp"});
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened + lines::loader::debug_head("alpha") +
                  lines::loader::stored_debug(host_address, second_destination, hop_address, 0) +
                  lines::loader::stored_debug(host_address, destination, hop_address, 2) +
                  lines::loader::debug_tail + lines::udp_socket(4));
}

// This host's name is compared in full: a from word holding only its first
// 24 characters names another host.
TEST_F(RouteTable, LongHostNameIsComparedInFull)
{
    const std::string long_name = "a-host-name-of-30-characters-x";
    ASSERT_EQ(long_name.size(), 30u);
    testsupport::set_host_name(long_name);
    testsupport::use_private_host_table({host_address + " " + long_name});
    write_routes(long_name.substr(0, 24) + " 127.0.0.5 10.77.0.2 UDP\n" + long_name +
                 " 127.0.0.6 10.77.0.2 UDP\n");
    auto outcome = run({"debug=1", "udp"});
    EXPECT_EQ(outcome.trace,
              lines::loader::timelog_opened + lines::loader::debug_head(long_name) + lines::loader::not_mine +
                  lines::loader::stored_debug(host_address, second_destination, hop_address, 2) +
                  lines::loader::debug_tail + lines::udp_socket(4));
}

TEST_F(RouteTable, WithoutTheVariableOnlyTheTimelogIsCreated)
{
    unsetenv("QUOR_ROUTE_TABLE");
    auto quiet = run_with_env({"udp", "udp"}, {});
    EXPECT_EQ(quiet.trace, lines::route_load(false) + lines::udp_socket(4) + lines::udp_socket(5));
    EXPECT_TRUE(quiet.timelog_exists);

    auto loud = run_with_env({"debug=1", "udp", "connect", at_port(destination)}, {});
    EXPECT_EQ(loud.trace, lines::route_load(true) + lines::udp_socket(4) + lines::connect(4, at_port(destination), 16, 0, true));
}

TEST_F(RouteTable, UnopenableRouteFileLeavesTheTableEmpty)
{
    const std::string absent = scratch_.file("absent");
    auto quiet = run_with_env({"udp"}, {{"QUOR_ROUTE_TABLE", absent}});
    EXPECT_EQ(quiet.trace, lines::loader::timelog_opened + lines::udp_socket(4));

    auto loud = run_with_env({"debug=1", "udp"}, {{"QUOR_ROUTE_TABLE", absent}});
    EXPECT_EQ(loud.trace, lines::loader::timelog_opened + lines::loader::unopenable(absent, 2) + lines::udp_socket(4));
}

// A route file that is no regular file is not read at all: a directory, a
// device that never ends, a FIFO that nobody writes (opening or reading it
// would block the program's first socket for ever).
TEST_F(RouteTable, RouteFileThatIsNoRegularFileLeavesTheTableEmpty)
{
    const std::string fifo = scratch_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {scratch_.path(), std::string("/dev/zero"), fifo}) {
        SCOPED_TRACE(path);
        auto outcome = run_with_env({"debug=1", "udp"}, {{"QUOR_ROUTE_TABLE", path}});
        EXPECT_EQ(outcome.trace,
                  lines::loader::timelog_opened + lines::loader::unopenable(path, EINVAL) + lines::udp_socket(4));
    }
}

TEST_F(RouteTable, TimelogLeftByAnEarlierProcessIsEmptied)
{
    testsupport::write_file(scratch_.file("timelog"), "7 bytes 3 ms\n");
    write_routes("alpha 127.0.0.5 10.77.0.2 UDP\n");
    auto outcome = run({"udp"});
    EXPECT_TRUE(outcome.timelog_exists);
    EXPECT_TRUE(outcome.timelog_bytes.empty());
}

// Anything but a regular file planted where timelog goes is not opened: a
// link is never followed (the linked file stays as it was), a FIFO nobody
// reads never blocks. The open fails with its message on standard output,
// routes still load and route, and the round trips' records are dropped.
TEST_F(RouteTable, TimelogThatIsNoRegularFileIsNotOpened)
{
    const std::string precious = scratch_.file("precious"), timelog = scratch_.file("timelog");
    testsupport::write_file(precious, "keep me\n");
    write_routes("alpha 127.0.0.5 10.77.0.2 TCP\n");
    testsupport::EchoHop hop({hop_address});
    const std::pair<const char *, std::function<int()>> plants[] = {
        {"link", [&] { return symlink(precious.c_str(), timelog.c_str()); }},
        {"fifo", [&] { return mkfifo(timelog.c_str(), 0600); }},
    };
    for (const auto &[name, plant] : plants) {
        SCOPED_TRACE(name);
        unlink(timelog.c_str());
        ASSERT_EQ(plant(), 0);
        TcpSink sink(destination, destination_port);
        auto outcome = run({"tcp", "connect", at_port(destination), "send", "hello"});
        EXPECT_EQ(outcome.trace, lines::loader::stored(host_address, destination, hop_address) +
                                     lines::tcp_socket(3) + lines::connect_returned(0) +
                                     lines::routed_send({lines::tcp}, 3, "hello"));
        EXPECT_EQ(outcome.program.out, lines::loader::timelog_unopenable + "app: socket 3\n"
                                       "app: connect 0\nbuf=hello\napp: send 5\n");
        EXPECT_EQ(sink.streams(), std::vector<std::string>{"hello"});
    }
    EXPECT_EQ(testsupport::read_file(precious), "keep me\n");
    EXPECT_EQ(hop.record_text(), "tcp 5 hello\ntcp 5 hello\n");
}

}  // namespace
}  // namespace routed
