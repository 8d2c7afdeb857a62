// The library's own sockets to the hops' echo services.
#include "hop_socket.hh"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "address_text.hh"
#include "elapsed_time.hh"
#include "own_descriptors.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "trace.hh"

namespace {

// Connects s to the hop, waiting at most the reply bound. A hop that does not
// answer leaves an unconnected socket: each later round trip over it fails
// at its first send, or, while the hop's accept queue is full, waits out the
// whole bound.
void connect_within_bound(int s, const sockaddr_in &hop)
{
    int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int result = real_calls().connect(s, reinterpret_cast<const sockaddr *>(&hop), hop_address_length);
    if (result < 0 && errno == EINPROGRESS) {
        wait_for_hop(s, POLLOUT);
    }
    fcntl(s, F_SETFL, flags);
}

// A new socket of the given kind connected to the hop. Its creation and
// connection results are not examined: a failed creation leaves -1, which
// still counts as the entry's hop socket.
int open_hop_socket(int type, int protocol, const sockaddr_in &hop)
{
    int s = above_standard_descriptors(real_calls().socket(AF_INET, type | SOCK_CLOEXEC, protocol));
    if (s >= 0) {
        connect_within_bound(s, hop);
    }
    return s;
}

// Records the binding unless another thread bound the entry meanwhile, in
// which case the new socket is not needed.
void claim(rtbl_ent &entry, int s, int hop_socket)
{
    int none = 0;
    if (__atomic_compare_exchange_n(&entry.s1, &none, hop_socket, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        __atomic_store_n(&entry.sock, s, __ATOMIC_RELEASE);
    } else if (hop_socket >= 0) {
        real_calls().close(hop_socket);
    }
}

// How connect announces and opens the hop socket of each route protocol. The
// two announcements differ in their spacing, and the trace keeps them so.
struct hop_kind {
    int protocol;
    int type;
    int ip_protocol;
    const char *announcement;
    const char *opened_format;
};

constexpr hop_kind hop_kinds[] = {
    {protocol_tcp, SOCK_STREAM, IPPROTO_TCP, "connect() \t:\tTCP to \n",
     "connect()\t:\ts1=%d name=%s namelen=%d \n "},
    {protocol_udp, SOCK_DGRAM, IPPROTO_UDP, " connect() \t:\tUDP \n",
     "connect()\t:\ts1=%d name=%s namelen=%d\n "},
};

}  // namespace

short wait_for_hop(int s, short events)
{
    if (s < 0) {
        return events;
    }
    timeval start = interval_clock_now();
    for (;;) {
        long waited = elapsed_ms_between(start, interval_clock_now());
        if (waited >= hop_reply_timeout_ms) {
            return 0;
        }
        pollfd watch{s, events, 0};
        int ready = poll(&watch, 1, static_cast<int>(hop_reply_timeout_ms - waited));
        if (ready > 0) {
            return watch.revents;
        }
        if (ready == 0 || errno != EINTR) {
            return 0;
        }
    }
}

void bind_route(rtbl_ent &entry, int s)
{
    for (const hop_kind &kind : hop_kinds) {
        if (entry.protocol != kind.protocol || route_hop_socket(entry) != 0) {
            continue;
        }
        trace_debug("%s", kind.announcement);
        int hop_socket = open_hop_socket(kind.type, kind.ip_protocol, entry.hop);
        trace_debug(kind.opened_format, hop_socket,
                    get_address(reinterpret_cast<const sockaddr *>(&entry.hop), hop_address_length),
                    static_cast<int>(hop_address_length));
        claim(entry, s, hop_socket);
    }
}
