// Full coverage's bindings and round trips.
#include "full_routing.hh"

#include "address_text.hh"
#include "echo_round_trip.hh"
#include "real_calls.hh"
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
    if (socket_binding *binding = bind_socket(s, *route)) {
        open_binding_hop(*binding, s);
    }
}

void bind_accepted_socket(int s)
{
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (s < 0 || real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        return;
    }
    if (rtbl_ent *route = bouncing_route(find_route(reinterpret_cast<sockaddr *>(&peer), length))) {
        bind_socket(s, *route);
    }
}

void full_round_trip(int s, const struct sockaddr *destination, socklen_t destination_length, size_t len,
                     int flags, const send_payload &payload)
{
    socket_binding *binding = nullptr;
    if (destination != nullptr) {
        if (rtbl_ent *route = bouncing_route(find_route(destination, destination_length))) {
            binding = bind_socket(s, *route);
        }
    } else {
        binding = binding_of(s);
    }
    if (binding == nullptr || send_would_block(s, flags)) {
        return;
    }
    held_exchange exclusive(binding->exchange);
    if (binding->route == nullptr) {
        return;  // the socket was closed on another thread meanwhile
    }
    hop_link link = binding_hop_link(*binding);
    bounce_payload(link, binding->route->protocol, payload, len, flags);
}
