/* Arguments no careful program passes: unknown families and types, null
 * pointers, lengths far beyond any buffer, descriptors that are no sockets.
 * Every call must still reach the kernel and come back with its answer. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "scenario_report.h"

/* A local address far longer than any real one, with no zero byte in it. */
struct long_local_address {
    sa_family_t family;
    char path[298];
};

static void unknown_names(void)
{
    outcome("socket_unknown", socket(12345, 99, -5));
    int s = outcome_fd("socket_flags", socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    report_int("flagged", s);
    int flags = fcntl(s, F_GETFL);
    report_int("flagged_nonblocking", (flags & O_NONBLOCK) != 0);
    outcome("close", close(s));
    outcome("socket_encap", socket(AF_INET, SOCK_DGRAM, IPPROTO_ENCAP));
    outcome("socket_four", socket(AF_INET, SOCK_DGRAM, 4));
}

static void odd_addresses(int s)
{
    outcome("bind_null", bind(s, NULL, 0));

    struct long_local_address local;
    local.family = AF_UNIX;
    memset(local.path, 'a', sizeof local.path);
    outcome("bind_long_local", bind(s, (struct sockaddr *)&local, sizeof local));
    outcome("bind_short_local", bind(s, (struct sockaddr *)&local, 1));
    outcome("bind_negative_local", bind(s, (struct sockaddr *)&local, (socklen_t)-1));

    struct sockaddr_in inet = {.sin_family = AF_INET, .sin_port = htons(9), .sin_addr.s_addr = htonl(0x0a010203)};
    outcome("bind_huge_inet", bind(s, (struct sockaddr *)&inet, 0x7fffffff));
    struct sockaddr_in unspec = {.sin_family = AF_UNSPEC};
    outcome("bind_unspec", bind(s, (struct sockaddr *)&unspec, sizeof unspec));
    struct sockaddr_in strange = {.sin_family = 0x1234};
    outcome("bind_strange", bind(s, (struct sockaddr *)&strange, sizeof strange));
}

static void null_results(int s)
{
    outcome("getsockopt_null", getsockopt(s, -1, -1, NULL, NULL));
    outcome("setsockopt_huge", setsockopt(s, SOL_SOCKET, SO_RCVBUF, NULL, (socklen_t)-1));
    outcome("accept_null", accept(s, NULL, NULL));
    outcome("getpeername_null", getpeername(s, NULL, NULL));
    outcome("socketpair_null", socketpair(AF_UNIX, SOCK_STREAM, 0, NULL));
    outcome("recvmsg_null", recvmsg(s, NULL, MSG_DONTWAIT));
    outcome("sendmsg_null", sendmsg(-1, NULL, 0));
    outcome("send_huge", send(-1, NULL, SIZE_MAX, 0));
    outcome("connect_null", connect(s, NULL, 0));
    outcome("sendto_null", sendto(s, "x", 1, MSG_NOSIGNAL, NULL, 0));
}

/* A failing call leaves the buffer as the application filled it, and the
 * trace shows what it holds. */
static void untouched_buffer(void)
{
    struct sockaddr_in left = {.sin_family = AF_INET, .sin_port = htons(99), .sin_addr.s_addr = htonl(0x0a010203)};
    socklen_t left_len = sizeof left;
    outcome("getsockname_bad", getsockname(-1, (struct sockaddr *)&left, &left_len));
}

static void not_sockets(void)
{
    int pipe_ends[2];
    require(pipe(pipe_ends) == 0, "pipe");
    report_int("pipe_read", pipe_ends[0]);
    report_int("pipe_write", pipe_ends[1]);
    /* The kernel clamps a huge length and checks the range from the buffer
     * on: a static buffer keeps that check's answer independent of where
     * the stack happens to lie. */
    static char buf[8];
    report_ptr("buf", buf);
    outcome("recv_pipe", recv(pipe_ends[0], buf, SIZE_MAX, 0));
    outcome("listen_pipe", listen(pipe_ends[0], -3));
    outcome("shutdown_pipe", shutdown(pipe_ends[0], 7));
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    report_int("datagram", s);
    outcome("shutdown_negative", shutdown(s, -1));
    outcome("select_negative", select(-1, NULL, NULL, NULL, NULL));
    outcome("read_closed", read(-1, buf, sizeof buf));
    outcome("close_bad", close(-1));
    outcome("close", close(s));
    outcome("close", close(pipe_ends[0]));
    outcome("close", close(pipe_ends[1]));
}

int main(void)
{
    unknown_names();
    int s = outcome_fd("socket", socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    report_int("s", s);
    odd_addresses(s);
    null_results(s);
    untouched_buffer();
    not_sockets();
    outcome("close", close(s));
    return 0;
}
