// kandrel-hop's service: one event loop over the listening TCP sockets, the
// UDP sockets, every accepted connection, a timer for the earliest due echo
// and a signal descriptor for SIGINT and SIGTERM.
#include "echo_service.hh"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace hop {

namespace {

// Every system call is checked here: a failure throws, naming the call.
int checked(const char *what, int result)
{
    if (result < 0) {
        throw std::system_error(errno, std::generic_category(), what);
    }
    return result;
}

// A descriptor that closes when its owner goes.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~unique_fd()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// What an epoll event belongs to, in the event's 64-bit word: the kind in
// the top byte, an index or connection number below it. A connection closed
// earlier in the same batch is then simply not found.
enum class source : std::uint64_t { timer = 1, signals, listener, datagram, connection };
constexpr int kind_shift = 56;
std::uint64_t event_word(source kind, std::uint64_t number)
{
    return static_cast<std::uint64_t>(kind) << kind_shift | number;
}

// A connection stops being read while this much of its data waits to be
// echoed, so a client that sends without reading cannot take all memory.
constexpr std::size_t most_held_bytes = 4 << 20;
constexpr std::size_t read_size = 64 * 1024;
// The largest UDP payload.
constexpr std::size_t datagram_size = 65535;
// UDP peers whose echoes have all left are forgotten beyond this many.
constexpr std::size_t remembered_peers = 4096;
// Datagrams beyond this many bytes waiting are dropped, as a congested path
// drops them, so a flood cannot take all memory.
constexpr std::size_t most_waiting_datagram_bytes = 64 << 20;

struct bound_address {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text;
};

std::string address_text(const sockaddr *address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    const void *bytes =
        address->sa_family == AF_INET6
            ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr)
            : static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(address)->sin_addr);
    inet_ntop(address->sa_family, bytes, text, sizeof text);
    return text;
}

// The socket address of a numeric IPv4 or IPv6 text and port.
bound_address resolve(const std::string &text, std::uint16_t port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(text.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        throw std::system_error(EINVAL, std::generic_category(), "not an IPv4 or IPv6 address: " + text);
    }
    bound_address bound;
    std::memcpy(&bound.address, found->ai_addr, found->ai_addrlen);
    bound.length = found->ai_addrlen;
    bound.text = address_text(found->ai_addr);
    freeaddrinfo(found);
    return bound;
}

unique_fd bound_socket(const bound_address &where, int type)
{
    const std::string what = "bind " + where.text + (type == SOCK_STREAM ? " TCP" : " UDP");
    unique_fd fd(checked("socket", socket(where.address.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)));
    const int on = 1;
    const int off = 0;
    checked("setsockopt SO_REUSEADDR", setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
    // The IPv6 any-address also takes IPv4, so one default socket serves both.
    if (where.address.ss_family == AF_INET6) {
        checked("setsockopt IPV6_V6ONLY", setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off));
    }
    checked(what.c_str(), bind(fd.get(), reinterpret_cast<const sockaddr *>(&where.address), where.length));
    if (type == SOCK_STREAM) {
        checked("listen", listen(fd.get(), SOMAXCONN));
    }
    return fd;
}

// The default: every address, over IPv6 when the system has it.
std::vector<bound_address> default_addresses(std::uint16_t port)
{
    const int probe = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        close(probe);
        return {resolve("::", port)};
    }
    return {resolve("0.0.0.0", port)};
}

struct waiting_piece {
    hop_clock::time_point due;
    std::string bytes;
};

struct connection {
    unique_fd fd;
    flow_order order;
    std::deque<waiting_piece> waiting;
    std::string outgoing;  // due, not yet taken by the system
    std::size_t held = 0;  // bytes waiting and outgoing
    bool peer_done = false;
    std::uint32_t interest = 0;
};

struct due_datagram {
    hop_clock::time_point due;
    std::uint64_t sequence;  // equal dues leave in arrival order
    std::size_t socket;
    sockaddr_storage peer;
    socklen_t peer_length;
    std::string bytes;
};

// Min-heap orders: the earliest due on top.
struct later_connection {
    bool operator()(const std::pair<hop_clock::time_point, std::uint64_t> &a,
                    const std::pair<hop_clock::time_point, std::uint64_t> &b) const
    {
        return a > b;
    }
};
struct later_datagram {
    bool operator()(const due_datagram &a, const due_datagram &b) const
    {
        return std::tie(a.due, a.sequence) > std::tie(b.due, b.sequence);
    }
};

}  // namespace

struct echo_service::state {
    explicit state(wait_source source) : waits(std::move(source)) {}

    wait_source waits;
    std::uint16_t port = 0;
    unique_fd epoll;
    unique_fd timer;
    unique_fd signals;
    std::vector<bound_address> addresses;
    std::vector<unique_fd> listeners;
    std::vector<unique_fd> datagram_sockets;
    bool listeners_paused = false;
    std::unordered_map<std::uint64_t, connection> connections;
    std::uint64_t next_connection = 0;
    std::vector<std::pair<hop_clock::time_point, std::uint64_t>> connection_dues;  // heap
    std::vector<due_datagram> datagrams;                                           // heap
    std::size_t datagram_bytes = 0;                                                // of the datagrams waiting
    std::uint64_t next_datagram = 0;
    std::map<std::string, flow_order> peers;

