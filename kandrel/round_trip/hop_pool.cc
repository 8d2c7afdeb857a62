// The idle hop connections of a route.
#include "hop_pool.hh"

pooled_socket take_from(hop_pool &pool)
{
    pooled_socket taken;
    held_exchange exclusive(pool.lock);
    if (pool.idle_count > 0) {
        --pool.idle_count;
        taken.s = pool.idle[pool.idle_count];
        taken.identity = pool.identity[pool.idle_count];
    }
    return taken;
}

void give_back(hop_pool &pool, pooled_socket &taken)
{
    if (!still_ours(taken.s, taken.identity)) {
        let_go(taken.s, taken.identity);
        return;
    }
    {
        held_exchange exclusive(pool.lock);
        if (pool.idle_count < hop_pool_capacity) {
            pool.idle[pool.idle_count] = taken.s;
            pool.identity[pool.idle_count] = taken.identity;
            ++pool.idle_count;
            return;
        }
    }
    let_go(taken.s, taken.identity);
}

bool close_idle(hop_pool &pool)
{
    held_exchange exclusive(pool.lock);
    bool any = pool.idle_count > 0;
    while (pool.idle_count > 0) {
        --pool.idle_count;
        let_go(pool.idle[pool.idle_count], pool.identity[pool.idle_count]);
    }
    return any;
}
