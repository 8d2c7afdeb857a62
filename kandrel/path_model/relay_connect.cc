// Registering a connect with the path relay and connecting through it.
#include "relay_connect.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "path_relay_protocol.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "relay_control.hh"
#include "relayed_sockets.hh"
#include "route_table.hh"
#include "settings.hh"

namespace {

// Sends the registration of s; the relay's port to connect s to (its
// holding port for a held connect, else its listener), or 0.
std::uint16_t register_connect(int control, int s, int family, bool held, const program_address &destination,
                               socklen_t destination_length, const rtbl_ent &route)
{
    path_registration registration = registration_for(route, path_message::connect);
    registration.family = static_cast<std::uint16_t>(family);
    registration.local_port = local_port(s, family);
    registration.no_delay = has_no_delay(s) ? 1 : 0;
    registration.held = held ? 1 : 0;
    std::memcpy(&registration.destination, &destination.storage, sizeof registration.destination);
    registration.destination_length =
        std::min<socklen_t>(destination_length, sizeof registration.destination);
    path_answer answer;
    if (registration.local_port == 0 ||
        real_calls().send(control, &registration, sizeof registration, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(sizeof registration) ||
        !await_answer(control, path_answer_kind::registered, relay_patience_ms, answer)) {
        return 0;
    }
    return held && answer.holding_port != 0 ? answer.holding_port : answer.listener_port;
}

bool unbound_or_on_loopback(int s)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    return real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) == 0 &&
           (port_of(local) == 0 || is_loopback_address(local));
}

// Whether s's own connect is still under way (a held one, pending at the
// relay's holding port).
bool connect_under_way(int s)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    return real_calls().getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           (info.tcpi_state == TCP_SYN_SENT || info.tcpi_state == TCP_SYN_RECV);
}

// tell_no_delay, which may leave errno changed.
void tell_no_delay_of(int s)
{
    path_registration change;
    path_answer answer;
    if (message_about(s, path_message::no_delay, change)) {
        change.no_delay = has_no_delay(s) ? 1 : 0;
        exchange(change, path_answer_kind::taken, answer);
    }
}

}  // namespace

const rtbl_ent *relayed_route(int s, const struct sockaddr *name, socklen_t namelen)
{
    if (name == nullptr || setting(path_relay_variable) == nullptr ||
        socket_option(s, SO_TYPE) != SOCK_STREAM) {
        return nullptr;
    }
    int family = socket_option(s, SO_DOMAIN);
    if (family != AF_INET && family != AF_INET6) {
        return nullptr;
    }
    return bouncing_route(find_route(name, namelen));
}

std::optional<int> relayed_connect(int s, const struct sockaddr *name, socklen_t namelen,
                                   const rtbl_ent &route)
{
    // A program asking again whether its non-blocking connect is done gets
    // the kernel's answer (EALREADY, EISCONN), and no second registration.
    sockaddr_storage peer;
    socklen_t peer_length = sizeof peer;
    if (real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&peer), &peer_length) == 0 ||
        connect_under_way(s)) {
        return real_calls().connect(s, name, namelen);
    }
    int family = socket_option(s, SO_DOMAIN);
    // A non-blocking connect is held pending until the relay has its
    // outcome: writable after one round trip, or failed then. The relay
    // opens it towards the socket's loopback port, so a socket the program
    // bound to another address connects to the listener instead.
    bool blocking = (real_calls().fcntl(s, F_GETFL) & O_NONBLOCK) == 0;
    bool held = !blocking && unbound_or_on_loopback(s);
    program_address destination;
    int copied = copy_program_address(destination, name, static_cast<int>(namelen));
    int control = copied >= 0 ? open_control() : -1;
    std::uint16_t port =
        control >= 0 ? register_connect(control, s, family, held, destination, namelen, route) : 0;
    if (port == 0) {
        if (control >= 0) {
            real_calls().close(control);
        }
        return std::nullopt;
    }
    sockaddr_storage relay;
    socklen_t relay_length = loopback_address(family, port, relay);
    int result = real_calls().connect(s, reinterpret_cast<sockaddr *>(&relay), relay_length);
    int error = errno;
    if (result == 0 || error == EINPROGRESS) {
        relayed_names names{};
        names.destination_length = std::min<socklen_t>(namelen, sizeof names.destination);
        std::memcpy(&names.destination, &destination.storage, names.destination_length);
        remember_relayed_socket(s, names);
    }
    path_answer answer;
    if (result == 0 && blocking && await_answer(control, path_answer_kind::connected, -1, answer) &&
        answer.error != 0) {
        forget_relayed_sockets(static_cast<unsigned>(s), static_cast<unsigned>(s));
        result = -1;
        error = answer.error;
    }
    real_calls().close(control);
    errno = error;
    return result;
}

void tell_no_delay(int s)
{
    int saved_errno = errno;
    tell_no_delay_of(s);
    errno = saved_errno;
}

bool ask_relay_about(int s, relayed_names &names)
{
    int saved_errno = errno;
    path_registration question;
    path_answer answer;
    bool known = message_about(s, path_message::identify, question) &&
                 exchange(question, path_answer_kind::identified, answer) && answer.destination_length != 0;
    if (known) {
        names.destination_length = std::min<socklen_t>(answer.destination_length, sizeof names.destination);
        std::memcpy(&names.destination, &answer.destination, names.destination_length);
        names.local_length = std::min<socklen_t>(answer.local_length, sizeof names.local);
        std::memcpy(&names.local, &answer.local, names.local_length);
    }
    errno = saved_errno;
    return known;
}
