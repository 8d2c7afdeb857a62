// Benchmark application for routed sends: connects one socket to a routed
// destination and times each of its sends, printing one duration in
// microseconds per line. Run it with the preload library and a route file.
//
//   routed_bench tcp|udp ADDRESS PORT COUNT SIZE
//
// It stands up its own destination (a listener or a bound datagram socket) on
// ADDRESS:PORT so that every real send has somewhere to go.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::perror(what);
    std::exit(1);
}

int destination_socket(int type, const sockaddr_in &address)
{
    int s = socket(AF_INET, type, 0);
    if (s < 0 || bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        fail("destination");
    }
    if (type == SOCK_STREAM && listen(s, 4) != 0) {
        fail("listen");
    }
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: routed_bench tcp|udp ADDRESS PORT COUNT SIZE\n");
        return 2;
    }
    int type = std::strcmp(argv[1], "tcp") == 0 ? SOCK_STREAM : SOCK_DGRAM;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
    if (inet_pton(AF_INET, argv[2], &address.sin_addr) != 1) {
        fail("address");
    }
    int count = std::atoi(argv[4]);
    std::string message(static_cast<std::size_t>(std::atoi(argv[5])), 'x');

    // The destination is read only by the kernel's queues; a datagram sink
    // keeps the sender free of port-unreachable errors.
    int sink = destination_socket(type, address);
    int s = socket(AF_INET, type, 0);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        fail("connect");
    }
    char drain[65536];
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (send(s, message.data(), message.size(), 0) != static_cast<ssize_t>(message.size())) {
            fail("send");
        }
        auto took = std::chrono::steady_clock::now() - start;
        std::printf("%lld\n", static_cast<long long>(
                                  std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
        if (type == SOCK_DGRAM) {
            recv(sink, drain, sizeof drain, MSG_DONTWAIT);
        }
    }
    close(s);
    close(sink);
    return 0;
}
