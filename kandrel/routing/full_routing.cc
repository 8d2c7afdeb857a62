// Full coverage's bindings and round trips.
#include "full_routing.hh"

#include "address_text.hh"
#include "echo_round_trip.hh"
#include "real_calls.hh"
#include "recording.hh"
#include "route_line.hh"
#include "route_table.hh"
#include "socket_bindings.hh"
#include "trace.hh"

namespace {

// A route that bounces traffic (TCP or UDP), or null.
rtbl_ent *bouncing_route(rtbl_ent *route)
{
    return route != nullptr && (route->protocol == protocol_tcp || route->protocol == protocol_udp) ? route
                                                                                                    : nullptr;
}

// Opens the binding's hop socket now, under its exchange, and says so.
void open_binding_hop(socket_binding &binding, int s)
{
    held_exchange exclusive(binding.exchange);
    if (binding.route == nullptr) {
        return;
    }
    hop_link link = binding_hop_link(binding);
    usable_socket(link);
    trace_debug("connect()\t:\ts=%d s1=%d hop=%s\n", s, binding.hop_socket,
                get_address_with_ipv6(link.hop, static_cast<int>(link.hop_length)));
}

}  // namespace

void bind_connecting_socket(int s, const struct sockaddr *name, socklen_t namelen)
{
    rtbl_ent *route = bouncing_route(find_route(name, namelen));
    if (route == nullptr) {
        return;
    }
    // A replayed run sends nothing to any hop.
    socket_binding *binding = bind_socket(s, *route);
    if (binding != nullptr && !replaying()) {
        open_binding_hop(*binding, s);
    }
}

void bind_accepted_socket(int s)
{
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (s < 0 || !routes_stored() ||
        real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        return;
    }
    if (rtbl_ent *route = bouncing_route(find_route(reinterpret_cast<sockaddr *>(&peer), length))) {
        bind_socket(s, *route);
    }
}

socket_binding *send_binding(int s, const struct sockaddr *destination, socklen_t destination_length)
{
    if (destination == nullptr) {
        return binding_of(s);
    }
    rtbl_ent *route = bouncing_route(find_route(destination, destination_length));
    return route != nullptr ? bind_socket(s, *route) : nullptr;
}

void bounce_on(socket_binding &binding, int s, size_t len, int flags, const send_payload &payload)
{
    if (send_would_block(s, flags)) {
        return;
    }
    held_exchange exclusive(binding.exchange);
    if (binding.route == nullptr) {
        return;  // the socket was closed on another thread meanwhile
    }
    hop_link link = binding_hop_link(binding);
    bounce_payload(link, binding.route->protocol, payload, len, flags);
    __atomic_fetch_add(&binding.delayed_bytes, len, __ATOMIC_RELAXED);
}

void full_round_trip(int s, const struct sockaddr *destination, socklen_t destination_length, size_t len,
                     int flags, const send_payload &payload)
{
    if (socket_binding *binding = send_binding(s, destination, destination_length)) {
        bounce_on(*binding, s, len, flags, payload);
    }
}
