// The library's side of the relay's control socket.
#include "relay_control.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "real_calls.hh"
#include "route_table.hh"
#include "settings.hh"

int open_control()
{
    const char *name = setting(path_relay_variable);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length < 2 || name[0] != '@' || length > sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path + 1, name + 1, length - 1);
    int control = real_calls().socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (control >= 0 &&
        real_calls().connect(control, reinterpret_cast<sockaddr *>(&address),
                             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length)) != 0) {
        real_calls().close(control);
        return -1;
    }
    return control;
}

path_registration registration_for(const rtbl_ent &route, path_message kind)
{
    path_registration registration{};
    registration.kind = kind;
    registration.pid = static_cast<std::uint32_t>(getpid());
    registration.protocol = static_cast<std::uint32_t>(route.protocol);
    registration.hop = route.covered.reach.hop;
    registration.hop_length = route.covered.reach.hop_length;
    std::memcpy(registration.to_word, route.covered.to_word, sizeof registration.to_word);
    std::memcpy(registration.hop_word, route.covered.hop_word, sizeof registration.hop_word);
    return registration;
}

int socket_option(int s, int option, int level)
{
    int value = -1;
    socklen_t size = sizeof value;
    return real_calls().getsockopt(s, level, option, &value, &size) == 0 ? value : -1;
}

bool has_no_delay(int s)
{
    return socket_option(s, TCP_NODELAY, IPPROTO_TCP) > 0;
}

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

bool exchange(const path_registration &message, path_answer_kind kind, path_answer &answer)
{
    int control = open_control();
    if (control < 0) {
        return false;
    }
    bool answered = real_calls().send(control, &message, sizeof message, MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(sizeof message) &&
                    await_answer(control, kind, relay_patience_ms, answer);
    real_calls().close(control);
    return answered;
}
