// Handing an accepted connection to the path relay.
#include "relay_accept.hh"

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "path_relay_protocol.hh"
#include "real_calls.hh"
#include "relay_connect.hh"
#include "relay_control.hh"
#include "relayed_sockets.hh"
#include "route_table.hh"

namespace {

// Passes accepted to the relay with its registration; the relay's listener
// port, or 0.
std::uint16_t hand_over(int accepted, const path_registration &registration)
{
    int control = open_control();
    if (control < 0) {
        return 0;
    }
    iovec part{const_cast<path_registration *>(&registration), sizeof registration};
    path_answer answer;
    bool registered =
        send_with_descriptor(control, &part, 1, accepted) == static_cast<ssize_t>(sizeof registration) &&
        await_answer(control, path_answer_kind::registered, relay_patience_ms, answer);
    real_calls().close(control);
    return registered ? answer.listener_port : 0;
}

// Puts replacement in s's place, with s's descriptor and status flags.
bool take_place(int replacement, int s)
{
    int descriptor_flags = real_calls().fcntl(s, F_GETFD);
    int status_flags = real_calls().fcntl(s, F_GETFL);
    if (descriptor_flags < 0 || status_flags < 0 ||
        real_calls().dup3(replacement, s, (descriptor_flags & FD_CLOEXEC) ? O_CLOEXEC : 0) != s) {
        return false;
    }
    real_calls().fcntl(s, F_SETFL, status_flags);
    return true;
}

bool relay_accepted_now(int s)
{
    sockaddr_storage peer;
    socklen_t peer_length = sizeof peer;
    if (real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&peer), &peer_length) != 0) {
        return false;
    }
    const rtbl_ent *route = relayed_route(s, reinterpret_cast<sockaddr *>(&peer), peer_length);
    if (route == nullptr) {
        return false;
    }
    relayed_names names{};
    names.destination_length = std::min<socklen_t>(peer_length, sizeof names.destination);
    std::memcpy(&names.destination, &peer, names.destination_length);
    names.local_length = sizeof names.local;
    if (real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&names.local), &names.local_length) != 0) {
        names.local_length = 0;
    }
    int family = peer.ss_family;
    int replacement = real_calls().socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (replacement < 0) {
        return false;
    }
    path_registration registration = registration_for(*route, path_message::adopt);
    registration.family = static_cast<std::uint16_t>(family);
    registration.local_port = local_port(replacement, family);
    registration.no_delay = has_no_delay(s) ? 1 : 0;
    std::memcpy(&registration.destination, &peer, sizeof registration.destination);
    registration.destination_length = peer_length;
    std::uint16_t port = registration.local_port != 0 ? hand_over(s, registration) : 0;
    sockaddr_storage relay;
    socklen_t relay_length = loopback_address(family, port, relay);
    // Over loopback the connect is done once the call returns; the relay
    // already holds the accepted connection, so failing now would lose it.
    bool placed =
        port != 0 &&
        real_calls().connect(replacement, reinterpret_cast<sockaddr *>(&relay), relay_length) == 0 &&
        take_place(replacement, s);
    real_calls().close(replacement);
    if (placed) {
        remember_relayed_socket(s, names);
    }
    return placed;
}

}  // namespace

bool relay_accepted(int s)
{
    int saved_errno = errno;
    bool relayed = relay_accepted_now(s);
    errno = saved_errno;
    return relayed;
}
