// The table of bound program sockets: pages of bindings mapped on first use,
// indexed by descriptor number.
#include "socket_bindings.hh"

#include <sys/mman.h>

#include <cstddef>

#include "route_line.hh"

namespace {

constexpr unsigned page_bits = 10;
constexpr unsigned bindings_per_page = 1u << page_bits;
constexpr unsigned page_count = 1024;  // descriptor numbers below about a million

socket_binding *pages[page_count];
pthread_once_t fork_handler_once = PTHREAD_ONCE_INIT;

// A child of fork starts with the locks as the forking thread saw them: one
// another thread held then would never be released in the child. Its hop
// sockets are its parent's, and are replaced on first use.
void reset_locks_in_child()
{
    for (socket_binding *page : pages) {
        for (unsigned i = 0; page != nullptr && i < bindings_per_page; ++i) {
            pthread_mutex_init(&page[i].exchange, nullptr);
        }
    }
}

void register_fork_handler()
{
    pthread_atfork(nullptr, nullptr, reset_locks_in_child);
}

// The binding slot of s, its page mapped when create is set; null beyond the
// table, or for a page not mapped yet when create is not set.
socket_binding *slot(int s, bool create)
{
    if (s < 0 || static_cast<unsigned>(s) >= page_count * bindings_per_page) {
        return nullptr;
    }
    unsigned index = static_cast<unsigned>(s);
    socket_binding *&page_slot = pages[index >> page_bits];
    socket_binding *page = __atomic_load_n(&page_slot, __ATOMIC_ACQUIRE);
    if (page == nullptr && create) {
        // Mapped pages come zeroed, and a zeroed mutex is an unlocked one.
        void *mapped = mmap(nullptr, bindings_per_page * sizeof(socket_binding), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            return nullptr;
        }
        socket_binding *fresh = static_cast<socket_binding *>(mapped);
        if (__atomic_compare_exchange_n(&page_slot, &page, fresh, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            page = fresh;
        } else {
            munmap(mapped, bindings_per_page * sizeof(socket_binding));
        }
    }
    return page != nullptr ? &page[index & (bindings_per_page - 1)] : nullptr;
}

// Ends one binding; called with its exchange held.
void unbind(socket_binding &binding)
{
    let_go(binding.hop_socket, binding.hop_identity);
    __atomic_store_n(&binding.route, nullptr, __ATOMIC_RELEASE);
    binding.hop_socket = 0;
    binding.hop_identity = {};
    binding.socket_identity = {};
    binding.delayed_bytes = 0;
}

}  // namespace

socket_binding *binding_of(int s)
{
    socket_binding *binding = slot(s, false);
    if (binding == nullptr || __atomic_load_n(&binding->route, __ATOMIC_ACQUIRE) == nullptr) {
        return nullptr;
    }
    // A socket closed where the library could not see it (syscall(2)) leaves
    // its number to another file, which is not bound.
    descriptor_identity now = identity_of(s);
    if (now.inode != binding->socket_identity.inode || now.device != binding->socket_identity.device) {
        return nullptr;
    }
    return binding;
}

socket_binding *bind_socket(int s, rtbl_ent &route)
{
    pthread_once(&fork_handler_once, register_fork_handler);
    socket_binding *binding = slot(s, true);
    if (binding == nullptr) {
        return nullptr;
    }
    held_exchange exclusive(binding->exchange);
    descriptor_identity now = identity_of(s);
    bool same_socket =
        now.inode == binding->socket_identity.inode && now.device == binding->socket_identity.device;
    if (binding->route != &route || !same_socket) {
        unbind(*binding);
        binding->socket_identity = now;
        __atomic_store_n(&binding->route, &route, __ATOMIC_RELEASE);
    }
    return binding;
}

void end_socket_bindings(unsigned first, unsigned last)
{
    constexpr unsigned covered = page_count * bindings_per_page;
    for (unsigned s = first; s <= last && s < covered; ++s) {
        socket_binding *page = __atomic_load_n(&pages[s >> page_bits], __ATOMIC_ACQUIRE);
        if (page == nullptr) {
            s |= bindings_per_page - 1;  // the rest of an unmapped page holds no binding
            if (s == ~0u) {
                break;
            }
            continue;
        }
        socket_binding &binding = page[s & (bindings_per_page - 1)];
        if (__atomic_load_n(&binding.route, __ATOMIC_ACQUIRE) != nullptr) {
            held_exchange exclusive(binding.exchange);
            unbind(binding);
        }
    }
}

hop_link binding_hop_link(socket_binding &binding)
{
    const rtbl_ent &route = *binding.route;
    return {binding.hop_socket,
            binding.hop_identity,
            route.protocol == protocol_tcp ? SOCK_STREAM : SOCK_DGRAM,
            true,
            reinterpret_cast<const sockaddr *>(&route.covered.reach.hop),
            route.covered.reach.hop_length,
            &route};
}
