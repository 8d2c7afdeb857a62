// The exported sending calls: each traces, lets the routing policy bounce
// the send off its route's hop, then makes the real call. writev, sendfile,
// sendmmsg and splice are traced and routed only by a policy that covers
// them; otherwise they pass straight through.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "call_frame.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "routing_policy.hh"
#include "trace.hh"

namespace {

// The frame of a call only some policies trace and route.
template <typename RealCall, typename Traced>
auto added_call(RealCall real, Traced traced)
{
    call_frame frame;
    if (frame.nested() || !routing().traces_added_calls) {
        return frame.real(real);
    }
    return traced(frame);
}

// A send whose data is one buffer of len bytes.
send_payload bytes_of(const void *data, size_t len)
{
    return {.bytes = static_cast<const char *>(data), .count = len};
}

// A send whose data is a message's vector.
send_payload vector_of(const msghdr &header)
{
    return {.vector = header.msg_iov, .vector_length = header.msg_iovlen};
}

// A message of sendmsg or sendmmsg as a send.
outgoing_send message_send(send_call call, int s, const msghdr &header, int flags)
{
    return {call,
            s,
            static_cast<const sockaddr *>(header.msg_name),
            header.msg_namelen,
            flags,
            vector_of(header),
            header.msg_controllen != 0};
}

// The length of a send the policy carries whole, or -1: the real call is
// to be made.
ssize_t carried_length(const outgoing_send &send)
{
    size_t length = 0;
    return routing().carried_send(send, length) ? static_cast<ssize_t>(length) : -1;
}

template <typename Offset, typename RealCall>
ssize_t traced_sendfile(int out_fd, int in_fd, Offset *offset, size_t count, RealCall real)
{
    static_assert(sizeof(Offset) == sizeof(off64_t));
    return added_call(real, [&](call_frame &frame) {
        trace("sendfile()\t:\tout=%d in=%d count=%zd\n", out_fd, in_fd, static_cast<ssize_t>(count));
        send_payload file{
            .file = in_fd, .file_offset = reinterpret_cast<const off64_t *>(offset), .count = count};
        routing().before_send({send_call::sendfile, out_fd, nullptr, 0, 0, file});
        ssize_t result = frame.real(real);
        trace("sendfile()\t:\treturn value = %zd\n", result);
        return result;
    });
}

}  // namespace

