// The interposed calls that only trace and pass through: each writes its
// lines around the system's own call and returns that call's result.
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "address_text.hh"
#include "call_frame.hh"
#include "coverage.hh"
#include "descriptor_events.hh"
#include "full_routing.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "relayed_sockets.hh"
#include "route_table.hh"
#include "symbolic_names.hh"
#include "trace.hh"

extern "C" {
ssize_t __read_chk(int, void *, size_t, size_t);
ssize_t __recv_chk(int, void *, size_t, size_t, int);
ssize_t __recvfrom_chk(int, void *, size_t, size_t, int, struct sockaddr *, socklen_t *);
}

namespace {

// A number read through an application pointer, or the stand-in for a null
// or unreadable one.
struct pointed_value_text {
    char text[16];
};

template <typename Integer>
pointed_value_text value_or_null(const Integer *pointer)
{
    pointed_value_text result;
    Integer value;
    if (pointer == nullptr) {
        std::snprintf(result.text, sizeof result.text, "%s", null_pointer_text);
    } else if (!read_from_program(pointer, value)) {
        std::snprintf(result.text, sizeof result.text, "%s", unreadable_text);
    } else {
        std::snprintf(result.text, sizeof result.text, "%d", static_cast<int>(value));
    }
    return result;
}

// The value behind an application's length pointer, 0 when there is none.
socklen_t length_or_zero(const socklen_t *pointer)
{
    socklen_t value = 0;
    return pointer != nullptr && read_from_program(pointer, value) ? value : 0;
}

// The address text of a value-result buffer after the call. The kernel
// reports the full length of the address even when it did not fit, so only
// the bytes the buffer really has are read.
const char *returned_address(const struct sockaddr *buffer, socklen_t length_before,
                             const socklen_t *length_after)
{
    if (buffer == nullptr || length_after == nullptr) {
        return null_pointer_text;
    }
    socklen_t readable =
        std::min<socklen_t>({length_before, length_or_zero(length_after), sizeof(sockaddr_storage)});
    program_address copy{};
    if (!copy_from_program(copy.bytes, buffer, readable)) {
        return unreadable_text;
    }
    return get_address(copy.address(), static_cast<int>(readable));
}

// The shutdown how texts, by how.
const char *how_text(int how, char (&unknown)[32])
{
    static constexpr const char *texts[] = {
        "further receives disallowed",
        "further sends disallowed",
        "further sends and receives disallowed",
    };
    if (how >= 0 && how < 3) {
        return texts[how];
    }
    std::snprintf(unknown, sizeof unknown, "HOW_UNKNOWN(%d)", how);
    return unknown;
}

// The name of a socket type; Linux's creation flags are not part of it.
const char *type_name(int type)
{
    return int2name(kind_type, type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC));
}

// getpeername and getsockname share their lines but for the name.
template <typename RealCall>
int traced_name_query(const char *call_name, int s, struct sockaddr *name, socklen_t *namelen,
                      RealCall real_call)
{
    auto real = [&] { return real_call(s, name, namelen); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    socklen_t length_before = length_or_zero(namelen);
    trace("%s()\t:\ts=%d *namelen=%s = ", call_name, s, value_or_null(namelen).text);
    int result = frame.real(real);
    trace("%d(name=%s *namelen=%s)\n", result, returned_address(name, length_before, namelen),
          value_or_null(namelen).text);
    return result;
}

// accept and, with full coverage, accept4: their lines, and the binding of a
// socket whose peer is routed.
template <typename RealCall>
int traced_accept(const char *call_name, int s, struct sockaddr *addr, socklen_t *addrlen, RealCall real)
{
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    socklen_t length_before = length_or_zero(addrlen);
    trace("%s()\t:\ts=%d *addrlen=%s)\n", call_name, s, value_or_null(addrlen).text);
    int result = frame.real(real);
    note_descriptor_opened(result);
    if (full_coverage()) {
        bind_accepted_socket(result);
    }
    trace("%s()\t:\t%d(addr=<%s>,*addrlen=%s)\n", call_name, result,
          returned_address(addr, length_before, addrlen), value_or_null(addrlen).text);
    return result;
}

template <typename RealCall>
ssize_t traced_recv(int s, void *buf, size_t len, int flags, RealCall real_call)
{
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real_call);
    }
    trace("recv()\t:\ts=%d buf=0x%lx len=%zd flags=%d = ", s, pointer_value(buf), static_cast<ssize_t>(len),
          flags);
    ssize_t result = frame.real(real_call);
    trace("%zd\n", result);
    return result;
}

