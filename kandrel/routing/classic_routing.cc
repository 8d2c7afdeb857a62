// The classic routing behaviour: a connect to a routed destination binds the
// route to the program's socket (one per route), and send, sendto, sendmsg
// and write bounce the program's own bytes off the route's hop, each in its
// own way, before the real call.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cstring>

#include "address_text.hh"
#include "echo_round_trip.hh"
#include "hop_socket.hh"
#include "route_line.hh"
#include "route_table.hh"
#include "routing_policy.hh"
#include "trace.hh"

namespace {

// The four bytes of an address in network order, first byte first.
struct dotted_bytes {
    unsigned char octet[4];
};

dotted_bytes bytes_of(const sockaddr_in &address)
{
    dotted_bytes bytes;
    std::memcpy(bytes.octet, &address.sin_addr.s_addr, sizeof bytes.octet);
    return bytes;
}

void announce_route(const rtbl_ent &entry)
{
    dotted_bytes from = bytes_of(entry.from), to = bytes_of(entry.to), hop = bytes_of(entry.hop);
    trace("init_route_tbl()\t:\tAdded route (%d.%d.%d.%d)=>(%d.%d.%d.%d) : (%d.%d.%d.%d)\n", from.octet[0],
          from.octet[1], from.octet[2], from.octet[3], to.octet[0], to.octet[1], to.octet[2], to.octet[3],
          hop.octet[0], hop.octet[1], hop.octet[2], hop.octet[3]);
    trace_debug("init_route_tbl()\t:\tfrom_fam = %d, to_fam =%d, hop_fam = %d\n", entry.from.sin_family,
                entry.to.sin_family, entry.hop.sin_family);
    trace_debug("init_route_tbl()\t:\tprotocol = %d\n", entry.protocol);
}

// Fills entry from a line's words and announces it; false when a name does
// not convert, in which case the route is left out rather than stored with
// 255.255.255.255.
bool store_route(const route_words &words, route_names_needed, rtbl_ent &entry)
{
    bool from_ok = strtoinaddr(words.from, &entry.from.sin_addr) == 0;
    bool to_ok = strtoinaddr(words.to, &entry.to.sin_addr) == 0;
    bool hop_ok = strtoinaddr(words.hop, &entry.hop.sin_addr) == 0;
    entry.protocol = route_protocol_of(words.protocol);
    entry.from.sin_family = AF_INET;
    entry.to.sin_family = AF_INET;
    entry.hop.sin_family = AF_INET;
    entry.hop.sin_port = htons(echo_port);
    if (!(from_ok && to_ok && hop_ok)) {
        return false;
    }
    announce_route(entry);
    return true;
}

// A round trip of the program's len bytes over link: TCPecho or UDPecho, by
// the route's protocol.
void bounce_bytes(rtbl_ent &entry, hop_link link, const outgoing_send &send, size_t len)
{
    bounce_unless_refused(entry.classic.exchange, send.s, send.flags, [&] {
        bounce_payload(link, entry.protocol, {send.payload.bytes}, len, send.flags);
    });
}

// The route a call's destination names, or null.
rtbl_ent *destination_route(const outgoing_send &send)
{
    return send.destination != nullptr
               ? get_rtbl_ent(send.destination, static_cast<int>(send.destination_length))
               : nullptr;
}

// send on a socket a connect bound: over the route's hop socket.
void route_send(const outgoing_send &send)
{
    rtbl_ent *entry = get_sock_ent(send.s);
    if (entry == nullptr) {
        return;
    }
    if (entry->protocol == protocol_tcp) {
        trace_debug("send() \t:\tTCP \n");
    } else if (entry->protocol == protocol_udp) {
        trace_debug("send()\t\t:\tUDP \n");
    }
    if (entry->protocol != protocol_none && route_hop_socket(*entry) != 0) {
        bounce_bytes(*entry, route_hop_link(*entry), send, send.payload.count);
    }
}

// sendto by destination: over the route's hop socket, or for a UDP route
// without one over the route's own datagram socket.
void route_sendto(const outgoing_send &send)
{
    rtbl_ent *entry = destination_route(send);
    trace_debug("sendto() \t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry == nullptr) {
        return;
    }
    bool has_hop_socket = route_hop_socket(*entry) != 0;
    if (entry->protocol == protocol_tcp) {
        trace_debug("sendto()\t:\tTCP \n");
        if (has_hop_socket) {
            bounce_bytes(*entry, route_hop_link(*entry), send, send.payload.count);
        }
    } else if (entry->protocol == protocol_udp) {
        trace_debug("sendto()\t:\tUDP \n");
        trace_debug(has_hop_socket ? "sendto()\t:\ts1!=0\n" : "sendto()\t:\ts1=0\n");
        bounce_bytes(*entry, has_hop_socket ? route_hop_link(*entry) : route_datagram_link(*entry), send,
                     send.payload.count);
    }
}

// sendmsg by destination: a TCP route's stream round trip (untimed), or a
// UDP route's datagram round trip.
void route_sendmsg(const outgoing_send &send)
{
    rtbl_ent *entry = destination_route(send);
    if (entry == nullptr) {
        return;
    }
    msghdr message{};
    message.msg_iov = const_cast<iovec *>(send.payload.vector);
    message.msg_iovlen = send.payload.vector_length;
    bool has_hop_socket = route_hop_socket(*entry) != 0;
    if (entry->protocol == protocol_tcp) {
        trace_debug("sendmsg()\t:\tTCP \n");
        if (has_hop_socket) {
            bounce_unless_refused(entry->classic.exchange, send.s, send.flags, [&] {
                hop_link link = route_hop_link(*entry);
                stream_message_round_trip(link, message, send.flags);
            });
        }
    } else if (entry->protocol == protocol_udp) {
        trace_debug("sendmsg()\t:\t UDP \n");
        bounce_unless_refused(entry->classic.exchange, send.s, send.flags, [&] {
            hop_link link = has_hop_socket ? route_hop_link(*entry) : route_datagram_link(*entry);
            datagram_message_round_trip(link, message, send.flags);
        });
    }
}

// write on a socket a connect bound: TCPecho, or UDPecho1 over the connected
// hop socket.
void route_write(const outgoing_send &send)
{
    rtbl_ent *entry = get_sock_ent(send.s);
    trace_debug("write()\t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry == nullptr || route_hop_socket(*entry) == 0) {
        return;
    }
    trace_debug("write()\t:\ts1=%d\n", route_hop_socket(*entry));
    echo_source source = echo_source::program_bytes(send.payload.bytes);
    if (entry->protocol == protocol_tcp) {
        bounce_unless_refused(entry->classic.exchange, send.s, 0, [&] {
            hop_link link = route_hop_link(*entry);
            TCPecho(link, source, send.payload.count);
        });
    } else if (entry->protocol == protocol_udp) {
        bounce_unless_refused(entry->classic.exchange, send.s, 0, [&] {
            hop_link link = route_hop_link(*entry);
            UDPecho1(link, source, send.payload.count);
        });
    }
}

bool before_send(const outgoing_send &send)
{
    switch (send.call) {
    case send_call::send:
        route_send(send);
        break;
    case send_call::sendto:
        route_sendto(send);
        break;
    case send_call::sendmsg:
        route_sendmsg(send);
        break;
    case send_call::write:
        route_write(send);
        break;
    default:
        break;  // the other send paths pass through untouched
    }
    return true;
}

void before_connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    if (rtbl_ent *entry = name != nullptr ? get_rtbl_ent(name, static_cast<int>(namelen)) : nullptr) {
        bind_route(*entry, s);
    } else {
        trace_debug("connect()\t:\tTable entry not found\n");
    }
}

