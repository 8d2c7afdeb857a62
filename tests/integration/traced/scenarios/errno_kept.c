/* A failing and a succeeding use of every traced call, reporting result and
 * errno. With "stderr-full" standard error is /dev/full, so every trace write
 * fails with an errno of its own that the application must never see. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "scenario_report.h"

static struct sockaddr_in loopback(unsigned short port)
{
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(port),
                                  .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    return address;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "stderr-full") == 0) {
        int full = open("/dev/full", O_WRONLY);
        require(full >= 0 && dup2(full, 2) == 2 && close(full) == 0, "/dev/full as standard error");
        errno = SENTINEL_ERRNO;
    }

    outcome("socket", socket(AF_INET6 + 1000, SOCK_STREAM, 0));
    int listener = outcome_fd("socket", socket(AF_INET, SOCK_STREAM, 0));
    struct sockaddr_in address = loopback(0);
    outcome("bind", bind(listener, (struct sockaddr *)&address, sizeof address));
    socklen_t length = sizeof address;
    outcome("getsockname", getsockname(listener, (struct sockaddr *)&address, &length));
    int other = outcome_fd("socket", socket(AF_INET, SOCK_STREAM, 0));
    outcome("bind", bind(other, (struct sockaddr *)&address, sizeof address));
    outcome("getsockname", getsockname(-1, (struct sockaddr *)&address, &length));
    outcome("getpeername", getpeername(other, (struct sockaddr *)&address, &length));
    outcome("listen", listen(-1, 1));
    outcome("listen", listen(listener, 1));
    outcome("accept", accept(other, NULL, NULL));

    int value = 0;
    socklen_t value_len = sizeof value;
    outcome("getsockopt", getsockopt(listener, SOL_SOCKET, 9999, &value, &value_len));
    outcome("getsockopt", getsockopt(listener, SOL_SOCKET, SO_TYPE, &value, &value_len));
    outcome("setsockopt", setsockopt(listener, 12345, 1, &value, sizeof value));
    outcome("setsockopt", setsockopt(listener, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value));

    outcome("connect", connect(other, (struct sockaddr *)&address, sizeof address));
    int accepted = outcome_fd("accept", accept(listener, NULL, NULL));
    outcome("getpeername", getpeername(other, (struct sockaddr *)&address, &length));
    outcome("send", send(other, "abc", 3, MSG_NOSIGNAL));
    char buf[8];
    outcome("recv", recv(accepted, buf, sizeof buf, 0));
    outcome("recv", recv(accepted, buf, sizeof buf, MSG_DONTWAIT));
    outcome("send", send(-1, "abc", 3, 0));
    outcome("write", write(other, "de", 2));
    outcome("read", read(accepted, buf, sizeof buf));
    outcome("write", write(-1, "de", 2));
    outcome("read", read(-1, buf, sizeof buf));
    struct sockaddr_in closed_port = loopback(1);
    int refused = outcome_fd("socket", socket(AF_INET, SOCK_STREAM, 0));
    outcome("connect", connect(refused, (struct sockaddr *)&closed_port, sizeof closed_port));
    /* Linux marks even an unconnected socket as shut down, so this comes last. */
    outcome("shutdown", shutdown(refused, SHUT_RDWR));
    outcome("shutdown", shutdown(other, SHUT_WR));

    int datagram = outcome_fd("socket", socket(AF_INET, SOCK_DGRAM, 0));
    outcome("sendto", sendto(datagram, "x", 1, 0, NULL, 0));
    outcome("recvfrom", recvfrom(datagram, buf, sizeof buf, MSG_DONTWAIT, NULL, NULL));
    struct iovec vec = {.iov_base = buf, .iov_len = sizeof buf};
    struct msghdr msg = {.msg_iov = &vec, .msg_iovlen = 1};
    outcome("sendmsg", sendmsg(datagram, &msg, 0));
    outcome("recvmsg", recvmsg(datagram, &msg, MSG_DONTWAIT));
    struct sockaddr_in self = loopback(0);
    outcome("bind", bind(datagram, (struct sockaddr *)&self, sizeof self));
    length = sizeof self;
    outcome("getsockname", getsockname(datagram, (struct sockaddr *)&self, &length));
    outcome("sendto", sendto(datagram, "x", 1, 0, (struct sockaddr *)&self, sizeof self));
    outcome("recvfrom", recvfrom(datagram, buf, sizeof buf, 0, NULL, NULL));
    msg.msg_name = &self;
    msg.msg_namelen = sizeof self;
    vec.iov_len = 1;
    outcome("sendmsg", sendmsg(datagram, &msg, 0));
    msg.msg_name = NULL;
    msg.msg_namelen = 0;
    vec.iov_len = sizeof buf;
    outcome("recvmsg", recvmsg(datagram, &msg, 0));

    int pair[2];
    outcome("socketpair", socketpair(AF_INET, SOCK_STREAM, 0, pair));
    outcome("socketpair", socketpair(AF_UNIX, SOCK_STREAM, 0, pair));

    struct timeval no_wait = {0};
    outcome("select", select(-1, NULL, NULL, NULL, &no_wait));
    outcome("select", select(0, NULL, NULL, NULL, &no_wait));

    outcome("close", close(-1));
    outcome("close", close(pair[0]));
    outcome("close", close(pair[1]));
    outcome("close", close(datagram));
    outcome("close", close(refused));
    outcome("close", close(accepted));
    outcome("close", close(other));
    outcome("close", close(listener));
    return 0;
}
