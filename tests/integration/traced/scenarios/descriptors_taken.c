/* A program that closes its standard error (mode "stderr") or standard output
 * (mode "stdout") and then gets that descriptor number back as a socket: the
 * peer of that socket must receive the program's own bytes and nothing else,
 * and the trace must come back once the socket is closed. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scenario_report.h"

/* Bytes the peer received, with newlines and tabs made visible so that a
 * stray trace line cannot break the report. */
static void report_received(const char *key, const char *bytes, long count)
{
    char text[4096];
    size_t used = 0;
    for (long i = 0; i < count && used + 3 < sizeof text; ++i) {
        if (bytes[i] == '\n' || bytes[i] == '\t') {
            text[used++] = '\\';
            text[used++] = bytes[i] == '\n' ? 'n' : 't';
        } else {
            text[used++] = bytes[i];
        }
    }
    text[used] = '\0';
    report_text(key, text);
}

static long receive_all(int s, char *into, size_t size)
{
    long total = 0, got;
    while ((got = recv(s, into + total, size - (size_t)total, 0)) > 0) {
        total += got;
    }
    return total;
}

static void take_stderr(void)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    report_int("listener", listener);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t length = sizeof address;
    require(bind(listener, (struct sockaddr *)&address, sizeof address) == 0 &&
                getsockname(listener, (struct sockaddr *)&address, &length) == 0 && listen(listener, 1) == 0,
            "listener");
    report_int("port", ntohs(address.sin_port));

    outcome("close_stderr", close(2));
    int type = 0;
    socklen_t type_len = sizeof type;
    outcome("getsockopt", getsockopt(listener, SOL_SOCKET, SO_TYPE, &type, &type_len));

    int taken = outcome_fd("socket", socket(AF_INET, SOCK_STREAM, 0));
    report_int("taken", taken);
    outcome("connect", connect(taken, (struct sockaddr *)&address, sizeof address));
    int accepted = outcome_fd("accept", accept(listener, NULL, NULL));
    report_int("accepted", accepted);
    outcome("send", send(taken, "payload", 7, 0));
    outcome("getpeername", getpeername(taken, (struct sockaddr *)&address, &length));
    outcome("shutdown", shutdown(taken, SHUT_WR));
    char received[4096];
    report_received("peer_received", received, receive_all(accepted, received, sizeof received));
    outcome("close", close(taken));

    int file = open("after.trace", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    report_int("after_file", file);
    int later = outcome_fd("socket", socket(AF_UNIX, SOCK_DGRAM, 0));
    report_int("later", later);
    outcome("close", close(later));
    outcome("close", close(accepted));
    outcome("close", close(listener));
}

static void take_stdout(void)
{
    report_to_descriptor(dup(1));
    outcome("close_stdout", close(1));
    int pair[2];
    outcome("socketpair", socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    report_int("pair0", pair[0]);
    report_int("pair1", pair[1]);

    int s = outcome_fd("socket", socket(AF_INET, SOCK_DGRAM, 0));
    report_int("s", s);
    printf("mine\n");
    fflush(stdout);
    char received[4096];
    report_ptr("received", received);
    long count = outcome("recv", recv(pair[1], received, 64, MSG_DONTWAIT));
    report_received("peer_received", received, count);
    outcome("close", close(s));
    outcome("close", close(pair[0]));
    outcome("close", close(pair[1]));
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "stdout") == 0) {
        take_stdout();
    } else {
        take_stderr();
    }
    return 0;
}
