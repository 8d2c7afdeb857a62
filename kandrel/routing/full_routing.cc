// Full coverage: every program socket whose peer is routed is bound to its
// route with a hop socket of its own (by connect, by accept, per datagram by
// the call's destination), and every send path into a bound socket bounces
// the filler (or the program's bytes on request) off the hop before the
// real call.
#include <fcntl.h>

#include "address_text.hh"
#include "bytes_around.hh"
#include "echo_round_trip.hh"
#include "real_calls.hh"
#include "recording.hh"
#include "route_line.hh"
#include "route_table.hh"
#include "routing_policy.hh"
#include "socket_bindings.hh"
#include "trace.hh"

namespace {

// The most of an echo a round trip keeps: all its debug lines show, so a
// large send costs no more memory than that.
constexpr std::size_t echo_kept_size = 64 * 1024;

// A route that bounces traffic (TCP or UDP), or null.
rtbl_ent *bouncing_route(rtbl_ent *route)
{
    return route != nullptr && (route->protocol == protocol_tcp || route->protocol == protocol_udp) ? route
                                                                                                    : nullptr;
}

// A route's destination and hop resolved in either family, announced as
// they resolve.
bool store_route(const route_words &words, rtbl_ent &entry)
{
    if (!resolve_route_reach(words, entry.covered.reach)) {
        return false;
    }
    entry.protocol = route_protocol_of(words.protocol);
    trace_debug("init_route_tbl()\t:\tprotocol = %d\n", entry.protocol);
    return true;
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

// Binds s to the route of the address it connects to, opening and connecting
// the binding's own hop socket first (the program's connect waits for the
// hop connection). A replayed run sends nothing to any hop.
void before_connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    rtbl_ent *route = bouncing_route(find_route(name, namelen));
    if (route == nullptr) {
        return;
    }
    socket_binding *binding = bind_socket(s, *route);
    if (binding != nullptr && !replaying()) {
        open_binding_hop(*binding, s);
    }
}

// Binds a socket that accept returned when its peer is a routed destination.
void after_accept(int s)
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

// The binding a send goes through: when the call names a routed destination,
// s bound to its route (per datagram); else s's own binding. Null when the
// send is not routed, learnt before anything is spent on the send's length.
socket_binding *send_binding(const outgoing_send &send)
{
    if (send.destination == nullptr) {
        return binding_of(send.s);
    }
    rtbl_ent *route = bouncing_route(find_route(send.destination, send.destination_length));
    return route != nullptr ? bind_socket(send.s, *route) : nullptr;
}

bool before_send(const outgoing_send &send)
{
    socket_binding *binding = send_binding(send);
    size_t length;
    if (binding == nullptr) {
        return true;
    }
    if (!send_length(send.payload, length)) {
        return false;
    }
    // A sendfile at the end of its file moves nothing, and delays nothing.
    if (length == 0 && send.payload.file >= 0) {
        return true;
    }
    bounce_unless_refused(binding->exchange, send.s, send.flags, [&] {
        if (binding->route == nullptr) {
            return;  // the socket was closed on another thread meanwhile
        }
        hop_link link = binding_hop_link(*binding);
        bounce_payload(link, binding->route->protocol, send.payload, length, send.flags);
        __atomic_fetch_add(&binding->delayed_bytes, length, __ATOMIC_RELAXED);
    });
    return true;
}

}  // namespace

extern const routing_policy full_coverage_routing;
const routing_policy full_coverage_routing = {
    .traces_added_calls = true,
    .shows_ipv6_addresses = true,
    .keeps_program_output = true,
    .bounces_filler = true,
    .echo_kept_limit = echo_kept_size,
    .timelog_open_flags = O_CREAT,
    .records_round_trips = true,
    .route_line_room = full_route_line_buffer_size,
    .host_word_room = full_host_word_size,
    .route_file_limit = full_route_file_read_limit,
    .says_route_file_cut = true,
    .store_route = store_route,
    .before_connect = before_connect,
    .before_send = before_send,
    .after_accept = after_accept,
    .descriptors_ended = end_socket_bindings,
    .before_close = report_bytes_around,
};
