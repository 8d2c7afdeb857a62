/* The path model tests' application: one TCP socket driven by steps given
 * as arguments, each printing what the program saw:
 *   connect ADDR PORT | connect-nb ADDR PORT | again ADDR PORT (connect the same socket again)
 *   pending (whether a connect is still under way) | writable (waits, then SO_ERROR)
 *   outcome (waits; "failed ERROR" from SO_ERROR or, when it says nothing, the first read)
 *   from ADDR (the next connect's source) | serve ADDR PORT (accepts one)
 *   udp ADDR PORT | udp-connect ADDR PORT | sendtos COUNT TEXT  (to ADDR PORT)
 *   sendmsgs COUNT TEXT (each TEXT in two pieces) | sendmmsg COUNT TEXT (one call)
 *   exec (runs this program again with the steps left, on the same socket) | socket FD
 *   peer | local | dup (the socket's copy takes its place) | send TEXT | write TEXT | sends COUNT TEXT | recv LENGTH | bulk BYTES
 *   nodelay 0|1 (sets TCP_NODELAY, prints what getsockopt then reads)
 *   fork TEXT (a child sends TEXT on the socket and exits) | shutdown | close */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static int s = -1;
static const char *source = NULL;
static struct sockaddr_storage datagram_peer;
static socklen_t datagram_peer_length;

static socklen_t address_of(const char *text, int port, struct sockaddr_storage *address)
{
    struct sockaddr_in *v4 = (struct sockaddr_in *)address;
    struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)address;
    memset(address, 0, sizeof *address);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return sizeof *v4;
    }
    inet_pton(AF_INET6, text, &v6->sin6_addr);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    return sizeof *v6;
}

static void do_connect(const char *text, int port, int nonblocking, int again)
{
    struct sockaddr_storage address;
    socklen_t length = address_of(text, port, &address);
    if (!again) {
        s = socket(address.ss_family, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    }
    if (source != NULL && !again) {
        struct sockaddr_storage local;
        socklen_t local_length = address_of(source, 0, &local);
        bind(s, (struct sockaddr *)&local, local_length);
    }
    int result = connect(s, (struct sockaddr *)&address, length);
    printf("connect %d %s\n", result, result == 0 ? "" : strerrorname_np(errno));
}

static void await_writable(int patience_ms)
{
    struct pollfd ready = {s, POLLOUT, 0};
    if (poll(&ready, 1, patience_ms) == 0) {
        printf("pending\n");
        return;
    }
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size);
    printf("writable %s\n", error == 0 ? "0" : strerrorname_np(error));
}

/* "peer ADDR PORT", or "local ADDR" (its port is the system's choice). */
static void print_name(int local)
{
    struct sockaddr_storage name;
    socklen_t length = sizeof name;
    char text[INET6_ADDRSTRLEN] = "";
    (local ? getsockname : getpeername)(s, (struct sockaddr *)&name, &length);
    int v6 = name.ss_family == AF_INET6;
    inet_ntop(name.ss_family, v6 ? (void *)&((struct sockaddr_in6 *)&name)->sin6_addr
                                 : (void *)&((struct sockaddr_in *)&name)->sin_addr,
              text, sizeof text);
    if (local) {
        printf("local %s\n", text);
        return;
    }
    printf("peer %s %d\n", text,
           ntohs(v6 ? ((struct sockaddr_in6 *)&name)->sin6_port : ((struct sockaddr_in *)&name)->sin_port));
}

/* Waits for readiness before each read, as an event loop does. */
static void receive(long length)
{
    char *bytes = malloc(length + 1);
    long got = 0;
    while (got < length) {
        struct pollfd ready = {s, POLLIN, 0};
        poll(&ready, 1, -1);
        ssize_t n = recv(s, bytes + got, length - got, MSG_DONTWAIT);
        if (n <= 0) {
            printf("recv %s\n", n == 0 ? "end" : strerrorname_np(errno));
            free(bytes);
            return;
        }
        got += n;
    }
    bytes[got] = '\0';
    printf("recv %s\n", bytes);
    free(bytes);
}

