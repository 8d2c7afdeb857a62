// Send paths that only full coverage traces and bounces: writev, sendfile,
// sendmmsg and splice. In the classic behaviour they pass straight through,
// as they always did.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "call_frame.hh"
#include "coverage.hh"
#include "full_routing.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "trace.hh"

namespace {

// Runs traced(frame) with full coverage outside the library; otherwise only
// the real call.
template <typename RealCall, typename Traced>
auto covered(RealCall real, Traced traced)
{
    call_frame frame;
    if (frame.nested() || !full_coverage()) {
        return frame.real(real);
    }
    return traced(frame);
}

// The bytes a sendfile from a regular file can move: no more than are left
// after the offset, so a call at the end of the file (how programs learn
// they are done) delays nothing.
template <typename Offset>
size_t sendfile_length(int in_fd, const Offset *offset, size_t count)
{
    struct stat status;
    Offset from;
    if (fstat(in_fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return count;
    }
    if (offset != nullptr ? !read_from_program(offset, from) : (from = lseek64(in_fd, 0, SEEK_CUR)) < 0) {
        return count;
    }
    Offset left = status.st_size > from ? status.st_size - from : 0;
    return static_cast<size_t>(left) < count ? static_cast<size_t>(left) : count;
}

// sendfile and sendfile64 differ only in the offset's type.
template <typename Offset, typename RealCall>
ssize_t traced_sendfile(int out_fd, int in_fd, const Offset *offset, size_t count, RealCall real)
{
    return covered(real, [&](call_frame &frame) {
        trace("sendfile()\t:\tout=%d in=%d count=%zd\n", out_fd, in_fd, static_cast<ssize_t>(count));
        if (socket_binding *binding = send_binding(out_fd, nullptr, 0)) {
            size_t length = sendfile_length(in_fd, offset, count);
            if (length != 0) {
                bounce_on(*binding, out_fd, length, 0, {});
            }
        }
        ssize_t result = frame.real(real);
        trace("sendfile()\t:\treturn value = %zd\n", result);
        return result;
    });
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ssize_t writev(int fd, const struct iovec *iov, int iovcnt)
{
    auto real = [&] { return real_calls().writev(fd, iov, iovcnt); };
    return covered(real, [&](call_frame &frame) {
        trace("writev()\t:\ts=%d iov=0x%lx iovcnt=%d\n", fd, pointer_value(iov), iovcnt);
        size_t total;
        socket_binding *binding = send_binding(fd, nullptr, 0);
        if (binding != nullptr && iovcnt >= 0 && vector_length(iov, static_cast<size_t>(iovcnt), total)) {
            bounce_on(*binding, fd, total, 0, {nullptr, iov, static_cast<size_t>(iovcnt)});
        }
        ssize_t result = frame.real(real);
        trace("writev()\t:\treturn value = %zd\n", result);
        return result;
    });
}

__attribute__((visibility("default"))) ssize_t sendfile(int out_fd, int in_fd, off_t *offset, size_t count)
{
    return traced_sendfile(out_fd, in_fd, offset, count,
                           [&] { return real_calls().sendfile(out_fd, in_fd, offset, count); });
}

__attribute__((visibility("default"))) ssize_t sendfile64(int out_fd, int in_fd, off64_t *offset,
                                                          size_t count)
{
    return traced_sendfile(out_fd, in_fd, offset, count,
                           [&] { return real_calls().sendfile64(out_fd, in_fd, offset, count); });
}

// Each message makes its own round trip, to its own destination if it names one.
__attribute__((visibility("default"))) int sendmmsg(int s, struct mmsghdr *msgvec, unsigned int vlen,
                                                    int flags)
{
    auto real = [&] { return real_calls().sendmmsg(s, msgvec, vlen, flags); };
    return covered(real, [&](call_frame &frame) {
        trace("sendmmsg()\t:\ts=%d msgvec=0x%lx vlen=%u flags=%d\n", s, pointer_value(msgvec), vlen, flags);
        for (unsigned int i = 0; i < vlen && i < UIO_MAXIOV; ++i) {
            mmsghdr message;
            if (!read_from_program(msgvec + i, message)) {
                break;
            }
            const msghdr &header = message.msg_hdr;
            socket_binding *binding =
                send_binding(s, static_cast<const sockaddr *>(header.msg_name), header.msg_namelen);
            size_t total;
            if (binding == nullptr) {
                continue;
            }
            if (!vector_length(header.msg_iov, header.msg_iovlen, total)) {
                break;
            }
            bounce_on(*binding, s, total, flags, {nullptr, header.msg_iov, header.msg_iovlen});
        }
        int result = frame.real(real);
        trace("sendmmsg()\t:\treturn value = %d\n", result);
        return result;
    });
}

__attribute__((visibility("default"))) ssize_t splice(int fd_in, off64_t *off_in, int fd_out,
                                                      off64_t *off_out, size_t len, unsigned int flags)
{
    auto real = [&] { return real_calls().splice(fd_in, off_in, fd_out, off_out, len, flags); };
    return covered(real, [&](call_frame &frame) {
        trace("splice()\t:\tin=%d out=%d len=%zd flags=%u\n", fd_in, fd_out, static_cast<ssize_t>(len),
              flags);
        full_round_trip(fd_out, nullptr, 0, len, (flags & SPLICE_F_NONBLOCK) ? MSG_DONTWAIT : 0, {});
        ssize_t result = frame.real(real);
        trace("splice()\t:\treturn value = %zd\n", result);
        return result;
    });
}

}  // extern "C"
