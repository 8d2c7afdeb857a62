// The interposed calls that may send through a hop first: connect binds a
// route to the application's socket, and the sending calls bounce the
// caller's bytes off the route's hop before making the real call.
#include <sys/socket.h>

#include "address_text.hh"
#include "call_frame.hh"
#include "coverage.hh"
#include "echo_round_trip.hh"
#include "full_routing.hh"
#include "hop_socket.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "relay_connect.hh"
#include "relay_datagram.hh"
#include "route_line.hh"
#include "route_table.hh"
#include "trace.hh"

namespace {

// Makes a round trip of the entry with its exchange held, unless the send it
// stands before would be refused for want of room: that send delays nothing,
// so its round trip is not made.
template <typename RoundTrip>
void bounce(rtbl_ent &entry, int s, int flags, RoundTrip round_trip)
{
    if (send_would_block(s, flags)) {
        return;
    }
    held_exchange exclusive(entry.exchange);
    round_trip();
}

// The classic round trip of a send of the program's len bytes over link:
// TCPecho or UDPecho, by the route's protocol.
void bounce_bytes(rtbl_ent &entry, hop_link link, int s, int flags, const char *data, size_t len)
{
    bounce(entry, s, flags, [&] { bounce_payload(link, entry.protocol, {data}, len, flags); });
}

// The message header behind an application pointer, or false when it cannot
// be read (the real call then fails with EFAULT).
bool message_header(const struct msghdr *msg, msghdr &header)
{
    return msg != nullptr && read_from_program(msg, header);
}

// The classic routing of sendto: by destination, over the route's hop
// socket, or for a UDP route without one over the route's own datagram socket.
void classic_sendto(int s, const void *msg, size_t len, int flags, const struct sockaddr *to, socklen_t tolen)
{
    rtbl_ent *entry = to != nullptr ? get_rtbl_ent(to, static_cast<int>(tolen)) : nullptr;
    trace_debug("sendto() \t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry == nullptr) {
        return;
    }
    const char *data = static_cast<const char *>(msg);
    bool has_hop_socket = route_hop_socket(*entry) != 0;
    if (entry->protocol == protocol_tcp) {
        trace_debug("sendto()\t:\tTCP \n");
        if (has_hop_socket) {
            bounce_bytes(*entry, route_hop_link(*entry), s, flags, data, len);
        }
    } else if (entry->protocol == protocol_udp) {
        trace_debug("sendto()\t:\tUDP \n");
        trace_debug(has_hop_socket ? "sendto()\t:\ts1!=0\n" : "sendto()\t:\ts1=0\n");
        bounce_bytes(*entry, has_hop_socket ? route_hop_link(*entry) : route_datagram_link(*entry), s, flags,
                     data, len);
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    auto real = [&] { return real_calls().connect(s, name, namelen); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    if (const rtbl_ent *route = path_model() ? relayed_route(s, name, namelen) : nullptr) {  // path model
        trace_debug("connect()\t:\ts=%d name=%s namelen=%d \n", s,
                    program_address_text(name, static_cast<int>(namelen)), static_cast<int>(namelen));
        int result = frame.real([&] { return relayed_connect(s, name, namelen, *route); });
        trace("connect()\t:\treturn value = %d\n", result);
        return result;
    }
    if (full_coverage()) {
        bind_connecting_socket(s, name, namelen);
    } else if (rtbl_ent *entry = name != nullptr ? get_rtbl_ent(name, static_cast<int>(namelen)) : nullptr) {
        bind_route(*entry, s);
    } else {
        trace_debug("connect()\t:\tTable entry not found\n");
    }
    trace_debug("connect()\t:\ts=%d name=%s namelen=%d \n", s,
                program_address_text(name, static_cast<int>(namelen)), static_cast<int>(namelen));
    int result = frame.real(real);
    trace("connect()\t:\treturn value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t send(int s, const void *msg, size_t len, int flags)
{
    auto real = [&] { return real_calls().send(s, msg, len, flags); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("send()\t\t:\ts=%d msg=0x%lx len=%zd flags=%d\n", s, pointer_value(msg), static_cast<ssize_t>(len),
          flags);
    if (path_model() && relay_datagram(s, msg, len, nullptr, 0)) {  // path model
        trace("send()\t\t:\treturn value = %zd\n", static_cast<ssize_t>(len));
        return static_cast<ssize_t>(len);
    }
    if (full_coverage()) {
        full_round_trip(s, nullptr, 0, len, flags, {static_cast<const char *>(msg)});
    } else if (rtbl_ent *entry = get_sock_ent(s)) {
        if (entry->protocol == protocol_tcp) {
            trace_debug("send() \t:\tTCP \n");
        } else if (entry->protocol == protocol_udp) {
            trace_debug("send()\t\t:\tUDP \n");
        }
        if (entry->protocol != protocol_none && route_hop_socket(*entry) != 0) {
            bounce_bytes(*entry, route_hop_link(*entry), s, flags, static_cast<const char *>(msg), len);
        }
    }
    ssize_t result = frame.real(real);
    trace("send()\t\t:\treturn value = %zd\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t sendto(int s, const void *msg, size_t len, int flags,
                                                      const struct sockaddr *to, socklen_t tolen)
{
    auto real = [&] { return real_calls().sendto(s, msg, len, flags, to, tolen); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    if (path_model() && relay_datagram(s, msg, len, to, tolen)) {  // path model
        trace("sendto()\t:\treturn value = %zd\n", static_cast<ssize_t>(len));
        return static_cast<ssize_t>(len);
    }
    if (full_coverage()) {
        full_round_trip(s, to, tolen, len, flags, {static_cast<const char *>(msg)});
    } else {
        classic_sendto(s, msg, len, flags, to, tolen);
    }
    ssize_t result = frame.real(real);
    trace_debug("sendto()\t:\tReturning from sendto\n");
    trace("sendto()\t:\treturn value = %zd\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t sendmsg(int s, const struct msghdr *msg, int flags)
{
    auto real = [&] { return real_calls().sendmsg(s, msg, flags); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("sendmsg()\t:\ts=%d msg=0x%lx flags=%d\n ", s, pointer_value(msg), flags);
    msghdr header;
    if (full_coverage()) {
        size_t total;
        socket_binding *binding =
            message_header(msg, header)
                ? send_binding(s, static_cast<const sockaddr *>(header.msg_name), header.msg_namelen)
                : nullptr;
        if (binding != nullptr && vector_length(header.msg_iov, header.msg_iovlen, total)) {
            bounce_on(*binding, s, total, flags, {nullptr, header.msg_iov, header.msg_iovlen});
        }
        ssize_t result = frame.real(real);
        trace("sendmsg()\t:\treturn value = %zd\n", result);
        return result;
    }
    rtbl_ent *entry = message_header(msg, header) && header.msg_name != nullptr
                          ? get_rtbl_ent(static_cast<const sockaddr *>(header.msg_name),
                                         static_cast<int>(header.msg_namelen))
                          : nullptr;
    if (entry != nullptr) {
        bool has_hop_socket = route_hop_socket(*entry) != 0;
        if (entry->protocol == protocol_tcp) {
            trace_debug("sendmsg()\t:\tTCP \n");
            if (has_hop_socket) {
                bounce(*entry, s, flags, [&] {
                    hop_link link = route_hop_link(*entry);
                    stream_message_round_trip(link, header, flags);
                });
            }
        } else if (entry->protocol == protocol_udp) {
            trace_debug("sendmsg()\t:\t UDP \n");
            bounce(*entry, s, flags, [&] {
                hop_link link = has_hop_socket ? route_hop_link(*entry) : route_datagram_link(*entry);
                datagram_message_round_trip(link, header, flags);
            });
        }
    }
    ssize_t result = frame.real(real);
    trace("sendmsg()\t:\treturn value = %zd\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t write(int descriptor, const void *data, size_t count)
{
    auto real = [&] { return real_calls().write(descriptor, data, count); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace_debug("write()\t:\twrite called\n");
    if (full_coverage()) {
        full_round_trip(descriptor, nullptr, 0, count, 0, {static_cast<const char *>(data)});
        return frame.real(real);
    }
    rtbl_ent *entry = get_sock_ent(descriptor);
    trace_debug("write()\t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry != nullptr && route_hop_socket(*entry) != 0) {
        trace_debug("write()\t:\ts1=%d\n", route_hop_socket(*entry));
        const char *bytes = static_cast<const char *>(data);
        if (entry->protocol == protocol_tcp) {
            bounce(*entry, descriptor, 0, [&] {
                hop_link link = route_hop_link(*entry);
                TCPecho(link, echo_source::program_bytes(bytes), count);
            });
        } else if (entry->protocol == protocol_udp) {
            bounce(*entry, descriptor, 0, [&] {
                hop_link link = route_hop_link(*entry);
                UDPecho1(link, echo_source::program_bytes(bytes), count);
            });
        }
    }
    return frame.real(real);
}

}  // extern "C"
