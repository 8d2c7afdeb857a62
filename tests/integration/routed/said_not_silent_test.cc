// What the library says instead of running silently undelayed: a replay it
// cannot read, and a sandbox that refuses it process_vm_readv (routing then
// reads the program's memory directly and still delays the send).
#include <gtest/gtest.h>

#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using SaidNotSilent = RoutedTest;

TEST_F(SaidNotSilent, UnreadableReplayIsSaidOnTheTrace)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    UdpSink sink(destination, destination_port);
    std::string missing = scratch_.file("missing.rec");
    auto outcome = run_with_env({"udp", "connect", at_port(destination), "send", "one"},
                                {{"QUOR_ROUTE_TABLE", routes_path()}, {"KANDREL_COVERAGE", "full"}, {"KANDREL_REPLAY", missing}});
    EXPECT_NE(outcome.trace.find(lines::loader::cannot_replay(missing, "No such file or directory")), std::string::npos)
        << outcome.trace;
}

TEST_F(SaidNotSilent, RouteFileBeyondTheReadLimitIsSaidOnTheTrace)
{
    std::string filler_line = "other " + std::string(990, 'x') + " hop UDP\n";
    std::string text;
    while (text.size() <= (std::size_t{16} << 20)) {
        text += filler_line;
    }
    write_routes(text + "alpha " + destination + " " + hop_address + " UDP\n");
    auto outcome = run_with_env({"udp", "close"}, {{"QUOR_ROUTE_TABLE", routes_path()}, {"KANDREL_COVERAGE", "full"}});
    EXPECT_EQ(testsupport::occurrences(outcome.trace, lines::loader::route_file_cut), 1u);
}

// Installs a seccomp filter that refuses process_vm_readv with EPERM, then
// runs the rest of its arguments.
const std::string refusing_sandbox = R"(
import ctypes, os, struct, sys
def op(code, jt, jf, k): return struct.pack("HBBI", code, jt, jf, k)
program = op(0x20, 0, 0, 0) + op(0x15, 0, 1, 310) + op(0x06, 0, 0, 0x50001) + op(0x06, 0, 0, 0x7fff0000)
class Fprog(ctypes.Structure): _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_char_p)]
libc = ctypes.CDLL(None)
assert libc.prctl(38, 1, 0, 0, 0) == 0 and libc.prctl(22, 2, ctypes.byref(Fprog(4, program)), 0, 0) == 0
os.execv(sys.argv[1], sys.argv[1:])
)";

TEST_F(SaidNotSilent, RefusedProcessVmReadvIsSaidOnceAndRoutingStillDelays)
{
    write_routes("alpha " + destination + " " + hop_address + " UDP\n");
    UdpSink sink(destination, destination_port);
    testsupport::EchoHop hop({.address = hop_address});
    auto outcome = testsupport::run_preloaded(
        {.argv = {"/usr/bin/python3", "-c", refusing_sandbox, ROUTE_SCENARIO_PATH, "udp", "sendto",
                  at_port(destination), "one", "sendto", at_port(destination), "two"},
         .cwd = scratch_.path(),
         .env = {{"QUOR_ROUTE_TABLE", routes_path()}}});
    EXPECT_EQ(outcome.program.exit_status, 0) << outcome.program.err;
    EXPECT_EQ(testsupport::occurrences(outcome.trace, lines::memory_read_directly("Operation not permitted")), 1u)
        << outcome.trace;
    EXPECT_EQ(outcome.timelog_bytes, (std::vector<long>{3, 3}));
}

}  // namespace
}  // namespace routed
