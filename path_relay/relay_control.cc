// The relay's control messages: connects registered by the library and the
// program's connections that follow them, and datagrams held for a round
// trip before they leave from the program's own socket.
#include "relay.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The most a datagram carries.
constexpr std::size_t largest_datagram = 65536;

// The family and port a loopback connection came from.
bool peer_of(int fd, std::uint16_t &family, std::uint16_t &port)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        return false;
    }
    family = peer.ss_family;
    port = port_of(peer);
    return true;
}
void answer(int fd, path_answer_kind kind, int error, std::uint16_t port, std::uint16_t holding_port = 0)
{
    path_answer message{};
    message.kind = kind;
    message.error = error;
    message.listener_port = port;
    message.holding_port = holding_port;
    send(fd, &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

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
    } else if (whole && registration.kind == path_message::adopt && passed >= 0) {
        adopt(fd, registration, passed);
    } else if (whole && registration.kind == path_message::identify) {
        if (passed >= 0) {
            close(passed);
        }
        identify(fd, registration);
        close(fd);
    } else if (whole && registration.kind == path_message::no_delay) {
        if (passed >= 0) {
            close(passed);
        }
        take_no_delay(registration);
        answer(fd, path_answer_kind::taken, 0, 0);
        close(fd);
    } else {
        if (passed >= 0) {
            close(passed);
        }
        close(fd);
    }
}

// The connection registered for the program's socket at port of family
// (network order) and not over, or null.
relayed_connection *path_relay::registered_for(std::uint16_t family, std::uint16_t port)
{
    for (auto &[id, connection] : connections_) {
        if (!connection->over && connection->registration.family == family &&
            connection->registration.local_port == port) {
            return connection.get();
        }
    }
    return nullptr;
}

// Which connection a program's socket is: its destination, and the relay's
// own address on the real connection, which is what the network sees.
void path_relay::identify(int fd, const path_registration &question)
{
    path_answer message{};
    message.kind = path_answer_kind::identified;
    if (relayed_connection *connection = registered_for(question.family, question.local_port)) {
        message.destination = connection->registration.destination;
        message.destination_length = connection->registration.destination_length;
        message.local_length = sizeof message.local;
        if (connection->destination_fd < 0 ||
            getsockname(connection->destination_fd, reinterpret_cast<sockaddr *>(&message.local),
                        &message.local_length) != 0) {
            message.local_length = 0;
        }
    }
    send(fd, &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// The program set or cleared TCP_NODELAY on a relayed socket: its short
// pieces leave at once, or wait as Nagle's algorithm has them wait.
void path_relay::take_no_delay(const path_registration &change)
{
    if (relayed_connection *connection = registered_for(change.family, change.local_port)) {
        connection->up.holds_short_pieces = change.no_delay == 0;
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

// A relayed connection of registration, its hops ready; the caller adds its
// destination.
relayed_connection &path_relay::add_connection(path_registration &registration)
{
    registration.to_word[sizeof registration.to_word - 1] = '\0';
    registration.hop_word[sizeof registration.hop_word - 1] = '\0';
    auto connection = std::make_unique<relayed_connection>();
    connection->id = next_id_++;
    connection->registration = registration;
    connection->registered_at = now_us();
    connection->up.holds_short_pieces = registration.no_delay == 0;
    connection->handshake_hop =
        &hop_for(registration.hop, registration.hop_length, echo_type(registration.protocol));
    connection->data_hop =
        std::make_unique<hop_line>(registration.hop, registration.hop_length, SOCK_STREAM,
                                   [this](const echo_owner &owner, std::size_t bytes, micros round_trip_us) {
                                       on_echo(owner, bytes, round_trip_us);
                                   });
    connection->data_hop->open_now();
    relayed_connection &stored = *connection;
    connections_.emplace(stored.id, std::move(connection));
    return stored;
}

bool path_relay::has_listener(const path_registration &registration) const
{
    int family = registration.destination.ss_family;
    return (registration.family == AF_INET ? listener_v4_ >= 0 : listener_v6_ >= 0) &&
           (family == AF_INET || family == AF_INET6);
}

// A registration starts the destination's handshake and the hop's echo of
// it at once; the program's connection to the listener follows.
void path_relay::read_registration(int fd, path_registration &registration)
{
    if (!has_listener(registration)) {
        close(fd);
        return;
    }
    relayed_connection &connection = add_connection(registration);
    connection.control_fd = fd;
    std::uint16_t holding_port = registration.family == AF_INET ? holding_port_v4_ : holding_port_v6_;
    connection.held = registration.held != 0 && holding_port != 0;
    connection.destination_fd =
        socket(registration.destination.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (connection.destination_fd < 0) {
        connection.destination_decided = true;
        connection.handshake_error = errno;
    } else if (connect(connection.destination_fd,
                       reinterpret_cast<const sockaddr *>(&registration.destination),
                       registration.destination_length) == 0) {
        connection.destination_decided = true;
    } else if (errno != EINPROGRESS) {
        connection.destination_decided = true;
        connection.handshake_error = errno;
    }
    answer(fd, path_answer_kind::registered, 0, registration.family == AF_INET ? port_v4_ : port_v6_,
           connection.held ? holding_port : 0);
    connection.handshake_hop->send_echo({connection.id, lane_handshake, 0}, 1);
}

// A connection the program accepted is established already: the relay
// carries it from now on, and the program's socket is connected to the
// listener in its place.
void path_relay::adopt(int fd, path_registration &registration, int accepted)
{
    if (!has_listener(registration)) {
        close(accepted);
        close(fd);
        return;
    }
    relayed_connection &connection = add_connection(registration);
    int flags = fcntl(accepted, F_GETFL);
    fcntl(accepted, F_SETFL, flags | O_NONBLOCK);
    connection.destination_fd = accepted;
    connection.destination_decided = true;
    connection.handshake_echoed = true;
    connection.established = true;
    answer(fd, path_answer_kind::registered, 0, registration.family == AF_INET ? port_v4_ : port_v6_);
    close(fd);
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
        relayed_connection *owner = peer_of(fd, family, port) ? registered_for(family, port) : nullptr;
        if (owner == nullptr || owner->program_fd >= 0) {
            close(fd);  // nobody registered it
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        keep_acknowledgements_for_reads(fd);
        owner->program_fd = fd;
        if (owner->failed) {
            reset(*owner);
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
    if (connection.held) {
        attach_held(connection);
        if (connection.over) {
            return;
        }
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

// A held connect is opened from the holding port to the program's socket,
// whose SYN the holding listener dropped: the two SYNs cross (a
// simultaneous open) and the program's connect completes now, one round
// trip after it began. A refused one is reset at once, and the program's
// connect fails then (ECONNRESET), not at its first read.
void path_relay::attach_held(relayed_connection &connection)
{
    int family = connection.registration.family;
    std::uint16_t holding_port = family == AF_INET ? holding_port_v4_ : holding_port_v6_;
    sockaddr_storage from, to;
    socklen_t from_length = loopback_address(family, holding_port, from);
    socklen_t to_length = loopback_address(family, connection.registration.local_port, to);
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        finish(connection);  // the program's connect then times out, as to a host gone silent
        return;
    }
    share_port(fd);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Acknowledgements are held for reads only once the connection is open
    // (see poll_once): held now, the handshake's last one would wait 200 ms.
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), from_length) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr *>(&to), to_length) != 0 && errno != EINPROGRESS)) {
        close(fd);
        finish(connection);
        return;
    }
    connection.program_fd = fd;
    connection.program_connecting = true;
}
