// The bytes full coverage bounces off a hop in place of the program's own:
// the hop never sees the program's data, and a send whose data the library
// never reads (sendfile, splice) can be delayed all the same.
#pragma once

#include <cstddef>

// The filler repeats every filler_size bytes; a datagram chunk never crosses
// a repetition.
constexpr std::size_t filler_size = 4096;

// A fixed pseudo-random pattern: compression on the path cannot shrink it,
// so the round trip carries as many bytes as the program's send would.
const char *filler_bytes();
