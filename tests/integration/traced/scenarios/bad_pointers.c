/* Every call that takes an address, a length, a buffer or a message header,
 * given a pointer to memory that cannot be read or written: each must come
 * back with the system's own answer, and the program must live on. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scenario_report.h"

static void *bad;

static struct sockaddr_in loopback(void)
{
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    return address;
}

/* A listener on a loopback port of the kernel's choice, with two
 * connections waiting, and one of the clients. */
static int listener_with_clients(int *client)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in address = loopback();
    socklen_t length = sizeof address;
    require(bind(listener, (struct sockaddr *)&address, length) == 0 && listen(listener, 4) == 0 &&
                getsockname(listener, (struct sockaddr *)&address, &length) == 0,
            "listener");
    for (int i = 0; i < 2; ++i) {
        *client = socket(AF_INET, SOCK_STREAM, 0);
        require(connect(*client, (struct sockaddr *)&address, length) == 0, "client");
    }
    return listener;
}

static void addresses_in(int s, int datagram)
{
    outcome("bind", bind(s, bad, sizeof(struct sockaddr_in)));
    outcome("connect", connect(s, bad, sizeof(struct sockaddr_in)));
    outcome("sendto_address", sendto(datagram, "x", 1, 0, bad, sizeof(struct sockaddr_in)));
    struct sockaddr_in discard = loopback();
    discard.sin_port = htons(9);
    outcome("sendto_buffer", sendto(datagram, bad, 16, 0, (struct sockaddr *)&discard, sizeof discard));
    outcome("sendmsg_header", sendmsg(datagram, bad, 0));
    struct iovec piece = {bad, 16};
    struct msghdr message = {.msg_name = bad, .msg_namelen = sizeof discard, .msg_iov = &piece, .msg_iovlen = 1};
    outcome("sendmsg_name", sendmsg(datagram, &message, 0));
    message.msg_name = &discard;
    outcome("sendmsg_data", sendmsg(datagram, &message, 0));
    message.msg_iov = bad;
    outcome("sendmsg_vector", sendmsg(datagram, &message, 0));
    outcome("setsockopt", setsockopt(s, SOL_SOCKET, SO_RCVBUF, bad, sizeof(int)));
}

static void results_out(int s, int listener, int client)
{
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    outcome("accept_address", accept(listener, bad, &length));
    outcome("accept_length", accept(listener, (struct sockaddr *)&address, bad));
    outcome("getpeername_address", getpeername(client, bad, &length));
    outcome("getpeername_length", getpeername(client, (struct sockaddr *)&address, bad));
    outcome("getsockname_address", getsockname(s, bad, &length));
    outcome("getsockname_length", getsockname(s, (struct sockaddr *)&address, bad));
    int value;
    outcome("getsockopt_value", getsockopt(s, SOL_SOCKET, SO_TYPE, bad, &length));
    outcome("getsockopt_length", getsockopt(s, SOL_SOCKET, SO_TYPE, &value, bad));
    outcome("socketpair", socketpair(AF_UNIX, SOCK_STREAM, 0, bad));
    outcome("send", send(client, bad, 16, MSG_NOSIGNAL));
    outcome("write", write(client, bad, 16));
    outcome("recvmsg", recvmsg(client, bad, MSG_DONTWAIT));
}

int main(void)
{
    bad = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    require(bad != MAP_FAILED, "unreadable page");
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int datagram = socket(AF_INET, SOCK_DGRAM, 0);
    int client;
    int listener = listener_with_clients(&client);
    addresses_in(s, datagram);
    results_out(s, listener, client);
    return 0;
}
