// The bytes full coverage bounces off a hop in place of the program's own:
// the hop never sees the program's data, and a send whose data the library
// never reads (sendfile, splice) can be delayed all the same.
#pragma once

#include <cstddef>

// The filler repeats every filler_size bytes; a datagram chunk never crosses
// a repetition. A stream round trip sends at most one repetition per call,
// so it is as large as a socket's send usually takes at once: in smaller
// pieces, a hop that waits before each answer would wait once per piece it
// happened to read apart, and a large send would feel the path twice.
constexpr std::size_t filler_size = 65536;

// A fixed pseudo-random pattern: compression on the path cannot shrink it,
// so the round trip carries as many bytes as the program's send would.
const char *filler_bytes();

// The filler from position on (it repeats past filler_size); count is cut to
// what lies in one piece of memory.
const char *filler_at(std::size_t position, std::size_t &count);
