// The exported calls that end or move descriptors: close traces its result;
// the others have no trace line of their own. All keep the standard-stream
// guard and the routing policy's bindings in step with the application's
// descriptors.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>

#include "call_frame.hh"
#include "descriptor_events.hh"
#include "owned_descriptor.hh"
#include "real_calls.hh"
#include "routing_policy.hh"
#include "trace.hh"

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
    if (in_vfork_child()) {
        return;
    }
    note_descriptor_replaced(descriptor);
    routing().descriptors_ended(static_cast<unsigned>(descriptor), static_cast<unsigned>(descriptor));
}

void descriptors_closed(unsigned first, unsigned last)
{
    // A child of vfork closes its own descriptors, not its parent's, though
    // the bookkeeping it sees is the parent's.
    if (in_vfork_child()) {
        return;
    }
    for (unsigned descriptor = STDOUT_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (descriptor >= first && descriptor <= last) {
            note_descriptor_closed(static_cast<int>(descriptor));
        }
    }
    routing().descriptors_ended(first, last);
}

extern "C" {

KANDREL_EXPORTED int close(int descriptor)
{
    auto real = [&] { return real_calls().close(descriptor); };
    return interposed(real, [&](call_frame &frame) {
        routing().before_close(descriptor);
        int result = frame.real(real);
        // Linux frees the number whatever close reports, but for a number
        // that was not open.
        if (descriptor >= 0) {
            descriptors_closed(static_cast<unsigned>(descriptor), static_cast<unsigned>(descriptor));
        }
        trace("close()\t\t:\t%d\n", result);
        return result;
    });
}

KANDREL_EXPORTED int dup(int oldfd)
{
    call_frame frame;
    int result = frame.real([&] { return real_calls().dup(oldfd); });
    if (!frame.nested() && result >= 0) {
        descriptor_replaced(result);
    }
    return result;
}

KANDREL_EXPORTED int dup2(int oldfd, int newfd)
{
    return replacing(newfd, [&] { return real_calls().dup2(oldfd, newfd); });
}

KANDREL_EXPORTED int dup3(int oldfd, int newfd, int flags)
{
    return replacing(newfd, [&] { return real_calls().dup3(oldfd, newfd, flags); });
}

KANDREL_EXPORTED int fcntl(int descriptor, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    int result = forwarded_fcntl(real_calls().fcntl, descriptor, command, arguments);
    va_end(arguments);
    return result;
}

KANDREL_EXPORTED int fcntl64(int descriptor, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    int result = forwarded_fcntl(real_calls().fcntl64, descriptor, command, arguments);
    va_end(arguments);
    return result;
}

KANDREL_EXPORTED int close_range(unsigned int first, unsigned int last, int flags)
{
    call_frame frame;
    int result = frame.real([&] { return real_calls().close_range(first, last, flags); });
    if (!frame.nested() && result == 0 && !(flags & CLOSE_RANGE_CLOEXEC)) {
        descriptors_closed(first, last);
    }
    return result;
}

KANDREL_EXPORTED void closefrom(int lowfd)
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
