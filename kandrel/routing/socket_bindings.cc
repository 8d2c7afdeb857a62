// The bindings of program sockets: a table by socket identity (the socket's
// inode, inode_table.hh) that holds the route and how many of the program's
// descriptors the library knows refer to it, and an index by descriptor number of the
// socket each number was last seen to hold. Both live in pages mapped on
// first use; lookups take one short lock and no system call but fstat.
#include "socket_bindings.hh"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstddef>

#include "inode_table.hh"
#include "library_lock.hh"
#include "real_calls.hh"

namespace {

// A bound socket: its route, the descriptors seen to refer to it, and the
// bytes the library delayed on it.
struct bound_socket {
    rtbl_ent *route;
    unsigned descriptors;
    unsigned long long delayed_bytes;
};

// What a descriptor number was last seen to hold: a socket's inode (0 when
// unknown), and whether it counts among that socket's descriptors.
struct seen_descriptor {
    ino_t inode;
    bool counted;
};

constexpr std::size_t bound_capacity = std::size_t{1} << 16;  // sockets bound at once: half of it
constexpr unsigned page_bits = 10;
constexpr unsigned numbers_per_page = 1u << page_bits;
constexpr unsigned page_count = 1024;  // descriptor numbers below about a million

library_lock table_lock;
inode_table<bound_socket> bound;
seen_descriptor *pages[page_count];

// A child of fork may inherit the lock as another thread held it.
__attribute__((constructor)) void watch_forks()
{
    pthread_atfork(nullptr, nullptr, [] { table_lock = {}; });
}

template <typename Item>
Item *mapped_zeroed(std::size_t count)
{
    void *mapped = mmap(nullptr, count * sizeof(Item), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<Item *>(mapped);
}

// The table of bound sockets, its pages mapped on first use; null when they
// cannot be had. Called with the lock held.
inode_table<bound_socket> *bound_table()
{
    if (!bound.attached()) {
        if (auto *entries = mapped_zeroed<inode_entry<bound_socket>>(bound_capacity)) {
            bound.attach(entries, bound_capacity);
        }
    }
    return bound.attached() ? &bound : nullptr;
}

// The index entry of s, its page mapped when create is set; null beyond the
// index, or for a page not mapped yet when create is not set.
seen_descriptor *seen(int s, bool create)
{
    if (s < 0 || static_cast<unsigned>(s) >= page_count * numbers_per_page) {
        return nullptr;
    }
    seen_descriptor *&page = pages[static_cast<unsigned>(s) >> page_bits];
    if (page == nullptr && create) {
        page = mapped_zeroed<seen_descriptor>(numbers_per_page);
    }
    return page != nullptr ? &page[static_cast<unsigned>(s) & (numbers_per_page - 1)] : nullptr;
}

// The number no longer holds what the index says: the socket it held loses
// a descriptor. Called with the lock held.
void forget_descriptor(seen_descriptor &entry)
{
    if (entry.counted) {
        inode_entry<bound_socket> *socket = bound.find(entry.inode);
        if (socket != nullptr && --socket->value.descriptors == 0) {
            bound.erase(socket);
        }
    }
    entry = {};
}

// Records that s holds the socket inode, bound to route (or not). Called
// with the lock held.
void note_descriptor(int s, ino_t inode, rtbl_ent *route)
{
    seen_descriptor *entry = seen(s, true);
    if (entry == nullptr) {
        return;
    }
    if (entry->inode != inode) {
        forget_descriptor(*entry);
        entry->inode = inode;
    }
    inode_entry<bound_socket> *socket = route != nullptr && !entry->counted ? bound.find(inode) : nullptr;
    if (socket != nullptr) {
        ++socket->value.descriptors;
        entry->counted = true;
    }
}

ino_t socket_inode(int s)
{
    struct stat status;
    return s >= 0 && fstat(s, &status) == 0 && S_ISSOCK(status.st_mode) ? status.st_ino : 0;
}

// The route of the socket's peer, for a socket the library has not seen
// connect (inherited, received, copied where the library could not see).
rtbl_ent *peer_route(int s)
{
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (!routes_stored() || real_calls().getpeername(s, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        return nullptr;
    }
    return bouncing_route(find_route(reinterpret_cast<sockaddr *>(&peer), length));
}

// Binds inode to route; null when the table has no room. Called with the
// lock held.
rtbl_ent *bind_inode(ino_t inode, rtbl_ent *route)
{
    inode_table<bound_socket> *table = bound_table();
    inode_entry<bound_socket> *socket = table != nullptr ? table->find_or_add(inode) : nullptr;
    if (socket == nullptr) {
        return nullptr;  // as many sockets bound as the table holds: left unrouted
    }
    if (socket->value.route != route) {
        socket->value.delayed_bytes = 0;
    }
    socket->value.route = route;
    return route;
}

}  // namespace

rtbl_ent *bound_route(int s)
{
    if (!routes_stored()) {
        return nullptr;  // nothing is routed, and nothing need be looked at
    }
    ino_t inode = socket_inode(s);
    if (inode == 0) {
        return nullptr;
    }
    acquire(table_lock);
    seen_descriptor *entry = seen(s, false);
    bool known = entry != nullptr && entry->inode == inode;
    inode_entry<bound_socket> *socket = bound.find(inode);
    rtbl_ent *route = socket != nullptr ? socket->value.route : nullptr;
    if (!known && route != nullptr) {
        note_descriptor(s, inode, route);
    }
    release(table_lock);
    if (known || route != nullptr) {
        return route;
    }
    // A descriptor never seen: its peer decides, once.
    rtbl_ent *peer = peer_route(s);
    acquire(table_lock);
    if (peer != nullptr) {
        peer = bind_inode(inode, peer);
    }
    note_descriptor(s, inode, peer);
    release(table_lock);
    return peer;
}

void bind_socket(int s, rtbl_ent &route)
{
    ino_t inode = socket_inode(s);
    if (inode == 0) {
        return;
    }
    acquire(table_lock);
    if (bind_inode(inode, &route) != nullptr) {
        note_descriptor(s, inode, &route);
    }
    release(table_lock);
}

void count_delayed_bytes(int s, unsigned long long bytes)
{
    ino_t inode = socket_inode(s);
    acquire(table_lock);
    if (inode_entry<bound_socket> *socket = inode != 0 ? bound.find(inode) : nullptr) {
        socket->value.delayed_bytes += bytes;
    }
    release(table_lock);
}

const rtbl_ent *delayed_bytes_of(int s, unsigned long long &delayed)
{
    ino_t inode = socket_inode(s);
    const rtbl_ent *route = nullptr;
    acquire(table_lock);
    if (inode_entry<bound_socket> *socket = inode != 0 ? bound.find(inode) : nullptr) {
        route = socket->value.route;
        delayed = socket->value.delayed_bytes;
    }
    release(table_lock);
    return route;
}

void unbind_socket(int s)
{
    ino_t inode = socket_inode(s);
    acquire(table_lock);
    if (inode_entry<bound_socket> *socket = inode != 0 ? bound.find(inode) : nullptr) {
        socket->value.route = nullptr;
    }
    release(table_lock);
}

void end_socket_bindings(unsigned first, unsigned last)
{
    constexpr unsigned covered = page_count * numbers_per_page;
    acquire(table_lock);
    for (unsigned s = first; s <= last && s < covered; ++s) {
        seen_descriptor *page = pages[s >> page_bits];
        if (page == nullptr) {
            s |= numbers_per_page - 1;  // the rest of an unmapped page holds nothing
            if (s == ~0u) {
                break;
            }
            continue;
        }
        if (page[s & (numbers_per_page - 1)].inode != 0) {
            forget_descriptor(page[s & (numbers_per_page - 1)]);
        }
    }
    release(table_lock);
}
