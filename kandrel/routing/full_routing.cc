// Full coverage: every program socket whose peer is routed is bound to its
// route (by connect, by accept, by the peer of a socket the library first
// meets at a send), a datagram to a routed destination is routed by its
// destination, and every send path into a routed socket bounces the filler
// (or the program's bytes on request) off the hop, over one of the route's
// shared hop connections, before the real call.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "address_text.hh"
#include "bytes_around.hh"
#include "echo_round_trip.hh"
#include "hop_pool.hh"
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

// A route's destination and hop resolved in either family, announced as
// they resolve.
bool store_route(const route_words &words, route_names_needed needed, rtbl_ent &entry)
{
    if (!resolve_route_reach(words, needed, entry.covered.reach)) {
        return false;
    }
    entry.protocol = route_protocol_of(words.protocol);
    trace_debug("init_route_tbl()\t:\tprotocol = %d\n", entry.protocol);
    return true;
}

// Runs trip(link) over one of the route's hop connections, taken from its
// pool for the trip alone and given back after.
template <typename Trip>
void over_pooled_hop(rtbl_ent &route, Trip trip)
{
    pooled_socket taken = take_from(route.covered.hops);
    hop_link link = {taken.s,
                     taken.identity,
                     route.protocol == protocol_tcp ? SOCK_STREAM : SOCK_DGRAM,
                     true,
                     reinterpret_cast<const sockaddr *>(&route.covered.reach.hop),
                     route.covered.reach.hop_length,
                     &route,
                     true};
    trip(link);
    give_back(route.covered.hops, taken);
}

// Binds s to the route of the address it connects to; a connect to an
// unrouted address ends the socket's binding. The program's connect waits
// for a hop connection of the route and, for a TCP socket over a stream
// route, for one small round trip: the handshake's on the path (a datagram
// socket's connect sends nothing). A replayed run sends nothing to any hop.
void before_connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    load_routes_once();
    rtbl_ent *route = bouncing_route(find_route(name, namelen));
    if (route == nullptr) {
        unbind_socket(s);
        return;
    }
    bind_socket(s, *route);
    if (replaying()) {
        return;
    }
    over_pooled_hop(*route, [&](hop_link &link) {
        usable_socket(link);
        trace_debug("connect()\t:\ts=%d s1=%d hop=%s\n", s, link.s,
                    get_address_with_ipv6(link.hop, static_cast<int>(link.hop_length)));
        if (route->protocol == protocol_tcp && socket_option(s, SO_TYPE) == SOCK_STREAM) {
            connect_round_trip(link);
        }
    });
}

// A socket accept returned is bound when its peer is a routed destination.
void after_accept(int s)
{
    load_routes_once();
    bound_route(s);
}

// The route a send goes by: the routed destination the call names (per
// datagram), else the socket's binding. Null when the send is not routed,
// learnt before anything is spent on the send's length.
rtbl_ent *send_route(const outgoing_send &send)
{
    load_routes_once();
    if (send.destination != nullptr) {
        return bouncing_route(find_route(send.destination, send.destination_length));
    }
    return bound_route(send.s);
}

bool before_send(const outgoing_send &send)
{
    rtbl_ent *route = send_route(send);
    size_t length;
    if (route == nullptr) {
        return true;
    }
    if (!send_length(send.payload, length)) {
        return false;
    }
    // A sendfile at the end of its file moves nothing, and delays nothing.
    if (length == 0 && send.payload.file >= 0) {
        return true;
    }
    if (send_would_block(send.s, send.flags)) {
        return true;
    }
    length = send_room(send.s, send.flags, length);
    over_pooled_hop(*route, [&](hop_link &link) {
        bounce_payload(link, route->protocol, send.payload, length, send.flags);
    });
    if (send.destination == nullptr) {
        count_delayed_bytes(send.s, length);
    }
    return true;
}

// Whether s is an Internet socket, the only kind a route may reach.
bool internet_socket(int s)
{
    struct stat status;
    sockaddr_storage own;
    socklen_t length = sizeof own;
    return fstat(s, &status) == 0 && S_ISSOCK(status.st_mode) &&
           real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&own), &length) == 0 &&
           (own.ss_family == AF_INET || own.ss_family == AF_INET6);
}

// Internet sockets the process was started with (inherited across exec,
// handed down by a supervisor) are routed from the start: the routes load
// now, and each socket whose peer is routed is bound. A process started
// without any loads its routes at its first socket, as before.
void at_load()
{
    DIR *descriptors = opendir("/proc/self/fd");
    if (descriptors == nullptr) {
        return;
    }
    int own = dirfd(descriptors);
    while (const dirent *entry = readdir(descriptors)) {
        int s = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || s == own || !internet_socket(s)) {
            continue;
        }
        load_routes_once();
        bound_route(s);
    }
    closedir(descriptors);
}

bool gives_back_descriptors()
{
    bool gave = false;
    for (rtbl_ent *route = stored_routes_begin(), *end = stored_routes_end(); route != end; ++route) {
        gave = close_idle(route->covered.hops) || gave;
    }
    return gave;
}

}  // namespace

extern const routing_policy full_coverage_routing;
const routing_policy full_coverage_routing = {
    .traces_added_calls = true,
    .shows_ipv6_addresses = true,
    .keeps_program_output = true,
    .bounces_filler = true,
    .echo_kept_limit = echo_kept_size,
    .sends_datagram_chunks_at_once = true,
    .timelog_open_flags = O_CREAT,
    .records_round_trips = true,
    .route_line_room = full_route_line_buffer_size,
    .host_word_room = full_host_word_size,
    .route_file_limit = full_route_file_read_limit,
    .says_route_file_cut = true,
    .store_route = store_route,
    .takes_host_name_setting = true,
    .before_connect = before_connect,
    .before_send = before_send,
    .after_accept = after_accept,
    .descriptors_ended = end_socket_bindings,
    .before_close = report_bytes_around,
    .after_option = no_option_moment,
    .at_load = at_load,
    .gives_back_descriptors = gives_back_descriptors,
    .carries_connect = carries_no_connect,
    .carried_connect = nullptr,
    .carried_send = carries_no_send,
    .peer_name = system_peer_name,
    .local_name = system_local_name,
};
