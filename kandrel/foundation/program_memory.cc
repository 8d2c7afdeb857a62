// Fault-safe reads and writes of the application's memory.
#include "program_memory.hh"

#include <netinet/in.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "address_text.hh"
#include "routing_policy.hh"
#include "trace.hh"

namespace {

// Set once process_vm_readv has been refused (a sandbox's seccomp filter,
// a kernel without it): the library then reads the program's memory itself.
bool reading_directly = false;

}  // namespace

bool copy_from_program(void *to, const void *from, std::size_t length)
{
    if (length == 0) {
        return true;
    }
    if (from == nullptr) {
        return false;
    }
    if (!__atomic_load_n(&reading_directly, __ATOMIC_RELAXED)) {
        // The kernel reads the bytes on the library's behalf and reports a
        // bad address as an error, where a plain copy would fault.
        iovec local{to, length};
        iovec remote{const_cast<void *>(from), length};
        ssize_t copied = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
        if (copied >= 0 || (errno != EPERM && errno != ENOSYS)) {
            return copied == static_cast<ssize_t>(length);
        }
        if (!__atomic_exchange_n(&reading_directly, true, __ATOMIC_RELAXED)) {
            trace(
                "copy_from_program()\t:\tprocess_vm_readv refused (%s): the program's memory is read directly, "
                "and a bad pointer may now crash it\n",
                strerrordesc_np(errno));
        }
    }
    std::memcpy(to, from, length);
    return true;
}

bool copy_to_program(void *to, const void *from, std::size_t length)
{
    if (length == 0) {
        return true;
    }
    iovec local{const_cast<void *>(from), length};
    iovec remote{to, length};
    return to != nullptr &&
           process_vm_writev(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(length);
}

int copy_program_address(program_address &into, const struct sockaddr *name, int length)
{
    into = program_address{};
    int given = std::clamp(length, 0, static_cast<int>(sizeof into.bytes));
    int wanted = std::max(given, static_cast<int>(sizeof(sockaddr_in)));
    for (int size : {wanted, given}) {
        if (copy_from_program(into.bytes, name, static_cast<std::size_t>(size))) {
            return size;
        }
    }
    return -1;
}

const char *program_address_text(const struct sockaddr *name, int length)
{
    if (name == nullptr) {
        return get_address(nullptr, length);
    }
    program_address copy;
    if (copy_program_address(copy, name, length) < 0) {
        return unreadable_text;
    }
    return routing().shows_ipv6_addresses ? get_address_with_ipv6(copy.address(), length)
                                          : get_address(copy.address(), length);
}
