// Benchmark application for routed sends: connects SOCKETS sockets to a
// routed destination (one by default) and times sends on the first and the
// last of them in turn. Run it with the preload library and a route file.
//
//   routed_bench tcp|udp ADDRESS PORT COUNT SIZE [SOCKETS]
//
// Prints "opened SOCKETS MICROSECONDS" for the connects, then one line
// "send SOCKET_NUMBER MICROSECONDS" per send (socket numbers count from 1),
// then "library descriptors N": the descriptors open beyond the program's own.
// It stands up its own destination (a listener or a bound datagram socket)
// on ADDRESS:PORT so that every real send has somewhere to go.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const char *what)
{
    std::perror(what);
    std::exit(1);
}

long long microseconds_since(clock_type::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count();
}

// Each connected socket may hold three descriptors here (the socket, the
// destination's accepted end, the library's hop socket): the soft limit of
// 1024 would stop a thousand connections short.
void allow_descriptors(rlim_t wanted)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur = wanted;
    if (limit.rlim_max < wanted) {
        limit.rlim_max = wanted;  // root may raise the hard limit too
    }
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        fail("setrlimit");
    }
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count - 1;  // the directory's own
}

int destination_socket(int type, const sockaddr_in &address, int backlog)
{
    int s = socket(AF_INET, type, 0);
    if (s < 0 || bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        fail("destination");
    }
    if (type == SOCK_STREAM && listen(s, backlog) != 0) {
        fail("listen");
    }
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: routed_bench tcp|udp ADDRESS PORT COUNT SIZE [SOCKETS]\n");
        return 2;
    }
    // What the program was started with (the standard streams, and whatever
    // else its parent left open), before the library opens anything.
    int inherited = open_descriptors();
    int type = std::strcmp(argv[1], "tcp") == 0 ? SOCK_STREAM : SOCK_DGRAM;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
    if (inet_pton(AF_INET, argv[2], &address.sin_addr) != 1) {
        fail("address");
    }
    int count = std::atoi(argv[4]);
    std::string message(static_cast<std::size_t>(std::atoi(argv[5])), 'x');
    int socket_count = argc == 7 ? std::atoi(argv[6]) : 1;
    if (socket_count < 1) {
        fail("SOCKETS");
    }
    allow_descriptors(static_cast<rlim_t>(socket_count) * 3 + 64);

    // The destination is read only by the kernel's queues; a datagram sink
    // keeps the sender free of port-unreachable errors. Each connection is
    // accepted at once so that the listener's queue never refuses the next.
    int sink = destination_socket(type, address, socket_count);
    std::vector<int> sockets;
    std::vector<int> accepted;
    auto opening = clock_type::now();
    for (int i = 0; i < socket_count; ++i) {
        int s = socket(AF_INET, type, 0);
        if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            fail("connect");
        }
        sockets.push_back(s);
        if (type == SOCK_STREAM) {
            int peer = accept(sink, nullptr, nullptr);
            if (peer < 0) {
                fail("accept");
            }
            accepted.push_back(peer);
        }
    }
    std::printf("opened %d %lld\n", socket_count, microseconds_since(opening));

    char drain[65536];
    for (int i = 0; i < count; ++i) {
        int which = i % 2 == 0 ? 0 : socket_count - 1;
        auto start = clock_type::now();
        if (send(sockets[static_cast<std::size_t>(which)], message.data(), message.size(), 0) !=
            static_cast<ssize_t>(message.size())) {
            fail("send");
        }
        long long took = microseconds_since(start);
        std::printf("send %d %lld\n", which + 1, took);
        if (type == SOCK_DGRAM) {
            recv(sink, drain, sizeof drain, MSG_DONTWAIT);
        }
    }
    // The program's own: what it was started with, the sink, its sockets
    // and their accepted ends.
    std::size_t own = static_cast<std::size_t>(inherited) + 1 + sockets.size() + accepted.size();
    std::printf("library descriptors %ld\n", static_cast<long>(open_descriptors()) - static_cast<long>(own));
    for (int s : sockets) {
        close(s);
    }
    for (int s : accepted) {
        close(s);
    }
    close(sink);
    return 0;
}
