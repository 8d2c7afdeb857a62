// What a notified system call asks for, read from its number and arguments
// alone: which descriptor, where its address or data lie in the program's
// memory, how many bytes. The program's memory is read later, and only when
// the call turns out to matter.
#pragma once

#include <linux/seccomp.h>

#include <cstdint>

enum class call_kind {
    connect,      // fd, address, address_length
    sendto,       // fd, data, length, flags, address, address_length (address 0: none)
    sendmsg,      // fd, message (a msghdr), flags
    sendmmsg,     // fd, message (an array of mmsghdr), count, flags
    write,        // fd, data, length
    writev,       // fd, data (an iovec array), count
    sendfile,     // fd (out), in_fd, offset_pointer, length
    close,        // fd
    close_range,  // fd (first) to last
    replaced,     // dup2/dup3: fd (the new descriptor) now names another file
    exec,         // execve/execveat: descriptors marked close-on-exec go
    ring_setup,   // io_uring_setup: what goes through the ring is never seen
    other,
};

struct notified_call {
    call_kind kind = call_kind::other;
    int fd = -1;
    std::uint64_t data = 0;
    std::uint64_t length = 0;
    std::uint64_t count = 0;
    int flags = 0;
    std::uint64_t address = 0;
    std::uint32_t address_length = 0;
    int in_fd = -1;
    std::uint64_t offset_pointer = 0;
    unsigned last = 0;  // close_range's last descriptor
};

// Decodes the arguments of an x86_64 system call.
notified_call decode_call(const seccomp_data &data);
