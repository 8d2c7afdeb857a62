// Arguments no careful program passes are traced and forwarded: unknown
// families, types and protocols, null pointers, lengths beyond any buffer,
// descriptors that are not sockets. The lines show stand-ins where the trace
// would have to read through a null pointer.
#include <sys/socket.h>

#include "traced_fixture.hh"

namespace {

using lines::null_text;
using BadInput = TracedRun;

TEST_F(BadInput, EveryOddArgumentIsTracedAndForwarded)
{
    auto r = run("bad_input");
    long s = r.number("s"), datagram = r.number("datagram");
    long pipe_read = r.number("pipe_read");
    auto result = [&r](const char *name) { return r.result(name); };
    // The call got the creation flags that the type name leaves out.
    EXPECT_EQ(r.number("flagged_nonblocking"), 1);

    std::string expected =
        lines::route_load(false) + lines::socket("AF_UNKNOWN", "SOCK_UNKNOWN", "IPPROTO_UNKNOWN", -1) +
        lines::tcp_socket(r.number("flagged")) + lines::close(0) +
        lines::socket("AF_INET", "SOCK_DGRAM", "IPPROTO_ENCAP", -1) +
        lines::socket("AF_INET", "SOCK_DGRAM", "IPPROTO_UNKNOWN", -1) +
        lines::tcp_socket(s) +
        // Addresses: none at all; a local path without an end, bounded to
        // 149 bytes; local lengths below 2; an Internet address whatever its
        // length; families without a text of their own.
        lines::bind(s, null_text, 0, result("bind_null")) +
        lines::bind(s, std::string(149, 'a'), 300, result("bind_long_local")) +
        lines::bind(s, "", 1, result("bind_short_local")) + lines::bind(s, "", -1, result("bind_negative_local")) +
        lines::bind(s, "10.1.2.3:9", 0x7fffffff, result("bind_huge_inet")) +
        lines::bind(s, "AF_UNKNOWN", 16, result("bind_unspec")) +
        lines::bind(s, "AF_UNKNOWN", 16, result("bind_strange")) +
        // Null pointers where the trace reads lengths, addresses, the pair.
        lines::getsockopt(s, "OPT_LEVEL_UNKNOWN(-1)", "OPT_NAME_UNKNOWN", "0x0", null_text,
                          result("getsockopt_null")) +
        lines::setsockopt(s, "SOL_SOCKET", "SO_RCVBUF", "0x0", -1, result("setsockopt_huge")) +
        lines::accept(s, null_text, result("accept_null"), null_text, null_text) +
        lines::getpeername(s, null_text, result("getpeername_null"), null_text, null_text) +
        lines::socketpair("AF_UNIX", "SOCK_STREAM", "IPPROTO_IP", -1, null_text, null_text) +
        lines::recvmsg(s, "0x0", MSG_DONTWAIT, result("recvmsg_null")) +
        lines::sendmsg(-1, "0x0", 0, result("sendmsg_null")) + lines::send(-1, "0x0", -1, 0, result("send_huge")) +
        lines::connect(s, null_text, 0, result("connect_null"), false) + lines::sendto(result("sendto_null"), false) +
        // A failing call: the buffer as the application left it.
        lines::getsockname(-1, "16", -1, "10.1.2.3:99", "16") +
        // Descriptors that are not sockets, and hows beyond the three.
        lines::recv(pipe_read, r.pointer("buf"), -1, 0, result("recv_pipe")) +
        lines::listen(pipe_read, -3, result("listen_pipe")) +
        lines::shutdown(pipe_read, "HOW_UNKNOWN(7)", result("shutdown_pipe")) +
        lines::udp_socket(datagram) +
        lines::shutdown(datagram, "HOW_UNKNOWN(-1)", result("shutdown_negative")) +
        lines::select(result("select_negative")) + lines::close(-1) + lines::close(0) + lines::close(0) +
        lines::close(0) + lines::close(0);
    EXPECT_EQ(r.run.err, expected);
    EXPECT_TRUE(r.has_outcome("recv_pipe -1 ENOTSOCK"));
    EXPECT_TRUE(r.has_outcome("shutdown_pipe -1 ENOTSOCK"));
    EXPECT_TRUE(r.has_outcome("socketpair_null -1 EFAULT"));
    EXPECT_TRUE(r.has_outcome("close_bad -1 EBADF"));
}

}  // namespace
