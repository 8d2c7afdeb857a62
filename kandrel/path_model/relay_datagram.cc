// Handing a datagram and its socket to the path relay.
#include "relay_datagram.hh"

#include <netinet/in.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "path_relay_protocol.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "relay_control.hh"
#include "route_table.hh"

namespace {

// The most a UDP datagram over IPv4 carries.
constexpr size_t largest_datagram = 65507;

bool is_ip_datagram_socket(int s)
{
    if (socket_option(s, SO_TYPE) != SOCK_DGRAM) {
        return false;
    }
    int family = socket_option(s, SO_DOMAIN);
    return family == AF_INET || family == AF_INET6;
}

// Binds an unbound socket as its first send would, so that the program sees
// its port (and can receive replies) from the moment the send returns.
void bind_as_a_send_would(int s)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (real_calls().getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return;
    }
    if (port_of(local) == 0) {
        real_calls().bind(s, reinterpret_cast<sockaddr *>(&local), length);
    }
}

// The datagram's pieces after the message's header: the program's buffer,
// or its vector's pieces, read through fault-safe copies (the kernel reads
// the bytes). False when they cannot be read or are too many.
bool gather(const send_payload &payload, iovec (&parts)[relayed_datagram_pieces + 1], size_t &count,
            size_t &length)
{
    if (payload.vector == nullptr) {
        parts[1] = {const_cast<char *>(payload.bytes), payload.count};
        count = 1;
        length = payload.count;
        return true;
    }
    if (payload.vector_length > relayed_datagram_pieces) {
        return false;
    }
    length = 0;
    for (count = 0; count < payload.vector_length; ++count) {
        if (!read_from_program(payload.vector + count, parts[count + 1]) ||
            __builtin_add_overflow(length, parts[count + 1].iov_len, &length)) {
            return false;
        }
    }
    return true;
}

// One bit per descriptor, set and cleared atomically: threads, fork and
// signal handlers need no lock.
std::uint64_t routed_datagram_bits[routed_datagram_socket_limit / 64];

void set_routed_datagram_bit(int s, bool routed)
{
    std::uint64_t bit = std::uint64_t{1} << (s % 64);
    if (routed) {
        __atomic_fetch_or(&routed_datagram_bits[s / 64], bit, __ATOMIC_RELEASE);
    } else {
        __atomic_fetch_and(&routed_datagram_bits[s / 64], ~bit, __ATOMIC_RELEASE);
    }
}

}  // namespace

void note_datagram_connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    if (s < 0 || s >= routed_datagram_socket_limit || !is_ip_datagram_socket(s)) {
        return;
    }
    set_routed_datagram_bit(s, bouncing_route(find_route(name, namelen)) != nullptr);
}

bool is_routed_datagram_socket(int s)
{
    return s >= 0 && s < routed_datagram_socket_limit &&
           (__atomic_load_n(&routed_datagram_bits[s / 64], __ATOMIC_ACQUIRE) >> (s % 64) & 1) != 0;
}

void forget_datagram_sockets(unsigned first, unsigned last)
{
    for (unsigned s = first; s <= last && s < routed_datagram_socket_limit; ++s) {
        set_routed_datagram_bit(static_cast<int>(s), false);
    }
}

bool relay_datagram(int s, const send_payload &payload, const struct sockaddr *to, socklen_t tolen,
                    size_t &len)
{
    iovec parts[relayed_datagram_pieces + 1];
    size_t pieces = 0;
    // The socket first: a stream socket's send reads nothing more.
    if (payload.file >= 0 || !is_ip_datagram_socket(s) || !gather(payload, parts, pieces, len) ||
        len > largest_datagram) {
        return false;
    }
    program_address destination;
    socklen_t length;
    if (to != nullptr) {
        int copied = copy_program_address(destination, to, static_cast<int>(tolen));
        if (copied < 0) {
            return false;
        }
        length = std::min<socklen_t>(tolen, sizeof destination.storage);
    } else {
        length = sizeof destination.storage;
        if (real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&destination.storage), &length) != 0) {
            return false;
        }
    }
    rtbl_ent *route = bouncing_route(find_route(destination.address(), length));
    if (route == nullptr) {
        return false;
    }
    int control = open_control();
    if (control < 0) {
        return false;
    }
    path_registration header = registration_for(*route, path_message::datagram);
    if (to != nullptr) {
        std::memcpy(&header.destination, &destination.storage, sizeof header.destination);
        header.destination_length = length;
    }
    // The kernel reads the program's bytes: a bad pointer fails the handing
    // over, and the real send then answers it.
    parts[0] = {&header, sizeof header};
    bind_as_a_send_would(s);
    bool taken =
        send_with_descriptor(control, parts, pieces + 1, s) == static_cast<ssize_t>(sizeof header + len);
    real_calls().close(control);
    return taken;
}
