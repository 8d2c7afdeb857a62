// The library's own sockets to the hops' echo services.
#pragma once

#include "route_table.hh"

// Binds entry to the application's socket s the first time a connect names
// the entry's destination: opens the hop socket the route's protocol asks
// for and records both. Entries that are already bound are left as they are.
void bind_route(rtbl_ent &entry, int s);
