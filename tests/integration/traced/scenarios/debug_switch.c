/* The exported debug flag switched on and off while the program runs, around
 * the calls that have guarded lines. With "debug-at-load" the flag is already
 * on when the first socket() starts the route-table load. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scenario_report.h"

static struct sockaddr_in receiver_address;

static void exchange(const char *round, int sender, int receiver)
{
    char key[32];
    char buf[16];
    snprintf(key, sizeof key, "sendto_%s", round);
    outcome(key, sendto(sender, "dg", 2, 0, (struct sockaddr *)&receiver_address, sizeof receiver_address));
    snprintf(key, sizeof key, "recvfrom_%s", round);
    outcome(key, recvfrom(receiver, buf, sizeof buf, 0, NULL, NULL));
    snprintf(key, sizeof key, "write_%s", round);
    outcome(key, write(sender, "w", 1));
    snprintf(key, sizeof key, "read_%s", round);
    outcome(key, read(receiver, buf, sizeof buf));
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "debug-at-load") == 0) {
        set_trace_debug(1);
    }
    int receiver = outcome_fd("socket", socket(AF_INET, SOCK_DGRAM, 0));
    report_int("receiver", receiver);
    receiver_address.sin_family = AF_INET;
    receiver_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    outcome("bind", bind(receiver, (struct sockaddr *)&receiver_address, sizeof receiver_address));
    socklen_t length = sizeof receiver_address;
    outcome("getsockname", getsockname(receiver, (struct sockaddr *)&receiver_address, &length));
    report_int("port", ntohs(receiver_address.sin_port));
    int sender = outcome_fd("socket", socket(AF_INET, SOCK_DGRAM, 0));
    report_int("sender", sender);

    set_trace_debug(0);
    outcome("connect_off", connect(sender, (struct sockaddr *)&receiver_address, sizeof receiver_address));
    exchange("off", sender, receiver);

    set_trace_debug(1);
    outcome("connect_on", connect(sender, (struct sockaddr *)&receiver_address, sizeof receiver_address));
    exchange("on", sender, receiver);

    set_trace_debug(0);
    exchange("off_again", sender, receiver);

    outcome("close", close(sender));
    outcome("close", close(receiver));
    return 0;
}
