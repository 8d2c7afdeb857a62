// Fault-safe reads and writes of the application's memory.
#include "program_memory.hh"

#include <netinet/in.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include "address_text.hh"
#include "coverage.hh"

bool copy_from_program(void *to, const void *from, std::size_t length)
{
    if (length == 0) {
        return true;
    }
    if (from == nullptr) {
        return false;
    }
    // The kernel reads the bytes on the library's behalf and reports a bad
    // address as an error, where a plain copy would fault.
    iovec local{to, length};
    iovec remote{const_cast<void *>(from), length};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(length);
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
    return full_coverage() ? get_address_with_ipv6(copy.address(), length)
                           : get_address(copy.address(), length);
}
