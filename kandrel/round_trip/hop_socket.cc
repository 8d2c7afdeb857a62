// The library's own sockets to the hops' echo services.
#include "hop_socket.hh"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "address_text.hh"
#include "elapsed_time.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "trace.hh"

namespace {

// Connects s to the hop, waiting at most the reply bound; the error that
// ended the attempt, 0 when it connected or is still under way. A hop that
// does not answer leaves a socket still connecting: a round trip over it
// waits out the whole bound, as one does while the hop's accept queue is
// full.
int connect_within_bound(int s, const sockaddr *hop, socklen_t hop_length)
{
    int flags = real_calls().fcntl(s, F_GETFL);
    real_calls().fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (real_calls().connect(s, hop, hop_length) < 0) {
        error = errno;
        if (error == EINPROGRESS) {
            socklen_t length = sizeof error;
            error = 0;
            if (wait_for_hop(s, POLLOUT) != 0) {
                real_calls().getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
            }
        }
    }
    real_calls().fcntl(s, F_SETFL, flags);
    return error;
}

// A new socket of the link's kind, connected to the hop if the link is; -1
// with errno when it cannot be created. A connection the hop refused leaves
// the socket in *s all the same (a route keeps its number), and -1 with
// the refusal in errno.
int open_socket(const hop_link &link, int *s)
{
    int ip_protocol = link.type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
    int opened = real_calls().socket(link.hop->sa_family, link.type | SOCK_CLOEXEC, ip_protocol);
    *s = link.out_of_the_way ? above_program_descriptors(opened) : above_standard_descriptors(opened);
    if (*s < 0) {
        return -1;
    }
    int error = link.connected ? connect_within_bound(*s, link.hop, link.hop_length) : 0;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return *s;
}

int route_socket_type(const rtbl_ent &entry)
{
    return entry.protocol == protocol_tcp ? SOCK_STREAM : SOCK_DGRAM;
}

// How connect announces and opens the hop socket of each route protocol. The
// two announcements differ in their spacing, and the trace keeps them so.
struct hop_kind {
    int protocol;
    const char *announcement;
    const char *opened_format;
};

constexpr hop_kind hop_kinds[] = {
    {protocol_tcp, "connect() \t:\tTCP to \n", "connect()\t:\ts1=%d name=%s namelen=%d \n "},
    {protocol_udp, " connect() \t:\tUDP \n", "connect()\t:\ts1=%d name=%s namelen=%d\n "},
};

}  // namespace

short wait_for_hop_until(int s, short events, const timeval &start, long limit_ms)
{
    for (;;) {
        long waited = elapsed_ms_between(start, interval_clock_now());
        if (waited >= limit_ms) {
            return 0;
        }
        pollfd watch{s, events, 0};
        int ready = poll(&watch, 1, static_cast<int>(limit_ms - waited));
        if (ready > 0) {
            return watch.revents;
        }
        if (ready == 0 || errno != EINTR) {
            return 0;
        }
    }
}

short wait_for_hop(int s, short events)
{
    return wait_for_hop_until(s, events, interval_clock_now(), hop_reply_timeout_ms);
}

hop_link route_hop_link(rtbl_ent &entry)
{
    return {entry.s1,
            entry.classic.s1_identity,
            route_socket_type(entry),
            true,
            reinterpret_cast<const sockaddr *>(&entry.hop),
            hop_address_length,
            &entry};
}

hop_link route_datagram_link(rtbl_ent &entry)
{
    return {entry.classic.datagram_socket,
            entry.classic.datagram_identity,
            SOCK_DGRAM,
            false,
            reinterpret_cast<const sockaddr *>(&entry.hop),
            hop_address_length,
            &entry};
}

int usable_socket(hop_link &link)
{
    if (still_ours(link.s, link.identity)) {
        return link.s;
    }
    let_go(link.s, link.identity);
    int s;
    int usable = open_socket(link, &s);
    int error = errno;
    link.identity = identity_of(s);
    // A failed creation leaves -1, which still counts as a hop socket.
    __atomic_store_n(&link.s, s, __ATOMIC_RELEASE);
    errno = error;
    return usable;
}

void discard_socket(hop_link &link)
{
    let_go(link.s, link.identity);
    link.identity = {};
}

void bind_route(rtbl_ent &entry, int s)
{
    held_exchange exclusive(entry.classic.exchange);
    if (!route_unbound(entry)) {
        return;
    }
    if (route_hop_socket(entry) == 0) {
        for (const hop_kind &kind : hop_kinds) {
            if (entry.protocol != kind.protocol) {
                continue;
            }
            trace_debug("%s", kind.announcement);
            hop_link link = route_hop_link(entry);
            usable_socket(link);
            trace_debug(kind.opened_format, route_hop_socket(entry),
                        get_address(reinterpret_cast<const sockaddr *>(&entry.hop), hop_address_length),
                        static_cast<int>(hop_address_length));
        }
    }
    if (route_hop_socket(entry) != 0) {
        __atomic_store_n(&entry.sock, s, __ATOMIC_RELEASE);
    }
}
