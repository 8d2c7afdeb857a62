// The path relay's event loop and its relayed connections.
#include "relay.hh"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A registration never followed by its connection is dropped after this.
constexpr micros attach_patience_us = 10'000'000;
// The most a datagram carries.
constexpr std::size_t largest_datagram = 65536;
// The most datagrams held at once.
constexpr std::size_t datagram_limit = 4096;
// The most filler bytes a connection's hop line has unechoed; a piece read
// beyond them is delivered all the same, without an echo of its own.
constexpr std::size_t echo_backlog_limit = 1u << 20;
// The most bytes read from a side at once: one echo piece.
constexpr std::size_t read_piece = 65536;

int listen_on_loopback(int family, std::uint16_t &port)
{
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
        auto &v4 = reinterpret_cast<sockaddr_in &>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof v4;
    } else {
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        length = sizeof v6;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = family == AF_INET ? reinterpret_cast<sockaddr_in &>(address).sin_port
                             : reinterpret_cast<sockaddr_in6 &>(address).sin6_port;
    return fd;
}

// The family and port a loopback connection came from.
bool peer_of(int fd, std::uint16_t &family, std::uint16_t &port)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        return false;
    }
    family = peer.ss_family;
    port = family == AF_INET ? reinterpret_cast<sockaddr_in &>(peer).sin_port
                             : reinterpret_cast<sockaddr_in6 &>(peer).sin6_port;
    return true;
}

// How a route's handshakes and datagrams reach its hop, by the route's
// protocol; a connection's own traffic always goes over TCP, in order.
int echo_type(int protocol)
{
    return protocol == protocol_udp ? SOCK_DGRAM : SOCK_STREAM;
}

// Closes with a reset, as a peer's refusal or reset shows on the other side.
void close_with_reset(int &fd)
{
    if (fd < 0) {
        return;
    }
    linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
    fd = -1;
}

