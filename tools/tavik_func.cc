// tavik_cli's exchange loop: one timed datagram round trip per input line.
#include "tavik_func.hh"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "elapsed_time.hh"
#include "error.hh"

namespace {

// How long an exchange waits for its echo: one lost datagram must not hang
// the client for ever.
constexpr int reply_wait_seconds = 3;

// One read takes at most this many characters less one, so a longer line
// makes several exchanges.
constexpr int line_buffer_size = 512;

// Opens "tavik.time" for appending; null when it can't be opened. A symbolic
// link is refused so that the log can't be redirected onto another file.
FILE *open_time_log()
{
    const int fd = open("tavik.time", O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    return fdopen(fd, "a");
}

// Waits until a datagram can be received on sockfd; false when the wait
// passes first. poll rather than a socket timeout keeps the client's socket
// calls the plain ones, as a tracing preload sees them.
bool reply_ready(int sockfd)
{
    struct pollfd ready = {sockfd, POLLIN, 0};
    int result;
    do {
        result = poll(&ready, 1, reply_wait_seconds * 1000);
    } while (result < 0 && errno == EINTR);
    // A failing poll lets the receive itself report the socket's trouble.
    return result != 0;
}

// Sends one message of pkt_size bytes, waits for its echo and reports it.
void exchange(int sockfd, const struct sockaddr *pserv_addr, socklen_t servlen, int pkt_size,
              const char *dest, FILE *time_log)
{
    // Computed in size_t so that the largest int length cannot wrap.
    const size_t n = static_cast<size_t>(pkt_size);
    char *sendline = static_cast<char *>(malloc(n + 1));
    char *recvline = static_cast<char *>(malloc(n + 1));
    if (sendline == nullptr || recvline == nullptr) {
        printf("Error in Malloc\n");
        exit(1);
    }
    printf("Preparing Message\n");
    fflush(stdout);
    memset(sendline, 'a', n);
    sendline[n] = '\0';

    const struct timeval start = interval_clock_now();
    if (sendto(sockfd, sendline, n, 0, pserv_addr, servlen) != static_cast<ssize_t>(n)) {
        err_dump("dg_cli: sendto error on socket");
    }
    if (reply_ready(sockfd)) {
        const ssize_t received = recvfrom(sockfd, recvline, n, 0, nullptr, nullptr);
        if (received < 0) {
            err_dump("dg_cli: recvfrom error");
        }
        recvline[received] = '\0';
        printf("Tavik Client received %zd bytes\n%s\n", received, recvline);
        fflush(stdout);
        const long ms = elapsed_ms_between(start, interval_clock_now());
        printf("\n\nTIME=%ld. ms\n", ms);
        if (time_log != nullptr) {
            fprintf(time_log, "%s\t%ld. ms\n", dest, ms);
            fflush(time_log);
        }
    } else {
        printf("No reply within %d seconds\n", reply_wait_seconds);
    }
    free(sendline);
    free(recvline);
}

}  // namespace

void dg_cli(FILE *fp, int sockfd, const struct sockaddr *pserv_addr, socklen_t servlen, int pkt_size,
            const char *dest)
{
    // The log stays open for the life of the process; each line is flushed.
    FILE *time_log = open_time_log();
    if (time_log == nullptr) {
        printf("Error in opening tavik.time file\n");
    }
    printf("Press Enter\n");
    char line[line_buffer_size];
    while (fgets(line, sizeof line, fp) != nullptr) {
        exchange(sockfd, pserv_addr, servlen, pkt_size, dest, time_log);
        printf("Press Enter\n");
    }
    if (ferror(fp)) {
        err_dump("dg_cli: error reading file");
    }
}
