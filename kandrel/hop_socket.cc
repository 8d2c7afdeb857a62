// The library's own sockets to the hops' echo services.
#include "hop_socket.hh"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "address_text.hh"
#include "echo_round_trip.hh"
#include "own_descriptors.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "trace.hh"

namespace {

// Connects s to the hop, waiting at most the reply bound; a hop that does not
// answer leaves an unconnected socket, whose round trips then fail quickly.
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

}  // namespace

void bind_route(rtbl_ent &entry, int s)
{
    const sockaddr *hop = reinterpret_cast<const sockaddr *>(&entry.hop);
    if (entry.protocol == protocol_tcp && route_hop_socket(entry) == 0) {
        trace_debug("connect() \t:\tTCP to \n");
        int hop_socket = open_hop_socket(SOCK_STREAM, IPPROTO_TCP, entry.hop);
        trace_debug("connect()\t:\ts1=%d name=%s namelen=%d \n ", hop_socket, get_address(hop, hop_address_length),
                    static_cast<int>(hop_address_length));
        claim(entry, s, hop_socket);
    }
    if (entry.protocol == protocol_udp && route_hop_socket(entry) == 0) {
        trace_debug(" connect() \t:\tUDP \n");
        int hop_socket = open_hop_socket(SOCK_DGRAM, IPPROTO_UDP, entry.hop);
        trace_debug("connect()\t:\ts1=%d name=%s namelen=%d\n ", hop_socket, get_address(hop, hop_address_length),
                    static_cast<int>(hop_address_length));
        claim(entry, s, hop_socket);
    }
}
