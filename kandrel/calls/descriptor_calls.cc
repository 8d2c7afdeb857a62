// Interposed calls that end or move descriptors without a trace line of
// their own: they keep the standard-stream guard and the route bindings in
// step with the application's descriptors.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>

#include "call_frame.hh"
#include "descriptor_events.hh"
#include "real_calls.hh"
#include "relayed_sockets.hh"
#include "route_table.hh"
#include "socket_bindings.hh"
#include "trace.hh"

extern "C" {
int fcntl64(int, int, ...);
}

namespace {

// fcntl's third argument, whatever its type: every command takes an int, a
// pointer or nothing, and each travels in one register.
template <typename RealFcntl>
int forwarded_fcntl(RealFcntl real_fcntl, int descriptor, int command, va_list arguments)
{
    void *argument = va_arg(arguments, void *);
    call_frame frame;
    int result = frame.real([&] { return real_fcntl(descriptor, command, argument); });
    if (!frame.nested() && result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
        descriptor_replaced(result);
    }
    return result;
}

// dup2 and dup3 replace whatever newfd was.
template <typename RealCall>
int replacing(int newfd, RealCall real_call)
{
    call_frame frame;
    int result = frame.real(real_call);
    if (!frame.nested() && result >= 0) {
        descriptor_replaced(newfd);
    }
    return result;
}

}  // namespace

void descriptor_replaced(int descriptor)
{
    note_descriptor_replaced(descriptor);
    end_route_bindings(static_cast<unsigned>(descriptor), static_cast<unsigned>(descriptor));
    end_socket_bindings(static_cast<unsigned>(descriptor), static_cast<unsigned>(descriptor));
    forget_relayed_sockets(static_cast<unsigned>(descriptor),
                           static_cast<unsigned>(descriptor));  // path model
}

void descriptors_closed(unsigned first, unsigned last)
{
    for (unsigned descriptor = STDOUT_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (descriptor >= first && descriptor <= last) {
            note_descriptor_closed(static_cast<int>(descriptor));
        }
    }
    end_route_bindings(first, last);
    end_socket_bindings(first, last);
    forget_relayed_sockets(first, last);  // path model
}

extern "C" {

__attribute__((visibility("default"))) int dup(int oldfd)
{
    call_frame frame;
    int result = frame.real([&] { return real_calls().dup(oldfd); });
    if (!frame.nested() && result >= 0) {
        descriptor_replaced(result);
    }
    return result;
}

__attribute__((visibility("default"))) int dup2(int oldfd, int newfd)
{
    return replacing(newfd, [&] { return real_calls().dup2(oldfd, newfd); });
}

__attribute__((visibility("default"))) int dup3(int oldfd, int newfd, int flags)
{
    return replacing(newfd, [&] { return real_calls().dup3(oldfd, newfd, flags); });
}

__attribute__((visibility("default"))) int fcntl(int descriptor, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    int result = forwarded_fcntl(real_calls().fcntl, descriptor, command, arguments);
    va_end(arguments);
    return result;
}

__attribute__((visibility("default"))) int fcntl64(int descriptor, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    int result = forwarded_fcntl(real_calls().fcntl64, descriptor, command, arguments);
    va_end(arguments);
    return result;
}

__attribute__((visibility("default"))) int close_range(unsigned int first, unsigned int last, int flags)
{
    call_frame frame;
    int result = frame.real([&] { return real_calls().close_range(first, last, flags); });
    if (!frame.nested() && result == 0 && !(flags & CLOSE_RANGE_CLOEXEC)) {
        descriptors_closed(first, last);
    }
    return result;
}

__attribute__((visibility("default"))) void closefrom(int lowfd)
{
    call_frame frame;
    frame.real([&] {
        real_calls().closefrom(lowfd);
        return 0;
    });
    if (!frame.nested() && lowfd >= 0) {
        descriptors_closed(static_cast<unsigned>(lowfd), ~0u);
    }
}

}  // extern "C"