void after_accept(int) {}

void before_close(int) {}

// The classic behaviour loads its routes at the first socket, and keeps its
// hop sockets.
void at_load() {}

bool gives_back_descriptors()
{
    return false;
}

}  // namespace

extern const routing_policy classic_routing;
const routing_policy classic_routing = {
    .traces_added_calls = false,
    .shows_ipv6_addresses = false,
    .keeps_program_output = false,
    .bounces_filler = false,
    .echo_kept_limit = static_cast<std::size_t>(-1),
    .sends_datagram_chunks_at_once = false,
    .timelog_open_flags = O_CREAT | O_TRUNC,
    .records_round_trips = false,
    .route_line_room = route_line_buffer_size,
    .host_word_room = host_word_size,
    .route_file_limit = route_file_read_limit,
    .says_route_file_cut = false,
    .store_route = store_route,
    .takes_host_name_setting = false,
    .before_connect = before_connect,
    .before_send = before_send,
    .after_accept = after_accept,
    .descriptors_ended = end_route_bindings,
    .before_close = before_close,
    .after_option = no_option_moment,
    .at_load = at_load,
    .gives_back_descriptors = gives_back_descriptors,
    .carries_connect = carries_no_connect,
    .carried_connect = nullptr,
    .carried_send = carries_no_send,
    .peer_name = system_peer_name,
    .local_name = system_local_name,
};
