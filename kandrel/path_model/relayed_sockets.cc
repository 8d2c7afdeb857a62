// The table of relayed sockets: a fixed array, claimed and released with
// atomics, so that threads, fork (the child inherits it with the sockets)
// and signal handlers need no lock.
#include "relayed_sockets.hh"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "loopback_address.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "relay_connect.hh"

namespace {

constexpr int free_slot = -1;
constexpr int busy_slot = -2;

struct relayed_socket {
    int fd;
    relayed_names names;
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

bool remembered(int s, relayed_names &names)
{
    if (!__atomic_load_n(&table_ready, __ATOMIC_ACQUIRE)) {
        return false;
    }
    for (relayed_socket &slot : table) {
        if (__atomic_load_n(&slot.fd, __ATOMIC_ACQUIRE) == s) {
            names = slot.names;
            return true;
        }
    }
    return false;
}

// Whether s is connected to the loopback address the relay listens on, as
// every relayed socket is.
bool connected_to_loopback(int s)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    return real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&peer), &length) == 0 &&
           is_loopback_address(peer);
}

// Gives the program the known name in place of what the kernel gave.
void give_name(const sockaddr_in6 &known, socklen_t known_length, socklen_t room, struct sockaddr *name,
               socklen_t *namelen)
{
    copy_to_program(name, &known, std::min(room, known_length));
    copy_to_program(namelen, &known_length, sizeof known_length);
}

}  // namespace

void remember_relayed_socket(int s, const relayed_names &names)
{
    prepare_table();
    forget_relayed_sockets(static_cast<unsigned>(s), static_cast<unsigned>(s));
    for (relayed_socket &slot : table) {
        int expected = free_slot;
        if (__atomic_compare_exchange_n(&slot.fd, &expected, busy_slot, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED)) {
            slot.names = names;
            __atomic_store_n(&slot.fd, s, __ATOMIC_RELEASE);
            return;
        }
    }
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

bool find_relayed_socket(int s, relayed_names &names)
{
    if (remembered(s, names) && names.local_length != 0) {
        return true;
    }
    // The relay knows the local address once its connection is made; a
    // socket it does not know is not relayed.
    if ((names.destination_length != 0 || connected_to_loopback(s)) && ask_relay_about(s, names)) {
        remember_relayed_socket(s, names);
        return true;
    }
    return names.destination_length != 0;
}

int relayed_getpeername(int s, struct sockaddr *name, socklen_t *namelen)
{
    socklen_t room = 0;
    bool readable = namelen != nullptr && read_from_program(namelen, room);
    // The kernel checks the pointers and gives the result and errno.
    int result = real_calls().getpeername(s, name, namelen);
    relayed_names names{};
    if (result == 0 && readable && find_relayed_socket(s, names)) {
        give_name(names.destination, names.destination_length, room, name, namelen);
    }
    return result;
}

int relayed_getsockname(int s, struct sockaddr *name, socklen_t *namelen)
{
    socklen_t room = 0;
    bool readable = namelen != nullptr && read_from_program(namelen, room);
    int result = real_calls().getsockname(s, name, namelen);
    relayed_names names{};
    if (result == 0 && readable && find_relayed_socket(s, names) && names.local_length != 0) {
        give_name(names.local, names.local_length, room, name, namelen);
    }
    return result;
}
