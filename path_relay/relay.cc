// The path relay's set-up and event loop: listening, the hops of the
// routes, and waiting on every socket at once.
#include "relay.hh"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

void share_port(int fd)
{
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
}

namespace {

// A registration never followed by its connection is dropped after this.
constexpr micros attach_patience_us = 10'000'000;
// The most datagrams held at once.
constexpr std::size_t datagram_limit = 4096;

// A listener on the loopback address of family, on a port of the system's
// choice (port, network order); -1 when it cannot be made.
int listen_on_loopback(int family, std::uint16_t &port, int backlog = SOMAXCONN, bool shared = false)
{
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (shared) {
        share_port(fd);
    }
    sockaddr_storage address;
    socklen_t length = loopback_address(family, 0, address);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = port_of(address);
    return fd;
}

// The holding port: a listener whose accept queue is kept full by two
// connections never accepted (a backlog of 1 holds two), so the kernel drops
// every other SYN to it without a word. A program's non-blocking connect to
// it stays pending, as one to a distant host does, until the relay opens the
// connection from that same port (see attach_held). -1 when it cannot be made.
int hold_on_loopback(int family, std::uint16_t &port, std::vector<int> &fillers)
{
    int fd = listen_on_loopback(family, port, 1, true);
    sockaddr_storage address;
    socklen_t length = loopback_address(family, port, address);
    for (int i = 0; fd >= 0 && i < 2; ++i) {
        int filler = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (filler < 0 || connect(filler, reinterpret_cast<sockaddr *>(&address), length) != 0) {
            if (filler >= 0) {
                close(filler);
            }
            close(fd);
            fd = -1;
            break;
        }
        fillers.push_back(filler);
    }
    return fd;
}

void read_largest_window()
{
    FILE *file = std::fopen("/proc/sys/net/ipv4/tcp_wmem", "re");
    unsigned long least = 0, initial = 0, largest = 0;
    if (file != nullptr && std::fscanf(file, "%lu %lu %lu", &least, &initial, &largest) == 3 && largest > 0) {
        largest_window = std::min<std::size_t>(largest / 4 * 3, direction_limit);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
}

}  // namespace

bool path_relay::start(const relay_settings &settings)
{
    read_largest_window();
    settings_ = settings;
    control_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    if (control_fd_ < 0 || settings.control_name.size() + 1 > sizeof name.sun_path) {
        return false;
    }
    std::memcpy(name.sun_path + 1, settings.control_name.data(), settings.control_name.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + settings.control_name.size());
    if (bind(control_fd_, reinterpret_cast<sockaddr *>(&name), length) != 0 ||
        listen(control_fd_, SOMAXCONN) != 0) {
        return false;
    }
    listener_v4_ = listen_on_loopback(AF_INET, port_v4_);
    listener_v6_ = listen_on_loopback(AF_INET6, port_v6_);
    if (listener_v4_ < 0 && listener_v6_ < 0) {
        return false;
    }
    holding_v4_ = hold_on_loopback(AF_INET, holding_port_v4_, holding_fillers_);
    holding_v6_ = hold_on_loopback(AF_INET6, holding_port_v6_, holding_fillers_);
    connect_hops_of_routes();
    if (settings.ready_fd >= 0) {
        (void)!write(settings.ready_fd, "ready\n", 6);
        close(settings.ready_fd);
    }
    return true;
}

// The hops of this host's routes, resolved as the library resolves them,
// are connected before the program starts: over a real distance that
// handshake costs a round trip, which no connect or datagram of the
// program should pay on top of its own.
void path_relay::connect_hops_of_routes()
{
    FILE *file = settings_.routes.empty() ? nullptr : std::fopen(settings_.routes.c_str(), "re");
    if (file == nullptr) {
        return;
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    char line[full_route_line_buffer_size];
    route_words words;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo *found = nullptr;
        if (parse_route_line(line, words, full_host_word_size) != route_line_status::ok ||
            std::strcmp(words.from, host) != 0 || route_protocol_of(words.protocol) == protocol_none ||
            getaddrinfo(words.hop, nullptr, &hints, &found) != 0) {
            continue;
        }
        sockaddr_storage hop{};
        std::memcpy(&hop, found->ai_addr, found->ai_addrlen);
        reinterpret_cast<sockaddr_in &>(hop).sin_port = htons(7);
        hop_for(hop, found->ai_addrlen, echo_type(route_protocol_of(words.protocol))).open_now();
        freeaddrinfo(found);
    }
    std::fclose(file);
    micros until = now_us() + echo_patience_us;
    for (;;) {
        std::vector<pollfd> fds;
        for (auto &hop : hops_) {
            if (hop->descriptor() >= 0 && !hop->connected()) {
                fds.push_back({hop->descriptor(), POLLOUT, 0});
            }
        }
        micros left = until - now_us();
        if (fds.empty() || left <= 0 || poll(fds.data(), fds.size(), static_cast<int>(left / 1000)) <= 0) {
            return;
        }
        for (auto &hop : hops_) {
            for (const pollfd &ready : fds) {
                if (ready.fd == hop->descriptor() && ready.revents != 0) {
                    hop->on_ready(ready.revents);
                }
            }
        }
    }
}

hop_line &path_relay::hop_for(const sockaddr_storage &address, socklen_t length, int type)
{
    for (auto &hop : hops_) {
        if (hop->is(address, length, type)) {
            return *hop;
        }
    }
    hops_.push_back(std::make_unique<hop_line>(
        address, length, type, [this](const echo_owner &owner, std::size_t bytes, micros round_trip_us) {
            on_echo(owner, bytes, round_trip_us);
        }));
    return *hops_.back();
}

void path_relay::take_control()
{
    for (;;) {
        int fd = accept4(control_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        pending_controls_.push_back(fd);
    }
}

void path_relay::poll_once()
{
    enum class what { control, pending, listener, pidfd, hop, data_hop, program, destination };
    struct watched {
        what kind;
        std::uint64_t id;
        std::size_t index;
    };
    std::vector<pollfd> fds;
    std::vector<watched> roles;
    auto watch = [&](int fd, short events, watched role) {
        if (fd >= 0 && events != 0) {
            fds.push_back({fd, events, 0});
            roles.push_back(role);
        }
    };
    micros now = now_us();
    micros wake = now + 1'000'000;
    // Datagrams beyond the bound wait in the control socket's queue, and
    // their senders with them.
    watch(control_fd_, datagrams_.size() < datagram_limit ? POLLIN : 0, {what::control, 0, 0});
    for (std::size_t i = 0; i < pending_controls_.size(); ++i) {
        watch(pending_controls_[i], POLLIN, {what::pending, 0, i});
    }
    watch(listener_v4_, POLLIN, {what::listener, 0, 0});
    watch(listener_v6_, POLLIN, {what::listener, 0, 1});
    if (!program_gone_) {
        watch(settings_.program_pidfd, POLLIN, {what::pidfd, 0, 0});
    }
    for (std::size_t i = 0; i < hops_.size(); ++i) {
        watch(hops_[i]->descriptor(), hops_[i]->events(), {what::hop, 0, i});
        if (micros deadline = hops_[i]->deadline(); deadline >= 0) {
            wake = std::min(wake, deadline);
        }
    }
    for (auto &[id, connection] : connections_) {
        relayed_connection &c = *connection;
        watch(c.data_hop->descriptor(), c.data_hop->events(), {what::data_hop, id, 0});
        if (micros deadline = c.data_hop->deadline(); deadline >= 0) {
            wake = std::min(wake, deadline);
        }
        if (!c.destination_decided) {
            watch(c.destination_fd, POLLOUT, {what::destination, id, 0});
            continue;
        }
        if (c.program_connecting) {
            watch(c.program_fd, POLLOUT, {what::program, id, 0});
            continue;
        }
        // Nothing is read before the program's connection is there: an
        // accepted connection the relay holds is not read in its stead.
        if (!c.established || c.over || c.program_fd < 0) {
            wake = std::min(wake, c.registered_at + attach_patience_us);
            continue;
        }
        short program_events = 0;
        short destination_events = 0;
        for (relay_direction *direction : {&c.up, &c.down}) {
            direction->acknowledge(now);
            if (!direction->unacknowledged.empty()) {
                wake = std::min(wake, direction->unacknowledged.front().at);
            }
        }
        if (c.up.room() > 0) {
            program_events |= POLLIN;
        }
        if (c.down.room() > 0) {
            destination_events |= POLLIN;
        }
        for (int lane_number : {lane_up, lane_down}) {
            relay_direction &direction = c.direction(lane_number);
            if (direction.queue.empty()) {
                continue;
            }
            const held_chunk &head = direction.queue.front();
            short &target_events = lane_number == lane_up ? destination_events : program_events;
            if (head.release_at <= now) {
                target_events |= POLLOUT;
            } else {
                wake = std::min(wake, head.release_at);
            }
        }
        watch(c.program_fd, program_events, {what::program, id, 0});
        watch(c.destination_fd, destination_events, {what::destination, id, 0});
    }
    // To the microsecond: a millisecond's rounding on each release would
    // add up over many exchanges.
    micros wait = std::max<micros>(0, wake - now);
    timespec timeout{static_cast<time_t>(wait / 1'000'000), static_cast<long>(wait % 1'000'000) * 1000};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) {
        return;
    }
    now = now_us();
    std::vector<int> registrations;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        short revents = fds[i].revents;
        if (revents == 0) {
            continue;
        }
        const watched &role = roles[i];
        switch (role.kind) {
        case what::control:
            take_control();
            break;
        case what::pending:
            registrations.push_back(fds[i].fd);
            break;
        case what::listener:
            take_program_connection(fds[i].fd);
            break;
        case what::pidfd:
            program_gone_ = true;
            break;
        case what::hop:
            hops_[role.index]->on_ready(revents);
            break;
        case what::data_hop:
            if (auto found = connections_.find(role.id); found != connections_.end()) {
                found->second->data_hop->on_ready(revents);
            }
            break;
        case what::program:
        case what::destination: {
            auto found = connections_.find(role.id);
            if (found == connections_.end()) {
                break;
            }
            relayed_connection &c = *found->second;
            if (c.over) {
                break;
            }
            if (role.kind == what::destination && !c.destination_decided) {
                int error = 0;
                socklen_t size = sizeof error;
                getsockopt(c.destination_fd, SOL_SOCKET, SO_ERROR, &error, &size);
                c.destination_decided = true;
                c.handshake_error = error;
                decide_handshake(c);
                break;
            }
            if (role.kind == what::program && c.program_connecting) {
                // The held connect is open, or the program gave it up.
                int error = 0;
                socklen_t size = sizeof error;
                getsockopt(c.program_fd, SOL_SOCKET, SO_ERROR, &error, &size);
                c.program_connecting = false;
                if (error != 0) {
                    finish(c);
                } else {
                    keep_acknowledgements_for_reads(c.program_fd);
                }
                break;
            }
            int lane_number = role.kind == what::program ? lane_up : lane_down;
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                read_side(c, lane_number);
            }
            break;
        }
        }
    }
    for (int fd : registrations) {
        read_control_message(fd);
    }
    for (auto &hop : hops_) {
        hop->on_time(now);
    }
    for (auto &[id, connection] : connections_) {
        connection->data_hop->on_time(now);
    }
    // Deliver what is due and drop what is over.
    for (auto it = connections_.begin(); it != connections_.end();) {
        relayed_connection &c = *it->second;
        if (c.established && !c.over && c.program_fd >= 0 && !c.program_connecting) {
            deliver(c, lane_up, now);
            if (!c.over) {
                deliver(c, lane_down, now);
            }
        }
        if (c.program_fd < 0 && !c.held && now >= c.registered_at + attach_patience_us) {
            finish(c);  // the program never connected, or its handshake failed unseen
        } else if (c.up.end_delivered && c.down.end_delivered) {
            finish(c);
        }
        if (c.over) {
            it = connections_.erase(it);
            continue;
        }
        ++it;
    }
}

void path_relay::run()
{
    while (!program_gone_ || !connections_.empty() || !datagrams_.empty()) {
        poll_once();
    }
}