void answer(int fd, path_answer_kind kind, int error, std::uint16_t port)
{
    path_answer message{kind, error, port};
    send(fd, &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

std::size_t relay_direction::room() const
{
    if (source_done) {
        return 0;
    }
    std::size_t by_window = window > in_flight ? window - in_flight : 0;
    std::size_t by_memory = direction_limit > held ? direction_limit - held : 0;
    return std::min({by_window, by_memory, read_piece});
}

namespace {

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

void path_relay::read_control_message(int fd)
{
    static std::vector<char> buffer(sizeof(path_registration) + largest_datagram);
    path_registration registration;
    iovec parts[2] = {{&registration, sizeof registration}, {buffer.data(), buffer.size()}};
    alignas(cmsghdr) char passed_space[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    message.msg_control = passed_space;
    message.msg_controllen = sizeof passed_space;
    ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0 && errno == EAGAIN) {
        return;
    }
    pending_controls_.erase(std::find(pending_controls_.begin(), pending_controls_.end(), fd));
    int passed = -1;
    if (cmsghdr *header = got > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
        header != nullptr && header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof(int))) {
        std::memcpy(&passed, CMSG_DATA(header), sizeof passed);
    }
    bool whole = got >= static_cast<ssize_t>(sizeof registration) && !(message.msg_flags & MSG_TRUNC) &&
                 registration.destination_length <= sizeof registration.destination &&
                 registration.hop_length <= sizeof registration.hop;
    if (whole && registration.kind == path_message::datagram && passed >= 0) {
        close(fd);
        hold_datagram(registration, passed, buffer.data(),
                      static_cast<std::size_t>(got) - sizeof registration);
    } else if (whole && registration.kind == path_message::connect) {
        if (passed >= 0) {
            close(passed);
        }
        read_registration(fd, registration);
    } else {
        if (passed >= 0) {
            close(passed);
        }
        close(fd);
    }
}

// A datagram leaves from the program's own socket once its echo is back.
void path_relay::hold_datagram(const path_registration &registration, int socket, const char *bytes,
                               std::size_t length)
{
    std::uint64_t id = next_id_++;
    held_datagram &datagram = datagrams_[id];
    datagram.registration = registration;
    datagram.registration.to_word[sizeof datagram.registration.to_word - 1] = '\0';
    datagram.registration.hop_word[sizeof datagram.registration.hop_word - 1] = '\0';
    datagram.socket = socket;
    datagram.bytes.assign(bytes, bytes + length);
    hop_for(registration.hop, registration.hop_length, echo_type(registration.protocol))
        .send_echo({id, lane_datagram, 0}, std::max<std::size_t>(length, 1));
}

void path_relay::release_datagram(std::uint64_t id, micros round_trip_us)
{
    auto found = datagrams_.find(id);
    if (found == datagrams_.end()) {
        return;
    }
    held_datagram &datagram = found->second;
    const path_registration &registration = datagram.registration;
    // Sent as the program would have: an error, like a loss, is the path's.
    if (registration.destination_length != 0) {
        sendto(datagram.socket, datagram.bytes.data(), datagram.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr *>(&registration.destination),
               registration.destination_length);
    } else {
        send(datagram.socket, datagram.bytes.data(), datagram.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    close(datagram.socket);
    records_.add(registration, "UDP", datagram.bytes.size(), round_trip_us);
    datagrams_.erase(found);
}

// A registration starts the destination's handshake and the hop's echo of
// it at once; the program's connection to the listener follows.
void path_relay::read_registration(int fd, path_registration &registration)
{
    int family = registration.destination.ss_family;
    bool valid = (registration.family == AF_INET ? listener_v4_ >= 0 : listener_v6_ >= 0) &&
                 (family == AF_INET || family == AF_INET6);
    if (!valid) {
        close(fd);
        return;
    }
    registration.to_word[sizeof registration.to_word - 1] = '\0';
    registration.hop_word[sizeof registration.hop_word - 1] = '\0';
    auto connection = std::make_unique<relayed_connection>();
    connection->id = next_id_++;
    connection->registration = registration;
    connection->control_fd = fd;
    connection->registered_at = now_us();
    connection->handshake_hop =
        &hop_for(registration.hop, registration.hop_length, echo_type(registration.protocol));
    connection->data_hop =
        std::make_unique<hop_line>(registration.hop, registration.hop_length, SOCK_STREAM,
                                   [this](const echo_owner &owner, std::size_t bytes, micros round_trip_us) {
                                       on_echo(owner, bytes, round_trip_us);
                                   });
    connection->data_hop->open_now();
    connection->destination_fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (connection->destination_fd < 0) {
        connection->destination_decided = true;
        connection->handshake_error = errno;
    } else if (connect(connection->destination_fd,
                       reinterpret_cast<const sockaddr *>(&registration.destination),
                       registration.destination_length) == 0) {
        connection->destination_decided = true;
    } else if (errno != EINPROGRESS) {
        connection->destination_decided = true;
        connection->handshake_error = errno;
    }
    answer(fd, path_answer_kind::registered, 0, registration.family == AF_INET ? port_v4_ : port_v6_);
    relayed_connection &stored = *connection;
    connections_.emplace(stored.id, std::move(connection));
    stored.handshake_hop->send_echo({stored.id, lane_handshake, 0}, 1);
}

void path_relay::take_program_connection(int listener)
{
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::uint16_t family = 0;
        std::uint16_t port = 0;
        relayed_connection *owner = nullptr;
        if (peer_of(fd, family, port)) {
            for (auto &[id, connection] : connections_) {
                if (connection->program_fd < 0 && connection->registration.family == family &&
                    connection->registration.local_port == port) {
                    owner = connection.get();
                    break;
                }
            }
        }
        if (owner == nullptr) {
            close(fd);  // nobody registered it
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        owner->program_fd = fd;
        if (owner->failed) {
            reset(*owner);
        }
    }
}

void path_relay::on_echo(const echo_owner &owner, std::size_t, micros round_trip_us)
{
    if (owner.lane == lane_datagram) {
        release_datagram(owner.connection, round_trip_us);
        return;
    }
    auto found = connections_.find(owner.connection);
    if (found == connections_.end()) {
        return;
    }
    relayed_connection &connection = *found->second;
    if (owner.lane == lane_handshake) {
        connection.handshake_echoed = true;
        decide_handshake(connection);
        return;
    }
    // A piece whose echo came back sooner than the estimate said leaves at
    // half its own round trip.
    for (held_chunk &chunk : connection.direction(owner.lane).queue) {
        if (chunk.sequence == owner.sequence && round_trip_us >= 0) {
            chunk.release_at = std::min(chunk.release_at, chunk.read_at + round_trip_us / 2);
            break;
        }
    }
}

// The program learns the handshake's outcome once both the destination has
// answered and the hop has echoed: a connect costs one round trip.
void path_relay::decide_handshake(relayed_connection &connection)
{
    if (!connection.handshake_echoed || !connection.destination_decided || connection.established ||
        connection.failed || connection.over) {
        return;
    }
    if (connection.control_fd >= 0) {
        answer(connection.control_fd, path_answer_kind::connected, connection.handshake_error, 0);
        close(connection.control_fd);
        connection.control_fd = -1;
    }
    if (connection.handshake_error != 0) {
        connection.failed = true;
        if (connection.program_fd >= 0) {
            reset(connection);
        }
        return;
    }
    connection.established = true;
}

int path_relay::source_of(const relayed_connection &connection, int lane_number) const
{
    return lane_number == lane_up ? connection.program_fd : connection.destination_fd;
}

int path_relay::target_of(const relayed_connection &connection, int lane_number) const
{
    return lane_number == lane_up ? connection.destination_fd : connection.program_fd;
}

micros path_relay::half_trip(const relayed_connection &connection) const
{
    micros own = connection.data_hop->round_trip();
    return (own > 0 ? own : connection.handshake_hop->round_trip()) / 2;
}

void path_relay::read_side(relayed_connection &connection, int lane_number)
{
    relay_direction &direction = connection.direction(lane_number);
    std::size_t room = direction.room();
    if (room == 0) {
        return;
    }
    held_chunk chunk;
    chunk.bytes.resize(room);
    ssize_t got = recv(source_of(connection, lane_number), chunk.bytes.data(), room, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    chunk.read_at = now_us();
    chunk.release_at = chunk.read_at + half_trip(connection);
    if (!direction.queue.empty()) {
        chunk.release_at = std::max(chunk.release_at, direction.queue.back().release_at);
    }
    chunk.sequence = direction.next_sequence++;
    if (got <= 0) {
        chunk.what = got == 0 ? held_chunk::kind::end : held_chunk::kind::reset;
        chunk.bytes.clear();
        direction.source_done = true;
        direction.queue.push_back(std::move(chunk));
        return;
    }
    auto length = static_cast<std::size_t>(got);
    chunk.bytes.resize(length);
    chunk.bytes.shrink_to_fit();
    direction.held += length;
    direction.in_flight += length;
    direction.unacknowledged.push_back({chunk.read_at + 2 * (chunk.release_at - chunk.read_at), length});
    std::uint64_t sequence = chunk.sequence;
    direction.queue.push_back(std::move(chunk));
    // The echoes measure the path; a hop slower than the traffic is not made
    // to carry all of it.
    if (connection.data_hop->backlog() < echo_backlog_limit) {
        connection.data_hop->send_echo({connection.id, lane_number, sequence}, length);
    }
}

void relay_direction::acknowledge(micros now)
{
    // Slow start: each acknowledged byte widens the window by one, so it
    // doubles each round trip.
    while (!unacknowledged.empty() && unacknowledged.front().at <= now) {
        in_flight -= unacknowledged.front().length;
        window = std::min(largest_window, window + unacknowledged.front().length);
        unacknowledged.pop_front();
    }
}

void path_relay::deliver(relayed_connection &connection, int lane_number, micros now)
{
    relay_direction &direction = connection.direction(lane_number);
    int target = target_of(connection, lane_number);
    while (!direction.queue.empty() && direction.queue.front().release_at <= now) {
        held_chunk &chunk = direction.queue.front();
        if (chunk.what == held_chunk::kind::reset) {
            reset(connection);
            return;
        }
        if (chunk.what == held_chunk::kind::end) {
            shutdown(target, SHUT_WR);
            direction.end_delivered = true;
            direction.queue.pop_front();
            continue;
        }
        ssize_t sent = send(target, chunk.bytes.data() + chunk.written, chunk.bytes.size() - chunk.written,
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                reset(connection);  // the target reset: so does the other side
            }
            return;
        }
        chunk.written += static_cast<std::size_t>(sent);
        if (chunk.written < chunk.bytes.size()) {
            return;
        }
        std::size_t length = chunk.bytes.size();
        direction.held -= length;
        if (lane_number == lane_up) {
            records_.add(connection.registration, "TCP", length, 2 * (chunk.release_at - chunk.read_at));
        }
        direction.queue.pop_front();
    }
}

void path_relay::reset(relayed_connection &connection)
{
    close_with_reset(connection.program_fd);
    close_with_reset(connection.destination_fd);
    finish(connection);
}

void path_relay::finish(relayed_connection &connection)
{
    if (connection.control_fd >= 0) {
        close(connection.control_fd);
        connection.control_fd = -1;
    }
    for (int *fd : {&connection.program_fd, &connection.destination_fd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    connection.over = true;
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
        if (!c.established || c.over) {
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
        if (c.established && !c.over && c.program_fd >= 0) {
            deliver(c, lane_up, now);
            if (!c.over) {
                deliver(c, lane_down, now);
            }
        }
        if (c.program_fd < 0 && now >= c.registered_at + attach_patience_us) {
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
