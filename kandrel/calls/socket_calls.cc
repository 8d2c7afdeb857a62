// The exported calls that make, name and shape sockets: each traces its
// lines around the system's own call; connect and accept also let the
// routing policy bind the socket to a route.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "address_text.hh"
#include "call_frame.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "route_table.hh"
#include "routing_policy.hh"
#include "symbolic_names.hh"
#include "trace.hh"

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
    return interposed(real, [&](call_frame &frame) {
        socklen_t length_before = length_or_zero(namelen);
        trace("%s()\t:\ts=%d *namelen=%s = ", call_name, s, value_or_null(namelen).text);
        int result = frame.real(real);
        trace("%d(name=%s *namelen=%s)\n", result, returned_address(name, length_before, namelen),
              value_or_null(namelen).text);
        return result;
    });
}

// A call that makes a descriptor: made once more when it found none free
// and the routing policy gave some of the library's own back, so the library
// never costs the program a descriptor it needs.
template <typename RealCall>
int making_descriptor(call_frame &frame, RealCall real)
{
    int result = frame.real(real);
    if (result < 0 && errno == EMFILE && routing().gives_back_descriptors()) {
        result = frame.real(real);
    }
    return result;
}

// accept and, where the policy traces it, accept4: their lines, and what
// the routing policy does with the accepted socket.
template <typename RealCall>
int traced_accept(const char *call_name, int s, struct sockaddr *addr, socklen_t *addrlen, RealCall real)
{
    return interposed(real, [&](call_frame &frame) {
        socklen_t length_before = length_or_zero(addrlen);
        trace("%s()\t:\ts=%d *addrlen=%s)\n", call_name, s, value_or_null(addrlen).text);
        int result = making_descriptor(frame, real);
        note_descriptor_opened(result);
        routing().after_accept(result);
        trace("%s()\t:\t%d(addr=<%s>,*addrlen=%s)\n", call_name, result,
              returned_address(addr, length_before, addrlen), value_or_null(addrlen).text);
        return result;
    });
}

}  // namespace

