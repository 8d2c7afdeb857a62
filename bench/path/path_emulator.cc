// Path emulator: joins two network namespaces through a TUN device in each and holds every IP
// packet half a round trip in each direction, as a distant path would, so benchmarks can time
// real programs over a true path of a chosen round trip on one machine (no netem here).
//
//   path_emulator --delay-ms D [--rate-mbit R] [--queue-mb Q] NETNS_A TUN_A NETNS_B TUN_B
//
// NETNS_A and NETNS_B are network namespace files (/run/netns/NAME). The emulator creates TUN_A
// in the first and TUN_B in the second, prints "ready" once both exist, and then moves packets
// until it is killed; the caller brings the devices up and gives them addresses. Each direction
// is one FIFO delay line: a packet leaves D/2 after it arrived (after it was serialised at R
// megabits per second, when a rate is given), so packets are never reordered. A line holding
// more than Q megabytes (default 64) drops what arrives, as a router's full queue would.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

volatile sig_atomic_t stopping = 0;
using std::chrono::nanoseconds;

struct emulator_options {
    nanoseconds one_way{0};
    double rate_bits_per_ns = 0;  // 0: no serialisation delay
    std::size_t queue_limit = 64u << 20;
    std::string netns[2];
    std::string tun[2];
};

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "path_emulator: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: path_emulator --delay-ms D [--rate-mbit R] [--queue-mb Q]"
                         " NETNS_A TUN_A NETNS_B TUN_B\n");
    std::exit(2);
}

emulator_options parse_options(int argc, char **argv)
{
    emulator_options options;
    std::vector<std::string> places;
    bool has_delay = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        bool has_value = i + 1 < argc;
        if (word == "--delay-ms" && has_value) {
            // Half the round trip each way, kept in nanoseconds so an odd D splits exactly.
            options.one_way = nanoseconds(std::atoll(argv[++i]) * 1'000'000 / 2);
            has_delay = true;
        } else if (word == "--rate-mbit" && has_value) {
            options.rate_bits_per_ns = std::atof(argv[++i]) / 1000.0;
        } else if (word == "--queue-mb" && has_value) {
            options.queue_limit = static_cast<std::size_t>(std::atoll(argv[++i])) << 20;
        } else if (word.rfind("--", 0) == 0) {
            usage();
        } else {
            places.push_back(word);
        }
    }
    if (!has_delay || places.size() != 4 || options.one_way.count() < 0) {
        usage();
    }
    options.netns[0] = places[0];
    options.tun[0] = places[1];
    options.netns[1] = places[2];
    options.tun[1] = places[3];
    return options;
}

// A TUN device is created in the namespace of the process that asks for it, so the emulator
// enters each namespace in turn; the descriptor keeps working from anywhere afterwards.
int open_tun_in(const std::string &netns, const std::string &name)
{
    int ns = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
        fail(netns);
    }
    close(ns);
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail("/dev/net/tun");
    }
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;  // bare IP packets, no extra header
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &request) != 0) {
        fail("TUNSETIFF " + name);
    }
    return fd;
}

struct held_packet {
    clock_type::time_point due;
    std::vector<unsigned char> bytes;
};

// One direction of the path: packets read from `from`, written to `to` when due.
struct delay_line {
    int from = -1;
    int to = -1;
    std::deque<held_packet> held;
    std::size_t held_bytes = 0;
    clock_type::time_point link_free{};  // when the serialiser finishes the last packet
    unsigned long dropped = 0;
};

// Takes every packet waiting on the line's input, stamping each with the time it may leave.
void take_arrivals(delay_line &line, const emulator_options &options)
{
    unsigned char buffer[65536];
    for (;;) {
        ssize_t n = read(line.from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n < 0) {
            fail("read");
        }
        auto size = static_cast<std::size_t>(n);
        if (line.held_bytes + size > options.queue_limit) {
            ++line.dropped;
            continue;
        }
        auto now = clock_type::now();
        auto sent = now;
        if (options.rate_bits_per_ns > 0) {
            auto start = std::max(now, line.link_free);
            sent = start + nanoseconds(static_cast<long long>(size * 8 / options.rate_bits_per_ns));
            line.link_free = sent;
        }
        line.held.push_back({sent + options.one_way, std::vector<unsigned char>(buffer, buffer + size)});
        line.held_bytes += size;
    }
}

// Writes out every packet whose time has come; due times only grow along a line, so the
// front is always the next to leave and the order is kept.
void deliver_due(delay_line &line, clock_type::time_point now)
{
    while (!line.held.empty() && line.held.front().due <= now) {
        const auto &bytes = line.held.front().bytes;
        // A full device queue on the far side drops the packet, as a real link would.
        if (write(line.to, bytes.data(), bytes.size()) < 0 && errno != EINTR) {
            ++line.dropped;
        }
        line.held_bytes -= bytes.size();
        line.held.pop_front();
    }
}

}  // namespace

int main(int argc, char **argv)
{
    emulator_options options = parse_options(argc, argv);
    int a = open_tun_in(options.netns[0], options.tun[0]);
    int b = open_tun_in(options.netns[1], options.tun[1]);
    // The default timer slack (50 us) would add to every wait; a path's delay should not jitter.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::printf("ready\n");
    std::fflush(stdout);

    // Stopping by a signal reports what a full queue dropped, so a run can tell it was lossy. The
    // signals are let in only inside ppoll, so one that comes between two waits is not missed.
    struct sigaction stop {};
    stop.sa_handler = [](int) { stopping = 1; };
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sigset_t stop_signals;
    sigset_t while_waiting;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, &while_waiting);

    delay_line lines[2];
    lines[0].from = a;
    lines[0].to = b;
    lines[1].from = b;
    lines[1].to = a;
    pollfd watched[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    while (!stopping) {
        auto now = clock_type::now();
        deliver_due(lines[0], now);
        deliver_due(lines[1], now);
        std::optional<clock_type::time_point> next;
        for (const auto &line : lines) {
            if (!line.held.empty() && (!next || line.held.front().due < *next)) {
                next = line.held.front().due;
            }
        }
        timespec wait{};
        timespec *timeout = nullptr;  // nothing held: sleep until a packet arrives
        if (next) {
            auto left = std::max(nanoseconds(0), *next - now).count();
            wait = {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
            timeout = &wait;
        }
        if (ppoll(watched, 2, timeout, &while_waiting) < 0 && errno != EINTR) {
            fail("ppoll");
        }
        for (int i = 0; i < 2; ++i) {
            if (watched[i].revents & POLLIN) {
                take_arrivals(lines[i], options);
            }
        }
    }
    std::fprintf(stderr, "path_emulator: dropped %lu packets A to B, %lu B to A\n", lines[0].dropped,
                 lines[1].dropped);
    return 0;
}
