// The exported debug flag, switched by the application while it runs: the
// guarded lines of recvfrom, connect, sendto and write follow it call by
// call, and a receive blocked in the kernel takes the flag as it is when its
// second line is due. Blocking receives also leave the first piece of a
// two-piece line on the stream while they wait.
#include <sys/socket.h>

#include "traced_fixture.hh"

namespace {

using DebugFlag = TracedRun;

// The lines of one sendto/recvfrom/write/read round of the debug scenario.
std::string exchange(bool debug)
{
    return lines::sendto(2, debug) + lines::recvfrom(debug) + lines::write(debug);
}

TEST_F(DebugFlag, GuardedLinesFollowTheFlagCallByCall)
{
    auto r = run("debug_switch");
    long receiver = r.number("receiver"), sender = r.number("sender");
    std::string address = "127.0.0.1:" + r.text("port");
    std::string expected = lines::route_load(false) + lines::udp_socket(receiver) +
                           lines::bound_on_loopback(receiver, r.text("port")) + lines::udp_socket(sender) +
                           lines::connect(sender, address, 16, 0, false) + exchange(false) +
                           lines::connect(sender, address, 16, 0, true) + exchange(true) + exchange(false) +
                           lines::close(0) + lines::close(0);
    EXPECT_EQ(r.run.err, expected);
    for (const char *round : {"off", "on", "off_again"}) {
        EXPECT_TRUE(r.has_outcome(std::string("recvfrom_") + round + " 2 EDOM")) << round;
        EXPECT_TRUE(r.has_outcome(std::string("write_") + round + " 1 EDOM")) << round;
        EXPECT_TRUE(r.has_outcome(std::string("read_") + round + " 1 EDOM")) << round;
    }
}

TEST_F(DebugFlag, BlockedReceivesShowTheFirstPieceAndTakeTheFlagAsItIsAfterwards)
{
    auto r = run("blocking_calls");
    long receiver = r.number("receiver");
    std::string expected = receiver_and_sender(r);

    // recv: its first piece, without a newline, is all there is while it waits.
    expected += lines::recv_first(receiver, r.pointer("buf"), 32, 0);
    EXPECT_EQ(r.number("recv_blocked_at"), static_cast<long>(expected.size()));
    expected += lines::second_piece(5);

    // recvfrom called with debug off, switched on while it waits: only the
    // line after the call.
    EXPECT_EQ(r.number("recvfrom_on_blocked_at"), static_cast<long>(expected.size()));
    expected += lines::recvfrom_returning(true);

    // And the other way round: only the line before the call.
    expected += lines::recvfrom_called(true);
    EXPECT_EQ(r.number("recvfrom_off_blocked_at"), static_cast<long>(expected.size()));

    expected += lines::recvmsg_first(receiver, r.pointer("in_msg"), 0);
    EXPECT_EQ(r.number("recvmsg_blocked_at"), static_cast<long>(expected.size()));
    expected += lines::second_piece(5);

    EXPECT_EQ(testsupport::read_file(dir.file("trace.txt")), expected);
    EXPECT_EQ(r.run.err, "");
    for (const char *name : {"recv_result", "recvfrom_on_result", "recvfrom_off_result", "recvmsg_result"}) {
        EXPECT_EQ(r.number(name), 5) << name;
    }
}

}  // namespace
