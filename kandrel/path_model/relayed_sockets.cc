// The table of relayed sockets: a fixed array, claimed and released with
// atomics, so that threads, fork (the child inherits it with the sockets)
// and signal handlers need no lock.
#include "relayed_sockets.hh"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "program_memory.hh"
#include "real_calls.hh"

namespace {

constexpr int free_slot = -1;
constexpr int busy_slot = -2;

struct relayed_socket {
    int fd;
    socklen_t length;
    sockaddr_in6 destination;  // large enough for either family
};

relayed_socket table[relayed_socket_capacity];
bool table_ready = false;

void prepare_table()
{
    if (__atomic_load_n(&table_ready, __ATOMIC_ACQUIRE)) {
        return;
    }
    for (relayed_socket &slot : table) {
        int expected = 0;
        __atomic_compare_exchange_n(&slot.fd, &expected, free_slot, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_RELAXED);
    }
    __atomic_store_n(&table_ready, true, __ATOMIC_RELEASE);
}

}  // namespace

void remember_relayed_socket(int s, const struct sockaddr *destination, socklen_t length)
{
    prepare_table();
    forget_relayed_sockets(static_cast<unsigned>(s), static_cast<unsigned>(s));
    length = std::min<socklen_t>(length, sizeof(sockaddr_in6));
    for (relayed_socket &slot : table) {
        int expected = free_slot;
        if (__atomic_compare_exchange_n(&slot.fd, &expected, busy_slot, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED)) {
            std::memcpy(&slot.destination, destination, length);
            slot.length = length;
            __atomic_store_n(&slot.fd, s, __ATOMIC_RELEASE);
            return;
        }
    }
}

bool is_relayed_socket(int s)
{
    if (!__atomic_load_n(&table_ready, __ATOMIC_ACQUIRE)) {
        return false;
    }
    for (relayed_socket &slot : table) {
        if (__atomic_load_n(&slot.fd, __ATOMIC_ACQUIRE) == s) {
            return true;
        }
    }
    return false;
}

void forget_relayed_sockets(unsigned first, unsigned last)
{
    if (!__atomic_load_n(&table_ready, __ATOMIC_ACQUIRE)) {
        return;
    }
    for (relayed_socket &slot : table) {
        int fd = __atomic_load_n(&slot.fd, __ATOMIC_ACQUIRE);
        if (fd >= 0 && static_cast<unsigned>(fd) >= first && static_cast<unsigned>(fd) <= last) {
            __atomic_compare_exchange_n(&slot.fd, &fd, free_slot, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
        }
    }
}

int relayed_getpeername(int s, struct sockaddr *name, socklen_t *namelen)
{
    socklen_t room = 0;
    bool readable = namelen != nullptr && read_from_program(namelen, room);
    // The kernel checks the pointers and gives the result and errno.
    int result = real_calls().getpeername(s, name, namelen);
    if (result != 0 || !readable || !__atomic_load_n(&table_ready, __ATOMIC_ACQUIRE)) {
        return result;
    }
    for (relayed_socket &slot : table) {
        if (__atomic_load_n(&slot.fd, __ATOMIC_ACQUIRE) == s) {
            copy_to_program(name, &slot.destination, std::min(room, slot.length));
            copy_to_program(namelen, &slot.length, sizeof slot.length);
            break;
        }
    }
    return result;
}
