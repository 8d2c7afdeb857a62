// The interposed calls that may send through a hop first: connect binds a
// route to the application's socket, and the sending calls bounce the
// caller's bytes off the route's hop before making the real call.
#include <poll.h>
#include <sys/socket.h>

#include "address_text.hh"
#include "echo_round_trip.hh"
#include "hop_socket.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "route_table.hh"
#include "trace.hh"

namespace {

const sockaddr *hop_of(const rtbl_ent &entry)
{
    return reinterpret_cast<const sockaddr *>(&entry.hop);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    preserved_errno saved;
    rtbl_ent *entry = name != nullptr ? get_rtbl_ent(name, static_cast<int>(namelen)) : nullptr;
    if (entry == nullptr) {
        trace_debug("connect()\t:\tTable entry not found\n");
    } else {
        bind_route(*entry, s);
    }
    trace_debug("connect()\t:\ts=%d name=%s namelen=%d \n", s, get_address(name, static_cast<int>(namelen)),
                static_cast<int>(namelen));
    int result = saved.real([&] { return real_calls().connect(s, name, namelen); });
    trace("connect()\t:\treturn value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t send(int s, const void *msg, size_t len, int flags)
{
    preserved_errno saved;
    trace("send()\t\t:\ts=%d msg=0x%lx len=%zd flags=%d\n", s, pointer_value(msg), static_cast<ssize_t>(len),
          flags);
    if (rtbl_ent *entry = get_sock_ent(s)) {
        int hop_socket = route_hop_socket(*entry);
        if (entry->protocol == protocol_tcp) {
            trace_debug("send() \t:\tTCP \n");
            if (hop_socket != 0) {
                TCPecho(hop_socket, static_cast<const char *>(msg), len);
            }
        } else if (entry->protocol == protocol_udp) {
            trace_debug("send()\t\t:\tUDP \n");
            if (hop_socket != 0) {
                UDPecho(hop_socket, static_cast<const char *>(msg), len, flags, hop_of(*entry),
                        hop_address_length);
            }
        }
    }
    ssize_t result = saved.real([&] { return real_calls().send(s, msg, len, flags); });
    trace("send()\t\t:\treturn value = %zd\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t sendto(int s, const void *msg, size_t len, int flags,
                                                      const struct sockaddr *to, socklen_t tolen)
{
    preserved_errno saved;
    rtbl_ent *entry = to != nullptr ? get_rtbl_ent(to, static_cast<int>(tolen)) : nullptr;
    trace_debug("sendto() \t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry != nullptr) {
        int hop_socket = route_hop_socket(*entry);
        const char *data = static_cast<const char *>(msg);
        if (entry->protocol == protocol_tcp) {
            trace_debug("sendto()\t:\tTCP \n");
            if (hop_socket != 0) {
                TCPecho(hop_socket, data, len);
            }
        } else if (entry->protocol == protocol_udp) {
            trace_debug("sendto()\t:\tUDP \n");
            if (hop_socket != 0) {
                trace_debug("sendto()\t:\ts1!=0\n");
                UDPecho(hop_socket, data, len, flags, hop_of(*entry), hop_address_length);
            } else {
                trace_debug("sendto()\t:\ts1=0\n");
                UDPecho(s, data, len, flags, hop_of(*entry), hop_address_length);
            }
        }
    }
    ssize_t result = saved.real([&] { return real_calls().sendto(s, msg, len, flags, to, tolen); });
    trace_debug("sendto()\t:\tReturning from sendto\n");
    trace("sendto()\t:\treturn value = %zd\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t sendmsg(int s, const struct msghdr *msg, int flags)
{
    preserved_errno saved;
    trace("sendmsg()\t:\ts=%d msg=0x%lx flags=%d\n ", s, pointer_value(msg), flags);
    rtbl_ent *entry = msg != nullptr && msg->msg_name != nullptr
                          ? get_rtbl_ent(static_cast<const sockaddr *>(msg->msg_name),
                                         static_cast<int>(msg->msg_namelen))
                          : nullptr;
    if (entry != nullptr) {
        int hop_socket = route_hop_socket(*entry);
        if (entry->protocol == protocol_tcp) {
            trace_debug("sendmsg()\t:\tTCP \n");
            if (hop_socket != 0) {
                stream_message_round_trip(hop_socket, *msg, flags);
            }
        } else if (entry->protocol == protocol_udp) {
            trace_debug("sendmsg()\t:\t UDP \n");
            datagram_message_round_trip(hop_socket != 0 ? hop_socket : s, *msg, flags, hop_of(*entry),
                                        hop_address_length);
        }
    }
    ssize_t result = saved.real([&] { return real_calls().sendmsg(s, msg, flags); });
    trace("sendmsg()\t:\treturn value = %zd\n", result);
    return result;
}

__attribute__((visibility("default"))) ssize_t write(int descriptor, const void *data, size_t count)
{
    preserved_errno saved;
    trace_debug("write()\t:\twrite called\n");
    rtbl_ent *entry = get_sock_ent(descriptor);
    trace_debug("write()\t:\trtbl_ptr=%lx\n", pointer_value(entry));
    if (entry != nullptr) {
        int hop_socket = route_hop_socket(*entry);
        if (hop_socket != 0) {
            trace_debug("write()\t:\ts1=%d\n", hop_socket);
            if (entry->protocol == protocol_tcp) {
                TCPecho(hop_socket, static_cast<const char *>(data), count);
            } else if (entry->protocol == protocol_udp) {
                UDPecho1(hop_socket, static_cast<const char *>(data), count);
            }
        }
    }
    return saved.real([&] { return real_calls().write(descriptor, data, count); });
}

}  // extern "C"
