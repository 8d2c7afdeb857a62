/* The benchmark loop: a number of 64-byte sendto calls on one UDP socket to
 * a loopback port, timed around the loop alone; prints nanoseconds per call. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

static double seconds(const struct timespec *at)
{
    return (double)at->tv_sec + (double)at->tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    long calls = argc > 1 ? atol(argv[1]) : 200000;
    /* A sink that never reads: its queue fills and the kernel drops the
     * rest, but every sendto still does its whole work and succeeds. */
    struct sockaddr_in sink_address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t length = sizeof sink_address;
    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (sink < 0 || s < 0 || bind(sink, (struct sockaddr *)&sink_address, sizeof sink_address) != 0 ||
        getsockname(sink, (struct sockaddr *)&sink_address, &length) != 0) {
        printf("sendto_loop: cannot set up the sockets\n");
        return 1;
    }
    char payload[64] = {0};
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < calls; ++i) {
        if (sendto(s, payload, sizeof payload, 0, (struct sockaddr *)&sink_address, sizeof sink_address) !=
            (ssize_t)sizeof payload) {
            printf("sendto_loop: sendto failed at call %ld\n", i);
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%.1f\n", (seconds(&end) - seconds(&start)) * 1e9 / (double)calls);
    return 0;
}