template <typename RealCall>
ssize_t traced_recvfrom(RealCall real_call)
{
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real_call);
    }
    trace_debug("recvfrom()\t:\tRecvfrom called\n");
    ssize_t result = frame.real(real_call);
    trace_debug("recvfrom()\t:\tReturning from recvfrom\n");
    return result;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol)
{
    auto real = [&] { return real_calls().socket(domain, type, protocol); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    load_routes_once();
    trace("socket()\t:\tfamily=%s type=%s protocol=%s\n", int2name(kind_family, domain), type_name(type),
          int2name(kind_protocol, protocol));
    int result = frame.real(real);
    note_descriptor_opened(result);
    trace("socket()\t:\tsocket value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) int socketpair(int domain, int type, int protocol, int sv[2])
{
    auto real = [&] { return real_calls().socketpair(domain, type, protocol, sv); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("socketpair()\t:\tdomain=%s type=%s protocol=%s \n", int2name(kind_family, domain), type_name(type),
          int2name(kind_protocol, protocol));
    int result = frame.real(real);
    if (result == 0) {
        note_descriptor_opened(sv[0]);
        note_descriptor_opened(sv[1]);
    }
    trace("socketpair()\t:\tvalues are %d(sv[0]=%s sv[1]=%s)\n", result, value_or_null(sv).text,
          value_or_null(sv != nullptr ? sv + 1 : nullptr).text);
    return result;
}

__attribute__((visibility("default"))) int listen(int s, int backlog)
{
    auto real = [&] { return real_calls().listen(s, backlog); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("listen()\t:\ts=%d backlog=%d \n ", s, backlog);
    int result = frame.real(real);
    trace("listen()\t:\treturn value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) int shutdown(int s, int how)
{
    auto real = [&] { return real_calls().shutdown(s, how); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    char unknown_how[32];
    trace("shutdown()\t:\ts=%d how=%s\n ", s, how_text(how, unknown_how));
    int result = frame.real(real);
    trace("shutdown(0\t:\treturn value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) int getsockopt(int s, int level, int optname, void *optval,
                                                      socklen_t *optlen)
{
    auto real = [&] { return real_calls().getsockopt(s, level, optname, optval, optlen); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("getsockopt()\t:\ts=%d level=%s optname=%s optval=0x%lx *optlen=%s\n", s, opt_level(level),
          opt_name(level, optname), pointer_value(optval), value_or_null(optlen).text);
    int result = frame.real(real);
    trace("getsockopt()\t:\treturn value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) int setsockopt(int s, int level, int optname, const void *optval,
                                                      socklen_t optlen)
{
    auto real = [&] { return real_calls().setsockopt(s, level, optname, optval, optlen); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("setsockopt()\t:\ts=%d level=%s optname=%s optval=0x%lx optlen=%d\n ", s, opt_level(level),
          opt_name(level, optname), pointer_value(optval), static_cast<int>(optlen));
    int result = frame.real(real);
    trace("setsockopt()\t:\treturn value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) int bind(int s, const struct sockaddr *name, socklen_t namelen)
{
    auto real = [&] { return real_calls().bind(s, name, namelen); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("bind()\t\t:\ts=%d name=%s namelen=%d\n", s, program_address_text(name, static_cast<int>(namelen)),
          static_cast<int>(namelen));
    int result = frame.real(real);
    trace("bind()\t\t:\treturn value = %d\n", result);
    return result;
}

__attribute__((visibility("default"))) int accept(int s, struct sockaddr *addr, socklen_t *addrlen)
{
    return traced_accept("accept", s, addr, addrlen, [&] { return real_calls().accept(s, addr, addrlen); });
}

// Traced with full coverage only: the classic trace has no line for it.
__attribute__((visibility("default"))) int accept4(int s, struct sockaddr *addr, socklen_t *addrlen,
                                                   int flags)
{
    auto real = [&] { return real_calls().accept4(s, addr, addrlen, flags); };
    if (full_coverage()) {
        return traced_accept("accept4", s, addr, addrlen, real);
    }
    call_frame frame;
    int result = frame.real(real);
    if (!frame.nested()) {
        note_descriptor_opened(result);
    }
    return result;
}

__attribute__((visibility("default"))) int getpeername(int s, struct sockaddr *name, socklen_t *namelen)
{
    // The path model reports a relayed socket's real destination.
    return traced_name_query("getpeername", s, name, namelen,
                             path_model() ? relayed_getpeername : real_calls().getpeername);
}

__attribute__((visibility("default"))) int getsockname(int s, struct sockaddr *name, socklen_t *namelen)
{
    return traced_name_query("getsockname", s, name, namelen, real_calls().getsockname);
}

__attribute__((visibility("default"))) ssize_t recv(int s, void *buf, size_t len, int flags)
{
    return traced_recv(s, buf, len, flags, [&] { return real_calls().recv(s, buf, len, flags); });
}

__attribute__((visibility("default"))) ssize_t __recv_chk(int s, void *buf, size_t len, size_t buflen,
                                                          int flags)
{
    return traced_recv(s, buf, len, flags, [&] { return real_calls().recv_chk(s, buf, len, buflen, flags); });
}

__attribute__((visibility("default"))) ssize_t recvfrom(int s, void *buf, size_t len, int flags,
                                                        struct sockaddr *from, socklen_t *fromlen)
{
    return traced_recvfrom([&] { return real_calls().recvfrom(s, buf, len, flags, from, fromlen); });
}

__attribute__((visibility("default"))) ssize_t __recvfrom_chk(int s, void *buf, size_t len, size_t buflen,
                                                              int flags, struct sockaddr *from,
                                                              socklen_t *fromlen)
{
    return traced_recvfrom(
        [&] { return real_calls().recvfrom_chk(s, buf, len, buflen, flags, from, fromlen); });
}

__attribute__((visibility("default"))) ssize_t recvmsg(int s, struct msghdr *msg, int flags)
{
    auto real = [&] { return real_calls().recvmsg(s, msg, flags); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    trace("recvmsg()\t:\ts=%d msg=0x%lx flags=%d = ", s, pointer_value(msg), flags);
    ssize_t result = frame.real(real);
    trace("%zd\n", result);
    return result;
}

__attribute__((visibility("default"))) int close(int descriptor)
{
    auto real = [&] { return real_calls().close(descriptor); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    int result = frame.real(real);
    // Linux frees the number whatever close reports, but for a number that
    // was not open.
    if (descriptor >= 0) {
        descriptors_closed(static_cast<unsigned>(descriptor), static_cast<unsigned>(descriptor));
    }
    trace("close()\t\t:\t%d\n", result);
    return result;
}

__attribute__((visibility("default"))) int select(int nfds, fd_set *readfds, fd_set *writefds,
                                                  fd_set *exceptfds, struct timeval *timeout)
{
    auto real = [&] { return real_calls().select(nfds, readfds, writefds, exceptfds, timeout); };
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    int result = frame.real(real);
    trace("select()\t:\t%d\n", result);
    return result;
}

// read only passes through: it is the hottest call and carries no addresses.
__attribute__((visibility("default"))) ssize_t read(int descriptor, void *buffer, size_t count)
{
    return real_calls().read(descriptor, buffer, count);
}

__attribute__((visibility("default"))) ssize_t __read_chk(int descriptor, void *buffer, size_t count,
                                                          size_t buffer_size)
{
    return real_calls().read_chk(descriptor, buffer, count, buffer_size);
}

}  // extern "C"