    void watch(int fd, std::uint32_t events, std::uint64_t word)
    {
        epoll_event event{events, {.u64 = word}};
        checked("epoll_ctl", epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &event));
    }

    void rewatch(int fd, std::uint32_t events, std::uint64_t word)
    {
        epoll_event event{events, {.u64 = word}};
        checked("epoll_ctl", epoll_ctl(epoll.get(), EPOLL_CTL_MOD, fd, &event));
    }

    void pause_listeners(bool pause)
    {
        listeners_paused = pause;
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            rewatch(listeners[i].get(), pause ? 0u : std::uint32_t{EPOLLIN}, event_word(source::listener, i));
        }
    }

    void accept_all(int listener)
    {
        for (;;) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE) {
                    // Out of descriptors: accept again once a connection ends.
                    std::fprintf(stderr, "kandrel-hop: accept: %s; waiting for a connection to end\n",
                                 std::strerror(errno));
                    pause_listeners(true);
                }
                return;  // EAGAIN, or a connection that went before it was taken
            }
            // Each echo leaves when due, not when the previous one is acknowledged.
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            const std::uint64_t number = next_connection++;
            connection &c = connections[number];
            c.fd = unique_fd(fd);
            c.interest = EPOLLIN;
            watch(fd, c.interest, event_word(source::connection, number));
        }
    }

    void end_connection(std::uint64_t number)
    {
        connections.erase(number);
        if (listeners_paused) {
            pause_listeners(false);
        }
    }

    void update_interest(std::uint64_t number, connection &c)
    {
        const std::uint32_t reading = !c.peer_done && c.held < most_held_bytes ? EPOLLIN : 0u;
        const std::uint32_t writing = c.outgoing.empty() ? 0u : std::uint32_t{EPOLLOUT};
        const std::uint32_t wanted = reading | writing;
        if (wanted != c.interest) {
            c.interest = wanted;
            rewatch(c.fd.get(), wanted, event_word(source::connection, number));
        }
    }

    // Reads what the peer sent, each read a piece with its own due time.
    // False when the connection is over.
    bool read_pieces(std::uint64_t number, connection &c)
    {
        char buffer[read_size];
        while (!c.peer_done && c.held < most_held_bytes) {
            const ssize_t count = recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (count < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            }
            if (count == 0) {
                c.peer_done = true;
                break;
            }
            const hop_clock::time_point due = c.order.due(hop_clock::now(), waits.next());
            c.waiting.push_back({due, std::string(buffer, static_cast<std::size_t>(count))});
            c.held += static_cast<std::size_t>(count);
            connection_dues.emplace_back(due, number);
            std::push_heap(connection_dues.begin(), connection_dues.end(), later_connection{});
        }
        return true;
    }

    // Sends what is due; false when the connection is over.
    bool write_due(connection &c)
    {
        const hop_clock::time_point now = hop_clock::now();
        while (!c.waiting.empty() && c.waiting.front().due <= now) {
            c.outgoing += c.waiting.front().bytes;
            c.waiting.pop_front();
        }
        std::size_t sent = 0;
        while (sent < c.outgoing.size()) {
            const ssize_t count = send(c.fd.get(), c.outgoing.data() + sent, c.outgoing.size() - sent,
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
            if (count < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    break;
                }
                return false;
            }
            sent += static_cast<std::size_t>(count);
        }
        c.outgoing.erase(0, sent);
        c.held -= sent;
        // A peer that has finished sending gets its last echo, then the end.
        return !(c.peer_done && c.waiting.empty() && c.outgoing.empty());
    }

    void on_connection(std::uint64_t number, std::uint32_t events)
    {
        const auto found = connections.find(number);
        if (found == connections.end()) {
            return;
        }
        connection &c = found->second;
        // Hung up or failed: nobody is left to take the echoes.
        bool alive = (events & (EPOLLHUP | EPOLLERR)) == 0;
        if (alive && (events & EPOLLIN)) {
            alive = read_pieces(number, c);
        }
        if (alive) {
            alive = write_due(c);
        }
        if (alive) {
            update_interest(number, c);
        } else {
            end_connection(number);
        }
    }

    void receive_datagrams(std::size_t index)
    {
        std::string buffer(datagram_size, '\0');
        for (;;) {
            due_datagram datagram{};
            datagram.peer_length = sizeof datagram.peer;
            const ssize_t count =
                recvfrom(datagram_sockets[index].get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&datagram.peer), &datagram.peer_length);
            if (count < 0) {
                return;
            }
            if (datagram_bytes + static_cast<std::size_t>(count) > most_waiting_datagram_bytes) {
                continue;
            }
            const hop_clock::time_point now = hop_clock::now();
            forget_idle_peers(now);
            const std::string peer(reinterpret_cast<const char *>(&datagram.peer), datagram.peer_length);
            datagram.due = peers[peer].due(now, waits.next());
            datagram.sequence = next_datagram++;
            datagram.socket = index;
            datagram.bytes.assign(buffer.data(), static_cast<std::size_t>(count));
            datagram_bytes += datagram.bytes.size();
            datagrams.push_back(std::move(datagram));
            std::push_heap(datagrams.begin(), datagrams.end(), later_datagram{});
        }
    }

    void forget_idle_peers(hop_clock::time_point now)
    {
        if (peers.size() < remembered_peers) {
            return;
        }
        std::erase_if(peers, [now](const auto &peer) { return peer.second.last_due() < now; });
    }

    void send_due(hop_clock::time_point now)
    {
        while (!connection_dues.empty() && connection_dues.front().first <= now) {
            const std::uint64_t number = connection_dues.front().second;
            std::pop_heap(connection_dues.begin(), connection_dues.end(), later_connection{});
            connection_dues.pop_back();
            on_connection(number, 0);
        }
        while (!datagrams.empty() && datagrams.front().due <= now) {
            std::pop_heap(datagrams.begin(), datagrams.end(), later_datagram{});
            const due_datagram &datagram = datagrams.back();
            // A datagram the system cannot take now is lost, as on any path.
            sendto(datagram_sockets[datagram.socket].get(), datagram.bytes.data(), datagram.bytes.size(),
                   MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&datagram.peer), datagram.peer_length);
            datagram_bytes -= datagram.bytes.size();
            datagrams.pop_back();
        }
    }

    void arm_timer()
    {
        hop_clock::time_point next = hop_clock::time_point::max();
        if (!connection_dues.empty()) {
            next = connection_dues.front().first;
        }
        if (!datagrams.empty()) {
            next = std::min(next, datagrams.front().due);
        }
        itimerspec when{};
        if (next != hop_clock::time_point::max()) {
            // steady_clock is CLOCK_MONOTONIC; zero would disarm, so at least 1 ns.
            const auto since_boot =
                std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch());
            const long long ns = std::max<long long>(since_boot.count(), 1);
            when.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            when.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        }
        checked("timerfd_settime", timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &when, nullptr));
    }
};