extern "C" {

KANDREL_EXPORTED ssize_t send(int s, const void *msg, size_t len, int flags)
{
    auto real = [&] { return real_calls().send(s, msg, len, flags); };
    return interposed(real, [&](call_frame &frame) {
        trace("send()\t\t:\ts=%d msg=0x%lx len=%zd flags=%d\n", s, pointer_value(msg),
              static_cast<ssize_t>(len), flags);
        const outgoing_send sent{send_call::send, s, nullptr, 0, flags, bytes_of(msg, len)};
        ssize_t result = carried_length(sent);
        if (result < 0) {
            routing().before_send(sent);
            result = frame.real(real);
        }
        trace("send()\t\t:\treturn value = %zd\n", result);
        return result;
    });
}

KANDREL_EXPORTED ssize_t sendto(int s, const void *msg, size_t len, int flags, const struct sockaddr *to,
                                socklen_t tolen)
{
    auto real = [&] { return real_calls().sendto(s, msg, len, flags, to, tolen); };
    return interposed(real, [&](call_frame &frame) {
        const outgoing_send sent{send_call::sendto, s, to, tolen, flags, bytes_of(msg, len)};
        if (ssize_t carried = carried_length(sent); carried >= 0) {
            trace("sendto()\t:\treturn value = %zd\n", carried);
            return carried;
        }
        routing().before_send(sent);
        ssize_t result = frame.real(real);
        trace_debug("sendto()\t:\tReturning from sendto\n");
        trace("sendto()\t:\treturn value = %zd\n", result);
        return result;
    });
}

KANDREL_EXPORTED ssize_t sendmsg(int s, const struct msghdr *msg, int flags)
{
    auto real = [&] { return real_calls().sendmsg(s, msg, flags); };
    return interposed(real, [&](call_frame &frame) {
        trace("sendmsg()\t:\ts=%d msg=0x%lx flags=%d\n ", s, pointer_value(msg), flags);
        // An unreadable header fails the real call with EFAULT; nothing is routed.
        msghdr header;
        ssize_t result = -1;
        if (msg != nullptr && read_from_program(msg, header)) {
            const outgoing_send sent = message_send(send_call::sendmsg, s, header, flags);
            result = carried_length(sent);
            if (result < 0) {
                routing().before_send(sent);
            }
        }
        if (result < 0) {
            result = frame.real(real);
        }
        trace("sendmsg()\t:\treturn value = %zd\n", result);
        return result;
    });
}

KANDREL_EXPORTED ssize_t write(int descriptor, const void *data, size_t count)
{
    auto real = [&] { return real_calls().write(descriptor, data, count); };
    return interposed(real, [&](call_frame &frame) {
        trace_debug("write()\t:\twrite called\n");
        const outgoing_send sent{send_call::write, descriptor, nullptr, 0, 0, bytes_of(data, count)};
        if (ssize_t carried = carried_length(sent); carried >= 0) {
            return carried;
        }
        routing().before_send(sent);
        return frame.real(real);
    });
}

KANDREL_EXPORTED ssize_t writev(int fd, const struct iovec *iov, int iovcnt)
{
    auto real = [&] { return real_calls().writev(fd, iov, iovcnt); };
    return added_call(real, [&](call_frame &frame) {
        trace("writev()\t:\ts=%d iov=0x%lx iovcnt=%d\n", fd, pointer_value(iov), iovcnt);
        // A negative count reads as more pieces than the system takes.
        send_payload vector{.vector = iov, .vector_length = static_cast<size_t>(iovcnt)};
        const outgoing_send sent{send_call::writev, fd, nullptr, 0, 0, vector};
        ssize_t result = carried_length(sent);
        if (result < 0) {
            routing().before_send(sent);
            result = frame.real(real);
        }
        trace("writev()\t:\treturn value = %zd\n", result);
        return result;
    });
}

KANDREL_EXPORTED ssize_t sendfile(int out_fd, int in_fd, off_t *offset, size_t count)
{
    return traced_sendfile(out_fd, in_fd, offset, count,
                           [&] { return real_calls().sendfile(out_fd, in_fd, offset, count); });
}

KANDREL_EXPORTED ssize_t sendfile64(int out_fd, int in_fd, off64_t *offset, size_t count)
{
    return traced_sendfile(out_fd, in_fd, offset, count,
                           [&] { return real_calls().sendfile64(out_fd, in_fd, offset, count); });
}

// The first messages the policy carries whole are taken; each of the
// others makes its own round trip, to its own destination if it names one,
// before the real call sends them. An unreadable message ends the routing,
// as it ends the real call.
KANDREL_EXPORTED int sendmmsg(int s, struct mmsghdr *msgvec, unsigned int vlen, int flags)
{
    auto real = [&] { return real_calls().sendmmsg(s, msgvec, vlen, flags); };
    return added_call(real, [&](call_frame &frame) {
        trace("sendmmsg()\t:\ts=%d msgvec=0x%lx vlen=%u flags=%d\n", s, pointer_value(msgvec), vlen, flags);
        const unsigned int most = vlen < UIO_MAXIOV ? vlen : UIO_MAXIOV;
        unsigned int carried = 0;
        for (mmsghdr message; carried < most && read_from_program(msgvec + carried, message); ++carried) {
            ssize_t length = carried_length(message_send(send_call::sendmmsg, s, message.msg_hdr, flags));
            auto sent = static_cast<unsigned int>(length);
            if (length < 0 || !copy_to_program(&msgvec[carried].msg_len, &sent, sizeof sent)) {
                break;
            }
        }
        int result = static_cast<int>(carried);
        if (carried < most || vlen == 0) {
            for (unsigned int i = carried; i < most; ++i) {
                mmsghdr message;
                if (!read_from_program(msgvec + i, message) ||
                    !routing().before_send(message_send(send_call::sendmmsg, s, message.msg_hdr, flags))) {
                    break;
                }
            }
            int rest =
                frame.real([&] { return real_calls().sendmmsg(s, msgvec + carried, vlen - carried, flags); });
            // As the system does: messages already sent are counted, and an
            // error after them is left for the next call.
            result = rest >= 0 ? result + rest : (carried > 0 ? result : rest);
        }
        trace("sendmmsg()\t:\treturn value = %d\n", result);
        return result;
    });
}

KANDREL_EXPORTED ssize_t splice(int fd_in, off64_t *off_in, int fd_out, off64_t *off_out, size_t len,
                                unsigned int flags)
{
    auto real = [&] { return real_calls().splice(fd_in, off_in, fd_out, off_out, len, flags); };
    return added_call(real, [&](call_frame &frame) {
        trace("splice()\t:\tin=%d out=%d len=%zd flags=%u\n", fd_in, fd_out, static_cast<ssize_t>(len),
              flags);
        int send_flags = (flags & SPLICE_F_NONBLOCK) ? MSG_DONTWAIT : 0;
        routing().before_send({send_call::splice, fd_out, nullptr, 0, send_flags, {.count = len}});
        ssize_t result = frame.real(real);
        trace("splice()\t:\treturn value = %zd\n", result);
        return result;
    });
}

}  // extern "C"
