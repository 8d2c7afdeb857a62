/* UDP over loopback with debug off: datagram and message calls, select,
 * and the plain read and write that pass through without a line. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scenario_report.h"

int main(void)
{
    int receiver = outcome_fd("socket", socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    report_int("receiver", receiver);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    outcome("bind", bind(receiver, (struct sockaddr *)&address, sizeof address));
    socklen_t address_len = sizeof address;
    outcome("getsockname", getsockname(receiver, (struct sockaddr *)&address, &address_len));
    report_int("port", ntohs(address.sin_port));

    int sender = outcome_fd("socket", socket(AF_INET, SOCK_DGRAM, 0));
    report_int("sender", sender);

    static const char first[] = "abc";
    outcome("sendto", sendto(sender, first, 3, 0, (struct sockaddr *)&address, sizeof address));

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(receiver, &readable);
    struct timeval wait = {.tv_sec = 5};
    outcome("select", select(receiver + 1, &readable, NULL, NULL, &wait));

    char buf[64];
    struct sockaddr_in from;
    socklen_t from_len = sizeof from;
    outcome("recvfrom", recvfrom(receiver, buf, sizeof buf, 0, (struct sockaddr *)&from, &from_len));

    static char second[] = "hello";
    struct iovec out_vec = {.iov_base = second, .iov_len = 5};
    struct msghdr out_msg = {.msg_name = &address, .msg_namelen = sizeof address, .msg_iov = &out_vec,
                             .msg_iovlen = 1};
    report_ptr("out_msg", &out_msg);
    outcome("sendmsg", sendmsg(sender, &out_msg, 0));

    struct iovec in_vec = {.iov_base = buf, .iov_len = sizeof buf};
    struct msghdr in_msg = {.msg_iov = &in_vec, .msg_iovlen = 1};
    report_ptr("in_msg", &in_msg);
    outcome("recvmsg", recvmsg(receiver, &in_msg, 0));

    outcome("connect", connect(sender, (struct sockaddr *)&address, sizeof address));
    static const char third[] = "xy";
    report_ptr("third", third);
    outcome("send", send(sender, third, 2, MSG_DONTWAIT));
    outcome("read", read(receiver, buf, sizeof buf));
    outcome("write", write(sender, "four", 4));
    outcome("read", read(receiver, buf, sizeof buf));

    struct timeval no_wait = {0};
    FD_ZERO(&readable);
    FD_SET(receiver, &readable);
    outcome("select_idle", select(receiver + 1, &readable, NULL, NULL, &no_wait));

    outcome("close", close(sender));
    outcome("close", close(receiver));
    return 0;
}
