// The library's side of the relay's control socket.
#include "relay_control.hh"

#include <sys/un.h>
#include <unistd.h>

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
