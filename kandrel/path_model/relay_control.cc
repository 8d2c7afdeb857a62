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

bool has_no_delay(int s)
{
    return socket_option(s, TCP_NODELAY, IPPROTO_TCP) > 0;
}

std::uint16_t local_port(int s, int family)
{
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return 0;
    }
    if (port_of(local) != 0) {
        return port_of(local);
    }
    length = loopback_address(family, 0, local);
    if (real_calls().bind(s, reinterpret_cast<sockaddr *>(&local), length) != 0) {
        return 0;
    }
    length = sizeof local;
    return real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) == 0 ? port_of(local)
                                                                                           : 0;
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

ssize_t send_with_descriptor(int control, iovec *parts, std::size_t count, int passed)
{
    alignas(cmsghdr) char control_space[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    message.msg_control = control_space;
    message.msg_controllen = sizeof control_space;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
    return real_calls().sendmsg(control, &message, MSG_NOSIGNAL);
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
    message.local_port = port_of(local);
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