static void bulk(long total)
{
    char piece[65536];
    long sent = 0;
    while (sent < total) {
        long want = total - sent < (long)sizeof piece ? total - sent : (long)sizeof piece;
        for (long i = 0; i < want; ++i) {
            piece[i] = (char)('a' + (sent + i) % 26);
        }
        ssize_t n = send(s, piece, want, 0);
        if (n <= 0) {
            break;
        }
        sent += n;
    }
    printf("bulk %ld\n", sent);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const char *step = argv[i];
        if (!strcmp(step, "connect") || !strcmp(step, "connect-nb") || !strcmp(step, "again")) {
            do_connect(argv[i + 1], atoi(argv[i + 2]), !strcmp(step, "connect-nb"), !strcmp(step, "again"));
            i += 2;
        } else if (!strcmp(step, "pending") || !strcmp(step, "writable")) {
            await_writable(!strcmp(step, "pending") ? 0 : -1);
        } else if (!strcmp(step, "outcome")) {
            struct pollfd ready = {s, POLLOUT, 0};
            poll(&ready, 1, -1);
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size);
            char byte;
            if (error == 0 && recv(s, &byte, 1, 0) < 0) {
                error = errno;
            }
            printf("%s %s\n", error == 0 ? "connected" : "failed", error == 0 ? "" : strerrorname_np(error));
        } else if (!strcmp(step, "from")) {
            source = argv[++i];
        } else if (!strcmp(step, "serve")) {
            struct sockaddr_storage address, peer;
            socklen_t length = address_of(argv[i + 1], atoi(argv[i + 2]), &address), peer_length = sizeof peer;
            int listener = socket(address.ss_family, SOCK_STREAM, 0);
            int on = 1;
            setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            bind(listener, (struct sockaddr *)&address, length);
            listen(listener, 1);
            s = accept(listener, (struct sockaddr *)&peer, &peer_length);
            char text[INET6_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &((struct sockaddr_in *)&peer)->sin_addr, text, sizeof text);
            printf("accepted %s\n", text);
            close(listener);
            i += 2;
        } else if (!strcmp(step, "udp") || !strcmp(step, "udp-connect")) {
            datagram_peer_length = address_of(argv[i + 1], atoi(argv[i + 2]), &datagram_peer);
            s = socket(datagram_peer.ss_family, SOCK_DGRAM, 0);
            if (!strcmp(step, "udp-connect")) {
                printf("connect %d\n", connect(s, (struct sockaddr *)&datagram_peer, datagram_peer_length));
            }
            i += 2;
        } else if (!strcmp(step, "sendtos")) {
            int count = atoi(argv[i + 1]);
            long total = 0;
            for (int k = 0; k < count; ++k) {
                total += sendto(s, argv[i + 2], strlen(argv[i + 2]), 0, (struct sockaddr *)&datagram_peer,
                                datagram_peer_length);
            }
            printf("sendtos %ld\n", total);
            i += 2;
        } else if (!strcmp(step, "sendmsgs") || !strcmp(step, "sendmmsg")) {
            int count = atoi(argv[i + 1]);
            char *text = argv[i + 2];
            size_t half = strlen(text) / 2;
            struct iovec pieces[2] = {{text, half}, {text + half, strlen(text) - half}};
            struct mmsghdr messages[64];
            memset(messages, 0, sizeof messages);
            for (int k = 0; k < count && k < 64; ++k) {
                messages[k].msg_hdr.msg_name = &datagram_peer;
                messages[k].msg_hdr.msg_namelen = datagram_peer_length;
                messages[k].msg_hdr.msg_iov = pieces;
                messages[k].msg_hdr.msg_iovlen = 2;
            }
            long total = 0;
            if (!strcmp(step, "sendmsgs")) {
                for (int k = 0; k < count; ++k) {
                    total += sendmsg(s, &messages[0].msg_hdr, 0);
                }
                printf("sendmsgs %ld\n", total);
            } else {
                int sent = sendmmsg(s, messages, count, 0);
                for (int k = 0; k < sent; ++k) {
                    total += messages[k].msg_len;
                }
                printf("sendmmsg %d %ld\n", sent, total);
            }
            i += 2;
        } else if (!strcmp(step, "peer") || !strcmp(step, "local")) {
            print_name(!strcmp(step, "local"));
        } else if (!strcmp(step, "exec")) {
            char number[16];
            snprintf(number, sizeof number, "%d", s);
            char **again = calloc((size_t)(argc - i + 3), sizeof *again);
            again[0] = argv[0];
            again[1] = "socket";
            again[2] = number;
            memcpy(again + 3, argv + i + 1, (size_t)(argc - i - 1) * sizeof *again);
            execv(argv[0], again);
            printf("exec %s\n", strerrorname_np(errno));
            return 1;
        } else if (!strcmp(step, "socket")) {
            s = atoi(argv[++i]);
        } else if (!strcmp(step, "dup")) {
            int copy = dup(s);
            close(s);
            s = copy;
            printf("dup\n");
        } else if (!strcmp(step, "write")) {
            printf("write %zd\n", write(s, argv[i + 1], strlen(argv[i + 1])));
            ++i;
        } else if (!strcmp(step, "send")) {
            printf("send %zd\n", send(s, argv[i + 1], strlen(argv[i + 1]), 0));
            ++i;
        } else if (!strcmp(step, "sends")) {
            int count = atoi(argv[i + 1]);
            long total = 0;
            for (int k = 0; k < count; ++k) {
                total += send(s, argv[i + 2], strlen(argv[i + 2]), 0);
            }
            printf("sends %ld\n", total);
            i += 2;
        } else if (!strcmp(step, "recv")) {
            receive(atol(argv[++i]));
        } else if (!strcmp(step, "bulk")) {
            bulk(atol(argv[++i]));
        } else if (!strcmp(step, "fork")) {
            pid_t child = fork();
            if (child == 0) {
                send(s, argv[i + 1], strlen(argv[i + 1]), 0);
                _exit(0);
            }
            waitpid(child, NULL, 0);
            ++i;
        } else if (!strcmp(step, "nodelay")) {
            int value = atoi(argv[++i]);
            int set = setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
            socklen_t size = sizeof value;
            getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, &size);
            printf("nodelay %d %d\n", set, value);
        } else if (!strcmp(step, "shutdown")) {
            printf("shutdown %d\n", shutdown(s, SHUT_WR));
        } else if (!strcmp(step, "close")) {
            printf("close %d\n", close(s));
        }
    }
    return 0;
}
