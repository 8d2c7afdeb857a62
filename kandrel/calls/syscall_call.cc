// The exported syscall(2): programs (libuv's, for one) reach the socket
// calls through it by number. With full coverage, the numbers of the calls
// the library interposes go to the library's own definitions, traced and
// routed like the named calls; every other number, and every number in the
// classic behaviour, goes straight to the system with its six arguments as
// given.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdarg>
#include <type_traits>

#include "call_frame.hh"
#include "real_calls.hh"
#include "routing_policy.hh"

namespace {

template <typename T>
T as(long argument)
{
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(argument);
    } else {
        return static_cast<T>(argument);
    }
}

}  // namespace

extern "C" KANDREL_EXPORTED long syscall(long number, ...)
{
    va_list arguments;
    va_start(arguments, number);
    long a[6];
    for (long &argument : a) {
        argument = va_arg(arguments, long);
    }
    va_end(arguments);
    if (!routing().traces_added_calls) {
        return real_calls().syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    switch (number) {
    case SYS_sendto:
        return sendto(as<int>(a[0]), as<const void *>(a[1]), as<size_t>(a[2]), as<int>(a[3]),
                      as<const sockaddr *>(a[4]), as<socklen_t>(a[5]));
    case SYS_sendmsg:
        return sendmsg(as<int>(a[0]), as<const msghdr *>(a[1]), as<int>(a[2]));
    case SYS_sendmmsg:
        return sendmmsg(as<int>(a[0]), as<mmsghdr *>(a[1]), as<unsigned>(a[2]), as<int>(a[3]));
    case SYS_write:
        return write(as<int>(a[0]), as<const void *>(a[1]), as<size_t>(a[2]));
    case SYS_writev:
        return writev(as<int>(a[0]), as<const iovec *>(a[1]), as<int>(a[2]));
    case SYS_connect:
        return connect(as<int>(a[0]), as<const sockaddr *>(a[1]), as<socklen_t>(a[2]));
    case SYS_close:
        return close(as<int>(a[0]));
    case SYS_execve:
        return execve(as<const char *>(a[0]), as<char *const *>(a[1]), as<char *const *>(a[2]));
    case SYS_close_range:
        return close_range(as<unsigned>(a[0]), as<unsigned>(a[1]), as<int>(a[2]));
    case SYS_dup:
        return dup(as<int>(a[0]));
    case SYS_dup2:
        return dup2(as<int>(a[0]), as<int>(a[1]));
    case SYS_dup3:
        return dup3(as<int>(a[0]), as<int>(a[1]), as<int>(a[2]));
    default:
        return real_calls().syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
}
