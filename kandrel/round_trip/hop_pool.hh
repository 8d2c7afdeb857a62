// Hop connections shared by every socket of a route: a round trip takes one
// that is idle (or opens one) and gives it back after, so a route holds as
// many as round trips were ever in flight at once, not one per socket.
#pragma once

#include "library_lock.hh"
#include "owned_descriptor.hh"

// The most idle connections a route keeps; more in flight at once are
// closed after their round trip.
constexpr int hop_pool_capacity = 8;

struct hop_pool {
    library_lock lock;
    int idle_count;
    int idle[hop_pool_capacity];
    descriptor_identity identity[hop_pool_capacity];
};

// One hop connection, held by one round trip; s is 0 when none was idle
// (the round trip opens one).
struct pooled_socket {
    int s = 0;
    descriptor_identity identity;
};

// An idle connection of the pool, or none.
pooled_socket take_from(hop_pool &pool);

// Gives a connection back after its round trip: kept when it is still the
// library's and the pool has room, closed otherwise.
void give_back(hop_pool &pool, pooled_socket &taken);

// Closes every idle connection of the pool: the program has run out of
// descriptors, and these are the library's to give. True when there was any.
bool close_idle(hop_pool &pool);
