// The bindings of program sockets: a table by socket identity (the socket's
// inode) that holds the route and how many of the program's descriptors the
// library knows refer to it, and an index by descriptor number of the
// socket each number was last seen to hold. Both live in pages mapped on
// first use; lookups take one short lock and no system call but fstat.
#include "socket_bindings.hh"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstddef>

#include "library_lock.hh"
#include "real_calls.hh"

namespace {

// A bound socket: its inode, its route, the descriptors seen to refer to it.
struct bound_socket {
    ino_t inode;  // 0: a free place
    rtbl_ent *route;
    unsigned descriptors;
};

// What a descriptor number was last seen to hold: a socket's inode (0 when
// unknown), and whether it counts among that socket's descriptors.
struct seen_descriptor {
    ino_t inode;
    bool counted;
};

constexpr std::size_t bound_capacity = std::size_t{1} << 16;  // a power of two
constexpr unsigned page_bits = 10;
constexpr unsigned numbers_per_page = 1u << page_bits;
constexpr unsigned page_count = 1024;  // descriptor numbers below about a million

library_lock table_lock;
bound_socket *bound = nullptr;
std::size_t bound_count = 0;
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

std::size_t home_of(ino_t inode)
{
    return (static_cast<std::size_t>(inode) * 0x9E3779B97F4A7C15ull) >> 48 & (bound_capacity - 1);
}

// The place of inode in the table, or the free place where it would go;
// null when the table cannot be had or is full. Called with the lock held.
bound_socket *place_of(ino_t inode)
{
    if (bound == nullptr && (bound = mapped_zeroed<bound_socket>(bound_capacity)) == nullptr) {
        return nullptr;
    }
    for (std::size_t i = home_of(inode), probes = 0; probes < bound_capacity;
         i = (i + 1) & (bound_capacity - 1), ++probes) {
        if (bound[i].inode == inode || bound[i].inode == 0) {
            return &bound[i];
        }
    }
    return nullptr;
}

// Frees a place, moving later entries of the same run back so that every
// entry stays reachable from its home. Called with the lock held.
void free_place(bound_socket *place)
{
    std::size_t hole = static_cast<std::size_t>(place - bound);
    bound[hole] = {};
    --bound_count;
    for (std::size_t i = (hole + 1) & (bound_capacity - 1); bound[i].inode != 0;
         i = (i + 1) & (bound_capacity - 1)) {
        std::size_t home = home_of(bound[i].inode);
        // The entry may move to the hole when its home is not between the
        // hole (exclusive) and its place (inclusive), cyclically.
        bool home_after_hole = hole < i ? (home > hole && home <= i) : (home > hole || home <= i);
        if (!home_after_hole) {
            bound[hole] = bound[i];
            bound[i] = {};
            hole = i;
        }
    }
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
        bound_socket *place = place_of(entry.inode);
        if (place != nullptr && place->inode == entry.inode && --place->descriptors == 0) {
            free_place(place);
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
    bound_socket *place = route != nullptr && !entry->counted ? place_of(inode) : nullptr;
    if (place != nullptr && place->inode == inode) {
        ++place->descriptors;
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
    rtbl_ent *route = find_route(reinterpret_cast<sockaddr *>(&peer), length);
    return route != nullptr && (route->protocol == protocol_tcp || route->protocol == protocol_udp) ? route
                                                                                                    : nullptr;
}

// Binds inode to route, or finds its binding. Called with the lock held.
rtbl_ent *bind_inode(ino_t inode, rtbl_ent *route)
{
    bound_socket *place = place_of(inode);
    if (place == nullptr) {
        return nullptr;
    }
    if (place->inode == 0) {
        if (bound_count + 1 >= bound_capacity / 2) {
            return nullptr;  // full enough that lookups would slow down: left unrouted
        }
        *place = {inode, route, 0};
        ++bound_count;
    }
    place->route = route;
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
    bound_socket *place = bound != nullptr ? place_of(inode) : nullptr;
    rtbl_ent *route = place != nullptr && place->inode == inode ? place->route : nullptr;
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

void unbind_socket(int s)
{
    ino_t inode = socket_inode(s);
    acquire(table_lock);
    bound_socket *place = inode != 0 && bound != nullptr ? place_of(inode) : nullptr;
    if (place != nullptr && place->inode == inode) {
        place->route = nullptr;
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