echo_service::echo_service(const std::vector<std::string> &addresses, std::uint16_t port, wait_source waits)
    : state_(std::make_unique<state>(std::move(waits)))
{
    state &s = *state_;
    s.port = port;
    // Many connections at once: take every descriptor the system allows.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    s.epoll = unique_fd(checked("epoll_create1", epoll_create1(EPOLL_CLOEXEC)));
    s.timer =
        unique_fd(checked("timerfd_create", timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)));
    s.watch(s.timer.get(), EPOLLIN, event_word(source::timer, 0));
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    // Blocked, the signals reach the descriptor even as a container's first
    // process, which gets no signal left at its default action otherwise.
    checked("sigprocmask", sigprocmask(SIG_BLOCK, &stopping, nullptr));
    s.signals = unique_fd(checked("signalfd", signalfd(-1, &stopping, SFD_NONBLOCK | SFD_CLOEXEC)));
    s.watch(s.signals.get(), EPOLLIN, event_word(source::signals, 0));

    if (addresses.empty()) {
        s.addresses = default_addresses(port);
    }
    for (const std::string &text : addresses) {
        s.addresses.push_back(resolve(text, port));
    }
    for (std::size_t i = 0; i < s.addresses.size(); ++i) {
        s.listeners.push_back(bound_socket(s.addresses[i], SOCK_STREAM));
        s.watch(s.listeners[i].get(), EPOLLIN, event_word(source::listener, i));
        s.datagram_sockets.push_back(bound_socket(s.addresses[i], SOCK_DGRAM));
        s.watch(s.datagram_sockets[i].get(), EPOLLIN, event_word(source::datagram, i));
    }
}

echo_service::~echo_service() = default;

std::vector<std::string> echo_service::endpoints() const
{
    std::vector<std::string> texts;
    for (const bound_address &where : state_->addresses) {
        texts.push_back(where.text + " port " + std::to_string(state_->port));
    }
    return texts;
}

int echo_service::run()
{
    state &s = *state_;
    epoll_event events[64];
    for (;;) {
        const int count = epoll_wait(s.epoll.get(), events, 64, -1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        checked("epoll_wait", count);
        for (int i = 0; i < count; ++i) {
            const std::uint64_t word = events[i].data.u64;
            const std::uint64_t number = word & ((std::uint64_t{1} << kind_shift) - 1);
            switch (static_cast<source>(word >> kind_shift)) {
            case source::signals: {
                signalfd_siginfo info{};
                checked("read signal", static_cast<int>(read(s.signals.get(), &info, sizeof info)));
                return static_cast<int>(info.ssi_signo);
            }
            case source::timer: {
                std::uint64_t expirations = 0;
                // Nothing to read when a later re-arm already cleared it.
                (void)!read(s.timer.get(), &expirations, sizeof expirations);
                break;
            }
            case source::listener:
                s.accept_all(s.listeners[number].get());
                break;
            case source::datagram:
                s.receive_datagrams(number);
                break;
            case source::connection:
                s.on_connection(number, events[i].events);
                break;
            }
        }
        s.send_due(hop_clock::now());
        s.arm_timer();
    }
}

}  // namespace hop
