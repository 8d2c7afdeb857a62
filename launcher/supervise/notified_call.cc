// Decoding a notified call's arguments by its number.
#include "notified_call.hh"

#include <sys/syscall.h>

namespace {

int descriptor(std::uint64_t argument)
{
    // Descriptors are ints; the kernel reads the low half of the register.
    return static_cast<int>(static_cast<std::uint32_t>(argument));
}

}  // namespace

notified_call decode_call(const seccomp_data &data)
{
    const auto *args = data.args;
    notified_call call;
    switch (data.nr) {
    case SYS_connect:
        call = {.kind = call_kind::connect, .fd = descriptor(args[0]), .address = args[1]};
        call.address_length = static_cast<std::uint32_t>(args[2]);
        break;
    case SYS_sendto:
        call = {.kind = call_kind::sendto, .fd = descriptor(args[0]), .data = args[1], .length = args[2]};
        call.flags = static_cast<int>(args[3]);
        call.address = args[4];
        call.address_length = static_cast<std::uint32_t>(args[5]);
        break;
    case SYS_sendmsg:
        call = {.kind = call_kind::sendmsg, .fd = descriptor(args[0]), .data = args[1]};
        call.flags = static_cast<int>(args[2]);
        break;
    case SYS_sendmmsg:
        call = {.kind = call_kind::sendmmsg, .fd = descriptor(args[0]), .data = args[1]};
        call.count = static_cast<std::uint32_t>(args[2]);
        call.flags = static_cast<int>(args[3]);
        break;
    case SYS_write:
        call = {.kind = call_kind::write, .fd = descriptor(args[0]), .data = args[1], .length = args[2]};
        break;
    case SYS_writev:
        call = {.kind = call_kind::writev, .fd = descriptor(args[0]), .data = args[1]};
        call.count = static_cast<std::uint64_t>(static_cast<int>(args[2]));
        break;
    case SYS_sendfile:
        call = {.kind = call_kind::sendfile, .fd = descriptor(args[0]), .length = args[3]};
        call.in_fd = descriptor(args[1]);
        call.offset_pointer = args[2];
        break;
    case SYS_close:
        call = {.kind = call_kind::close, .fd = descriptor(args[0])};
        break;
    case SYS_close_range:
        call = {.kind = call_kind::close_range, .fd = descriptor(args[0])};
        call.last = static_cast<unsigned>(args[1]);
        break;
    case SYS_dup2:
    case SYS_dup3:
        call = {.kind = call_kind::replaced, .fd = descriptor(args[1])};
        break;
    case SYS_execve:
    case SYS_execveat:
        call.kind = call_kind::exec;
        break;
    case SYS_io_uring_setup:
        call.kind = call_kind::ring_setup;
        break;
    default:
        break;
    }
    return call;
}
