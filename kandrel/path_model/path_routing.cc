// The path model's routing: full coverage, except that a TCP connection to
// or from a routed peer and a datagram sent to one are carried by the path
// relay, which holds each direction back by half the path's round trip
// without blocking the program, and names a carried socket's destination.
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "real_calls.hh"
#include "relay_accept.hh"
#include "relay_connect.hh"
#include "relay_datagram.hh"
#include "relayed_sockets.hh"
#include "routing_policy.hh"

extern const routing_policy full_coverage_routing;

namespace {

bool carries_connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    return relayed_route(s, name, namelen) != nullptr;
}

// A connect the relay cannot take (it is gone, or never started) is routed
// as full coverage routes it: each send then waits its round trip, and the
// run's report counts it, rather than the connection going undelayed.
int carried_connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    const rtbl_ent *route = relayed_route(s, name, namelen);
    if (std::optional<int> result =
            route != nullptr ? relayed_connect(s, name, namelen, *route) : std::nullopt) {
        return *result;
    }
    full_coverage_routing.before_connect(s, name, namelen);
    return real_calls().connect(s, name, namelen);
}

// A datagram socket's connect is noted, for its writes; it costs nothing on
// a path, and full coverage binds the socket as before.
void before_connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    full_coverage_routing.before_connect(s, name, namelen);
    note_datagram_connect(s, name, namelen);
}

// A datagram the relay takes whole: of send, sendto, write on a connected
// datagram socket, or of sendmsg, sendmmsg and writev when its vector is
// short enough. A datagram with ancillary data, or corked (MSG_MORE) for
// the next send to complete, is sent as full coverage sends it.
bool carried_send(const outgoing_send &send, size_t &length)
{
    if (send.call == send_call::write && !is_routed_datagram_socket(send.s)) {
        return false;
    }
    return send.call != send_call::sendfile && send.call != send_call::splice && !send.has_ancillary_data &&
           (send.flags & MSG_MORE) == 0 &&
           relay_datagram(send.s, send.payload, send.destination, send.destination_length, length);
}

void after_accept(int s)
{
    if (!relay_accepted(s)) {
        full_coverage_routing.after_accept(s);
    }
}

void descriptors_ended(unsigned first, unsigned last)
{
    full_coverage_routing.descriptors_ended(first, last);
    forget_relayed_sockets(first, last);
    forget_datagram_sockets(first, last);
}

// The relay holds a relayed socket's short pieces as its kernel would
// over a distance, unless TCP_NODELAY is set.
void after_option(int s, int level, int optname)
{
    relayed_names names{};
    if (level == IPPROTO_TCP && optname == TCP_NODELAY && find_relayed_socket(s, names)) {
        tell_no_delay(s);
    }
}

}  // namespace

routing_policy path_model_routing()
{
    routing_policy policy = full_coverage_routing;
    policy.before_connect = before_connect;
    policy.after_accept = after_accept;
    policy.descriptors_ended = descriptors_ended;
    policy.after_option = after_option;
    policy.carries_connect = carries_connect;
    policy.carried_connect = carried_connect;
    policy.carried_send = carried_send;
    policy.peer_name = relayed_getpeername;
    policy.local_name = relayed_getsockname;
    return policy;
}