extern "C" {

KANDREL_EXPORTED int socket(int domain, int type, int protocol)
{
    auto real = [&] { return real_calls().socket(domain, type, protocol); };
    return interposed(real, [&](call_frame &frame) {
        load_routes_once();
        trace("socket()\t:\tfamily=%s type=%s protocol=%s\n", int2name(kind_family, domain), type_name(type),
              int2name(kind_protocol, protocol));
        int result = making_descriptor(frame, real);
        note_descriptor_opened(result);
        trace("socket()\t:\tsocket value = %d\n", result);
        return result;
    });
}

KANDREL_EXPORTED int socketpair(int domain, int type, int protocol, int sv[2])
{
    auto real = [&] { return real_calls().socketpair(domain, type, protocol, sv); };
    return interposed(real, [&](call_frame &frame) {
        trace("socketpair()\t:\tdomain=%s type=%s protocol=%s \n", int2name(kind_family, domain),
              type_name(type), int2name(kind_protocol, protocol));
        int result = frame.real(real);
        if (result == 0) {
            note_descriptor_opened(sv[0]);
            note_descriptor_opened(sv[1]);
        }
        trace("socketpair()\t:\tvalues are %d(sv[0]=%s sv[1]=%s)\n", result, value_or_null(sv).text,
              value_or_null(sv != nullptr ? sv + 1 : nullptr).text);
        return result;
    });
}

KANDREL_EXPORTED int listen(int s, int backlog)
{
    auto real = [&] { return real_calls().listen(s, backlog); };
    return interposed(real, [&](call_frame &frame) {
        trace("listen()\t:\ts=%d backlog=%d \n ", s, backlog);
        int result = frame.real(real);
        trace("listen()\t:\treturn value = %d\n", result);
        return result;
    });
}

KANDREL_EXPORTED int shutdown(int s, int how)
{
    auto real = [&] { return real_calls().shutdown(s, how); };
    return interposed(real, [&](call_frame &frame) {
        char unknown_how[32];
        trace("shutdown()\t:\ts=%d how=%s\n ", s, how_text(how, unknown_how));
        int result = frame.real(real);
        trace("shutdown(0\t:\treturn value = %d\n", result);
        return result;
    });
}

KANDREL_EXPORTED int getsockopt(int s, int level, int optname, void *optval, socklen_t *optlen)
{
    auto real = [&] { return real_calls().getsockopt(s, level, optname, optval, optlen); };
    return interposed(real, [&](call_frame &frame) {
        trace("getsockopt()\t:\ts=%d level=%s optname=%s optval=0x%lx *optlen=%s\n", s, opt_level(level),
              opt_name(level, optname), pointer_value(optval), value_or_null(optlen).text);
        int result = frame.real(real);
        trace("getsockopt()\t:\treturn value = %d\n", result);
        return result;
    });
}

KANDREL_EXPORTED int setsockopt(int s, int level, int optname, const void *optval, socklen_t optlen)
{
    auto real = [&] { return real_calls().setsockopt(s, level, optname, optval, optlen); };
    return interposed(real, [&](call_frame &frame) {
        trace("setsockopt()\t:\ts=%d level=%s optname=%s optval=0x%lx optlen=%d\n ", s, opt_level(level),
              opt_name(level, optname), pointer_value(optval), static_cast<int>(optlen));
        int result = frame.real(real);
        if (result == 0) {
            routing().after_option(s, level, optname);
        }
        trace("setsockopt()\t:\treturn value = %d\n", result);
        return result;
    });
}

KANDREL_EXPORTED int bind(int s, const struct sockaddr *name, socklen_t namelen)
{
    auto real = [&] { return real_calls().bind(s, name, namelen); };
    return interposed(real, [&](call_frame &frame) {
        trace("bind()\t\t:\ts=%d name=%s namelen=%d\n", s,
              program_address_text(name, static_cast<int>(namelen)), static_cast<int>(namelen));
        int result = frame.real(real);
        trace("bind()\t\t:\treturn value = %d\n", result);
        return result;
    });
}

KANDREL_EXPORTED int accept(int s, struct sockaddr *addr, socklen_t *addrlen)
{
    return traced_accept("accept", s, addr, addrlen, [&] { return real_calls().accept(s, addr, addrlen); });
}

// Traced only by a policy that traces the calls beyond the classic set.
KANDREL_EXPORTED int accept4(int s, struct sockaddr *addr, socklen_t *addrlen, int flags)
{
    auto real = [&] { return real_calls().accept4(s, addr, addrlen, flags); };
    if (routing().traces_added_calls) {
        return traced_accept("accept4", s, addr, addrlen, real);
    }
    call_frame frame;
    int result = frame.nested() ? frame.real(real) : making_descriptor(frame, real);
    if (!frame.nested()) {
        note_descriptor_opened(result);
    }
    return result;
}

KANDREL_EXPORTED int getpeername(int s, struct sockaddr *name, socklen_t *namelen)
{
    return traced_name_query("getpeername", s, name, namelen, routing().peer_name);
}

KANDREL_EXPORTED int getsockname(int s, struct sockaddr *name, socklen_t *namelen)
{
    return traced_name_query("getsockname", s, name, namelen, routing().local_name);
}

KANDREL_EXPORTED int connect(int s, const struct sockaddr *name, socklen_t namelen)
{
    auto real = [&] { return real_calls().connect(s, name, namelen); };
    return interposed(real, [&](call_frame &frame) {
        const routing_policy &policy = routing();
        bool carried = policy.carries_connect(s, name, namelen);
        if (!carried) {
            policy.before_connect(s, name, namelen);
        }
        trace_debug("connect()\t:\ts=%d name=%s namelen=%d \n", s,
                    program_address_text(name, static_cast<int>(namelen)), static_cast<int>(namelen));
        int result =
            carried ? frame.real([&] { return policy.carried_connect(s, name, namelen); }) : frame.real(real);
        trace("connect()\t:\treturn value = %d\n", result);
        return result;
    });
}

}  // extern "C"
