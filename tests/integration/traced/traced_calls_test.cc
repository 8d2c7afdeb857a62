// Every traced call on its success path, and its failure path where the
// kernel gives one naturally: TCP, local and UDP sockets, socket options.
#include <climits>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "traced_fixture.hh"

namespace {

using lines::num;
using TracedCalls = TracedRun;

TEST_F(TracedCalls, TcpConnectionFromSocketToClose)
{
    auto r = run("stream_calls");
    long listener = r.number("listener"), client = r.number("client"), server = r.number("server");
    std::string listener_address = "127.0.0.1:" + r.text("port");
    std::string client_address = "127.0.0.1:" + r.text("client_port");

    std::string expected = lines::route_load(false) +
                           lines::tcp_socket(listener) +
                           lines::setsockopt(listener, "SOL_SOCKET", "SO_REUSEADDR", r.pointer("one"), 4, 0) +
                           lines::bound_on_loopback(listener, r.text("port")) +
                           lines::listen(listener, 5, 0) +
                           lines::socket("AF_INET", "SOCK_STREAM", "IPPROTO_TCP", client) +
                           lines::connect(client, listener_address, 16, 0, false) +
                           lines::accept(listener, "16", server, client_address, "16") +
                           lines::getpeername(client, "16", 0, listener_address, "16") +
                           lines::send(client, r.pointer("ping"), 4, 0, 4) +
                           lines::recv(server, r.pointer("buf"), 16, 0, 4) +
                           lines::shutdown(client, "further sends disallowed", 0) +
                           lines::recv(server, r.pointer("buf"), 16, 0, 0) +
                           lines::close(0) + lines::close(0) + lines::close(0);
    EXPECT_EQ(r.run.err, expected);
    EXPECT_EQ(r.text("received"), "ping");
}

TEST_F(TracedCalls, LocalSocketsWithShortBuffersAndARefusedPair)
{
    auto r = run("local_calls");
    long listener = r.number("listener"), client = r.number("client"), server = r.number("server");
    // The kernel's lengths: a named address, an unnamed client, and the
    // full length reported even where only four bytes fitted.
    long name_len = r.number("name_len");
    ASSERT_EQ(r.number("whole_len_after"), name_len);
    ASSERT_EQ(r.number("short_len_after"), name_len);
    ASSERT_EQ(r.number("from_len_after"), 2);

    // socketpair() comes first and does not start the route-table load.
    std::string expected =
        lines::socketpair("AF_UNIX", "SOCK_DGRAM", "IPPROTO_IP", 0, r.text("pair0"), r.text("pair1")) +
        lines::route_load(false) + lines::socket("AF_UNIX", "SOCK_SEQPACKET", "IPPROTO_IP", listener) +
        lines::bind(listener, "sockpath", name_len, 0) + lines::listen(listener, 1, 0) +
        lines::getsockname(listener, r.text("whole_len"), 0, "sockpath", num(name_len)) +
        lines::getsockname(listener, "4", 0, "so", num(name_len)) +
        lines::socket("AF_UNIX", "SOCK_SEQPACKET", "IPPROTO_IP", client) +
        lines::connect(client, "sockpath", name_len, 0, false) +
        lines::accept(listener, r.text("whole_len"), server, "", "2") +
        lines::shutdown(server, "further sends and receives disallowed", 0) +
        lines::socketpair("AF_INET", "SOCK_STREAM", "IPPROTO_IP", -1, r.text("refused0"), r.text("refused1")) +
        lines::close(0) + lines::close(0) + lines::close(0) + lines::close(0) + lines::close(0);
    EXPECT_EQ(r.run.err, expected);
}

TEST_F(TracedCalls, UdpDatagramsMessagesAndSelect)
{
    auto r = run("datagram_calls");
    long receiver = r.number("receiver"), sender = r.number("sender");
    std::string receiver_address = "127.0.0.1:" + r.text("port");

    // recvfrom, read and write write nothing while debug is off.
    std::string expected = lines::route_load(false) +
                           lines::socket("AF_INET", "SOCK_DGRAM", "IPPROTO_UDP", receiver) +
                           lines::bound_on_loopback(receiver, r.text("port")) + lines::udp_socket(sender) +
                           lines::sendto(3, false) + lines::select(1) + lines::recvfrom(false) +
                           lines::sendmsg(sender, r.pointer("out_msg"), 0, 5) +
                           lines::recvmsg(receiver, r.pointer("in_msg"), 0, 5) +
                           lines::connect(sender, receiver_address, 16, 0, false) +
                           lines::send(sender, r.pointer("third"), 2, MSG_DONTWAIT, 2) + lines::write(false) +
                           lines::select(0) + lines::close(0) + lines::close(0);
    EXPECT_EQ(r.run.err, expected);
    EXPECT_TRUE(r.has_outcome("recvfrom 3 EDOM")) << testsupport::describe(r.run);
    EXPECT_TRUE(r.has_outcome("read 2 EDOM")) << testsupport::describe(r.run);
    EXPECT_TRUE(r.has_outcome("write 4 EDOM")) << testsupport::describe(r.run);
    EXPECT_TRUE(r.has_outcome("read 4 EDOM")) << testsupport::describe(r.run);
}

struct OptionCase {
    int level;
    int optname;
    const char *level_text;
    const char *name_text;
};

// Linux's own values for the names it defines, the listed numbers for the
// others; numbers that other systems give these names are unknown here.
const OptionCase option_cases[] = {
    {SOL_SOCKET, SO_DEBUG, "SOL_SOCKET", "SO_DEBUG"},
    {SOL_SOCKET, SO_ACCEPTCONN, "SOL_SOCKET", "SO_ACCEPTCONN"},
    {SOL_SOCKET, SO_REUSEADDR, "SOL_SOCKET", "SO_REUSEADDR"},
    {SOL_SOCKET, SO_KEEPALIVE, "SOL_SOCKET", "SO_KEEPALIVE"},
    {SOL_SOCKET, SO_DONTROUTE, "SOL_SOCKET", "SO_DONTROUTE"},
    {SOL_SOCKET, SO_BROADCAST, "SOL_SOCKET", "SO_BROADCAST"},
    {SOL_SOCKET, 64, "SOL_SOCKET", "SO_USELOOPBACK"},
    {SOL_SOCKET, SO_LINGER, "SOL_SOCKET", "SO_LINGER"},
    {SOL_SOCKET, SO_OOBINLINE, "SOL_SOCKET", "SO_OOBINLINE"},
    {SOL_SOCKET, -129, "SOL_SOCKET", "SO_DONTLINGER"},
    {SOL_SOCKET, SO_SNDBUF, "SOL_SOCKET", "SO_SNDBUF"},
    {SOL_SOCKET, SO_RCVBUF, "SOL_SOCKET", "SO_RCVBUF"},
    {SOL_SOCKET, SO_SNDLOWAT, "SOL_SOCKET", "SO_SNDLOWAT"},
    {SOL_SOCKET, SO_RCVLOWAT, "SOL_SOCKET", "SO_RCVLOWAT"},
    {SOL_SOCKET, SO_SNDTIMEO, "SOL_SOCKET", "SO_SNDTIMEO"},
    {SOL_SOCKET, SO_RCVTIMEO, "SOL_SOCKET", "SO_RCVTIMEO"},
    {SOL_SOCKET, SO_ERROR, "SOL_SOCKET", "SO_ERROR"},
    {SOL_SOCKET, SO_TYPE, "SOL_SOCKET", "SO_TYPE"},
    {SOL_SOCKET, 4105, "SOL_SOCKET", "SO_PROTOTYPE"},
    {SOL_SOCKET, 4097, "SOL_SOCKET", "OPT_NAME_UNKNOWN(4097)"},
    {SOL_SOCKET, SO_PRIORITY, "SOL_SOCKET", "OPT_NAME_UNKNOWN(12)"},
    {IPPROTO_IP, IP_OPTIONS, "IPPROTO_IP", "IP_OPTIONS"},
    {IPPROTO_IP, IP_TTL, "IPPROTO_IP", "OPT_NAME_UNKNOWN(2)"},
    {IPPROTO_TCP, TCP_NODELAY, "IPPROTO_TCP", "TCP_NODELAY"},
    {IPPROTO_TCP, TCP_MAXSEG, "IPPROTO_TCP", "TCP_MAXSEG"},
    {IPPROTO_TCP, TCP_CORK, "IPPROTO_TCP", "OPT_NAME_UNKNOWN(3)"},
    {IPPROTO_UDP, 1, "OPT_LEVEL_UNKNOWN(17)", "OPT_NAME_UNKNOWN"},
    {65535, 4, "OPT_LEVEL_UNKNOWN(65535)", "OPT_NAME_UNKNOWN"},
    {-1, -1, "OPT_LEVEL_UNKNOWN(-1)", "OPT_NAME_UNKNOWN"},
    {INT_MIN, 5, "OPT_LEVEL_UNKNOWN(-2147483648)", "OPT_NAME_UNKNOWN"},
};

TEST_F(TracedCalls, SocketOptionsNamedByLinuxValues)
{
    std::vector<std::string> args;
    for (const auto &option : option_cases) {
        args.push_back(lines::format("%d:%d", option.level, option.optname));
    }
    auto r = run("socket_options", args);
    long s = r.number("s");
    std::string expected = lines::route_load(false) + lines::tcp_socket(s);
    for (size_t i = 0; i < std::size(option_cases); ++i) {
        const auto &option = option_cases[i];
        std::string n = num(static_cast<long>(i) + 1);
        // The value buffer holds 16 bytes; the kernel shortens the length.
        expected += lines::getsockopt(s, option.level_text, option.name_text, r.pointer("value"), "16",
                                      r.number("get" + n)) +
                    lines::setsockopt(s, option.level_text, option.name_text, r.pointer("value"),
                                      r.number("len" + n), r.number("set" + n));
    }
    expected += lines::close(0);
    EXPECT_EQ(r.run.err, expected);
}

}  // namespace
