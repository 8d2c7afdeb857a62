// Floods a UDP echo service with 64-byte datagrams, keeping a fixed number
// in flight, and prints how many echoes per second came back.
//   udp_flood LABEL SOURCE_ADDRESS DEST_ADDRESS PORT COUNT SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t datagram_size = 64;
// Enough datagrams in flight to keep the server busy without overrunning
// its receive buffer.
constexpr int window = 32;
// A window that has been silent this long is counted as lost and refilled.
constexpr int loss_wait_ms = 200;

sockaddr_in ipv4(const char *address, in_port_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &sin.sin_addr) != 1) {
        fprintf(stderr, "udp_flood: not an IPv4 address: %s\n", address);
        exit(2);
    }
    return sin;
}

[[noreturn]] void fail(const char *what)
{
    perror(what);
    exit(1);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: udp_flood LABEL SOURCE_ADDRESS DEST_ADDRESS PORT COUNT SECONDS\n");
        return 2;
    }
    const char *label = argv[1];
    const sockaddr_in source = ipv4(argv[2], 0);
    const sockaddr_in destination = ipv4(argv[3], static_cast<in_port_t>(atoi(argv[4])));
    const long count = atol(argv[5]);
    const auto time_limit = std::chrono::seconds(atol(argv[6]));

    // Connected, so that only the service's own answers are counted.
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        fail("socket");
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&source), sizeof source) != 0) {
        fail("bind");
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&destination), sizeof destination) != 0) {
        fail("connect");
    }

    // The client sends and receives in batches so that it costs less per
    // datagram than the server it measures.
    char message[datagram_size];
    memset(message, 'x', sizeof message);
    static char echoes[window][datagram_size];
    iovec send_iov = {message, sizeof message};
    iovec receive_iov[window];
    mmsghdr outgoing[window], incoming[window];
    for (int i = 0; i < window; ++i) {
        outgoing[i] = mmsghdr{};
        outgoing[i].msg_hdr.msg_iov = &send_iov;
        outgoing[i].msg_hdr.msg_iovlen = 1;
        receive_iov[i] = iovec{echoes[i], datagram_size};
        incoming[i] = mmsghdr{};
        incoming[i].msg_hdr.msg_iov = &receive_iov[i];
        incoming[i].msg_hdr.msg_iovlen = 1;
    }

    long echoed = 0, lost = 0;
    int in_flight = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + time_limit;
    while (echoed < count && std::chrono::steady_clock::now() < deadline) {
        if (in_flight < window) {
            const int sent = sendmmsg(fd, outgoing, static_cast<unsigned>(window - in_flight), 0);
            if (sent < 0) {
                fail("sendmmsg");
            }
            in_flight += sent;
        }
        pollfd ready = {fd, POLLIN, 0};
        const int result = poll(&ready, 1, loss_wait_ms);
        if (result < 0) {
            fail("poll");
        }
        if (result == 0) {
            // The silent window is written off and replaced, so the count
            // still means echoes received.
            lost += in_flight;
            in_flight = 0;
            continue;
        }
        const int received = recvmmsg(fd, incoming, window, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            fail("recvmmsg");
        }
        echoed += received;
        // Echoes that arrive after their window was written off free no slot.
        in_flight = received > in_flight ? 0 : in_flight - received;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%-12s %8ld echoes in %6.2f s: %9.0f datagrams/s (%ld lost)\n", label, echoed, seconds,
           echoed / seconds, lost);
    return echoed > 0 ? 0 : 1;
}
