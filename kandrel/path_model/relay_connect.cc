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

// How long the relay may take to register a connect (it answers at once).
constexpr int registration_patience_ms = 2000;

int socket_option(int s, int option, int level = SOL_SOCKET)
{
    int value = -1;
    socklen_t size = sizeof value;
    return real_calls().getsockopt(s, level, option, &value, &size) == 0 ? value : -1;
}

bool has_no_delay(int s)
{
    return socket_option(s, TCP_NODELAY, IPPROTO_TCP) > 0;
}

// The loopback address of family with port (network order).
socklen_t loopback(int family, std::uint16_t port, sockaddr_storage &address)
{
    std::memset(&address, 0, sizeof address);
    if (family == AF_INET) {
        auto &v4 = reinterpret_cast<sockaddr_in &>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4.sin_port = port;
        return sizeof v4;
    }
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = port;
    return sizeof v6;
}

// The socket's local port, bound to an ephemeral loopback port first when it
// has none: the relay knows the program's connection by it. 0 on failure.
std::uint16_t local_port(int s, int family)
{
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return 0;
    }
    auto port = [&] {
        return family == AF_INET ? reinterpret_cast<sockaddr_in &>(local).sin_port
                                 : reinterpret_cast<sockaddr_in6 &>(local).sin6_port;
    };
    if (port() != 0) {
        return port();
    }
    length = loopback(family, 0, local);
    if (real_calls().bind(s, reinterpret_cast<sockaddr *>(&local), length) != 0) {
        return 0;
    }
    length = sizeof local;
    return real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) == 0 ? port() : 0;
}

// The relay's next answer of kind, waiting at most patience_ms (-1: for
// ever, as a blocking connect waits for its handshake).
bool await_answer(int control, path_answer_kind kind, int patience_ms, path_answer &answer)
{
    pollfd ready{control, POLLIN, 0};
    for (;;) {
        int polled = poll(&ready, 1, patience_ms);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return false;
        }
        ssize_t got = real_calls().recv(control, &answer, sizeof answer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got == static_cast<ssize_t>(sizeof answer) && answer.kind == kind;
    }
}

// Sends the registration of s; the relay's listener port for it, or 0.
std::uint16_t register_connect(int control, int s, int family, const program_address &destination,
                               socklen_t destination_length, const rtbl_ent &route)
{
    path_registration registration = registration_for(route, path_message::connect);
    registration.family = static_cast<std::uint16_t>(family);
    registration.local_port = local_port(s, family);
    registration.no_delay = has_no_delay(s) ? 1 : 0;
    std::memcpy(&registration.destination, &destination.storage, sizeof registration.destination);
    registration.destination_length =
        std::min<socklen_t>(destination_length, sizeof registration.destination);
    path_answer answer;
    if (registration.local_port == 0 ||
        real_calls().send(control, &registration, sizeof registration, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(sizeof registration) ||
        !await_answer(control, path_answer_kind::registered, registration_patience_ms, answer)) {
        return 0;
    }
    return answer.listener_port;
}

// A message of kind about the program's socket s, known to the relay by
// its local port and family.
bool message_about(int s, path_message kind, path_registration &message)
{
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return false;
    }
    message = path_registration{};
    message.kind = kind;
    message.family = local.ss_family;
    message.local_port = local.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(local).sin_port
                                                    : reinterpret_cast<sockaddr_in6 &>(local).sin6_port;
    return true;
}

// Sends message to the relay and waits for its answer of kind.
bool exchange(const path_registration &message, path_answer_kind kind, path_answer &answer)
{
    int control = open_control();
    if (control < 0) {
        return false;
    }
    bool answered = real_calls().send(control, &message, sizeof message, MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(sizeof message) &&
                    await_answer(control, kind, registration_patience_ms, answer);
    real_calls().close(control);
    return answered;
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
    rtbl_ent *route = find_route(name, namelen);
    return route != nullptr && (route->protocol == protocol_tcp || route->protocol == protocol_udp) ? route
                                                                                                    : nullptr;
}

int relayed_connect(int s, const struct sockaddr *name, socklen_t namelen, const rtbl_ent &route)
{
    // A program asking again whether its non-blocking connect is done gets
    // the kernel's answer (EISCONN), and no second registration.
    sockaddr_storage peer;
    socklen_t peer_length = sizeof peer;
    if (real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&peer), &peer_length) == 0) {
        return real_calls().connect(s, name, namelen);
    }
    int family = socket_option(s, SO_DOMAIN);
    program_address destination;
    int copied = copy_program_address(destination, name, static_cast<int>(namelen));
    int control = copied >= 0 ? open_control() : -1;
    std::uint16_t port = control >= 0 ? register_connect(control, s, family, destination, namelen, route) : 0;
    if (port == 0) {
        if (control >= 0) {
            real_calls().close(control);
        }
        return real_calls().connect(s, name, namelen);
    }
    sockaddr_storage relay;
    socklen_t relay_length = loopback(family, port, relay);
    int result = real_calls().connect(s, reinterpret_cast<sockaddr *>(&relay), relay_length);
    int error = errno;
    if (result == 0 || error == EINPROGRESS) {
        relayed_names names{};
        names.destination_length = std::min<socklen_t>(namelen, sizeof names.destination);
        std::memcpy(&names.destination, &destination.storage, names.destination_length);
        remember_relayed_socket(s, names);
    }
    bool blocking = (real_calls().fcntl(s, F_GETFL) & O_NONBLOCK) == 0;
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
