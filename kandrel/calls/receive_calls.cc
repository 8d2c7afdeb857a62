// The exported receiving calls: recv and recvmsg trace their lines around
// the system's own call, recvfrom only its debug lines, select its result;
// read passes straight through.
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "call_frame.hh"
#include "real_calls.hh"
#include "trace.hh"

namespace {

template <typename RealCall>
ssize_t traced_recv(int s, void *buf, size_t len, int flags, RealCall real_call)
{
    return interposed(real_call, [&](call_frame &frame) {
        trace("recv()\t:\ts=%d buf=0x%lx len=%zd flags=%d = ", s, pointer_value(buf),
              static_cast<ssize_t>(len), flags);
        ssize_t result = frame.real(real_call);
        trace("%zd\n", result);
        return result;
    });
}

template <typename RealCall>
ssize_t traced_recvfrom(RealCall real_call)
{
    return interposed(real_call, [&](call_frame &frame) {
        trace_debug("recvfrom()\t:\tRecvfrom called\n");
        ssize_t result = frame.real(real_call);
        trace_debug("recvfrom()\t:\tReturning from recvfrom\n");
        return result;
    });
}

}  // namespace

extern "C" {

KANDREL_EXPORTED ssize_t recv(int s, void *buf, size_t len, int flags)
{
    return traced_recv(s, buf, len, flags, [&] { return real_calls().recv(s, buf, len, flags); });
}

KANDREL_EXPORTED ssize_t __recv_chk(int s, void *buf, size_t len, size_t buflen, int flags)
{
    return traced_recv(s, buf, len, flags, [&] { return real_calls().recv_chk(s, buf, len, buflen, flags); });
}

KANDREL_EXPORTED ssize_t recvfrom(int s, void *buf, size_t len, int flags, struct sockaddr *from,
                                  socklen_t *fromlen)
{
    return traced_recvfrom([&] { return real_calls().recvfrom(s, buf, len, flags, from, fromlen); });
}

KANDREL_EXPORTED ssize_t __recvfrom_chk(int s, void *buf, size_t len, size_t buflen, int flags,
                                        struct sockaddr *from, socklen_t *fromlen)
{
    return traced_recvfrom(
        [&] { return real_calls().recvfrom_chk(s, buf, len, buflen, flags, from, fromlen); });
}

KANDREL_EXPORTED ssize_t recvmsg(int s, struct msghdr *msg, int flags)
{
    auto real = [&] { return real_calls().recvmsg(s, msg, flags); };
    return interposed(real, [&](call_frame &frame) {
        trace("recvmsg()\t:\ts=%d msg=0x%lx flags=%d = ", s, pointer_value(msg), flags);
        ssize_t result = frame.real(real);
        trace("%zd\n", result);
        return result;
    });
}

KANDREL_EXPORTED int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                            struct timeval *timeout)
{
    auto real = [&] { return real_calls().select(nfds, readfds, writefds, exceptfds, timeout); };
    return interposed(real, [&](call_frame &frame) {
        int result = frame.real(real);
        trace("select()\t:\t%d\n", result);
        return result;
    });
}

// read only passes through: it is the hottest call and carries no addresses.
KANDREL_EXPORTED ssize_t read(int descriptor, void *buffer, size_t count)
{
    return real_calls().read(descriptor, buffer, count);
}

KANDREL_EXPORTED ssize_t __read_chk(int descriptor, void *buffer, size_t count, size_t buffer_size)
{
    return real_calls().read_chk(descriptor, buffer, count, buffer_size);
}

}  // extern "C"
