// The interposed calls that may send through a hop first: connect binds a
// route to the application's socket, and the sending calls bounce the
// caller's bytes off the route's hop before making the real call.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include "address_text.hh"
#include "call_frame.hh"
#include "echo_round_trip.hh"
#include "hop_socket.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "route_table.hh"
#include "trace.hh"

namespace {

// Whether the system would refuse the application's send on s at once with
// EAGAIN: the socket or the call does not block and s has no room now.
bool send_would_block(int s, int flags)
{
    int status = real_calls().fcntl(s, F_GETFL);
    if (!(flags & MSG_DONTWAIT) && (status < 0 || !(status & O_NONBLOCK))) {
        return false;
    }
    pollfd watch{s, POLLOUT, 0};
    return poll(&watch, 1, 0) == 0;
}

// Makes a round trip of the entry with its exchange held, unless the send it
// stands before would be refused for want of room: that send delays nothing,
// so its round trip is not made.
template <typename RoundTrip>
void bounce(rtbl_ent &entry, int s, int flags, RoundTrip round_trip)
{
    if (send_would_block(s, flags)) {
        return;
    }
    route_exchange exclusive(entry);
    round_trip();
}

// The message header behind an application pointer, or false when it cannot
// be read (the real call then fails with EFAULT).
bool message_header(const struct msghdr *msg, msghdr &header)
{
    return msg != nullptr && read_from_program(msg, header);
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
    rtbl_ent *entry = name != nullptr ? get_rtbl_ent(name, static_cast<int>(namelen)) : nullptr;
    if (entry == nullptr) {
        trace_debug("connect()\t:\tTable entry not found\n");
    } else {
        bind_route(*entry, s);
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
    if (rtbl_ent *entry = get_sock_ent(s)) {
        const char *data = static_cast<const char *>(msg);
        bool has_hop_socket = route_hop_socket(*entry) != 0;
        if (entry->protocol == protocol_tcp) {
            trace_debug("send() \t:\tTCP \n");
            if (has_hop_socket) {
                bounce(*entry, s, flags, [&] {
                    hop_link link = route_hop_link(*entry);
                    TCPecho(link, data, len);
                });
            }
        } else if (entry->protocol == protocol_udp) {
            trace_debug("send()\t\t:\tUDP \n");
            if (has_hop_socket) {
                bounce(*entry, s, flags, [&] {
                    hop_link link = route_hop_link(*entry);
                    UDPecho(link, data, len, flags);
                });
            }
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
    rtbl_ent *entry = to != nullptr ? get_rtbl_ent(to, static_cast<int>(tolen)) : nullptr;
    trace_debug("sendto() \t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry != nullptr) {
        const char *data = static_cast<const char *>(msg);
        bool has_hop_socket = route_hop_socket(*entry) != 0;
        if (entry->protocol == protocol_tcp) {
            trace_debug("sendto()\t:\tTCP \n");
            if (has_hop_socket) {
                bounce(*entry, s, flags, [&] {
                    hop_link link = route_hop_link(*entry);
                    TCPecho(link, data, len);
                });
            }
        } else if (entry->protocol == protocol_udp) {
            trace_debug("sendto()\t:\tUDP \n");
            trace_debug(has_hop_socket ? "sendto()\t:\ts1!=0\n" : "sendto()\t:\ts1=0\n");
            bounce(*entry, s, flags, [&] {
                hop_link link = has_hop_socket ? route_hop_link(*entry) : route_datagram_link(*entry);
                UDPecho(link, data, len, flags);
            });
        }
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
    rtbl_ent *entry = get_sock_ent(descriptor);
    trace_debug("write()\t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry != nullptr && route_hop_socket(*entry) != 0) {
        trace_debug("write()\t:\ts1=%d\n", route_hop_socket(*entry));
        const char *bytes = static_cast<const char *>(data);
        if (entry->protocol == protocol_tcp) {
            bounce(*entry, descriptor, 0, [&] {
                hop_link link = route_hop_link(*entry);
                TCPecho(link, bytes, count);
            });
        } else if (entry->protocol == protocol_udp) {
            bounce(*entry, descriptor, 0, [&] {
                hop_link link = route_hop_link(*entry);
                UDPecho1(link, bytes, count);
            });
        }
    }
    return frame.real(real);
}

}  // extern "C"
