// The program's data of one send, as far as the library may read it, and
// its length, learnt only once the send is known to be routed.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

// A buffer, a vector, a file (sendfile), or nothing the library sees
// (splice). Files and unseen data are bounced as the filler.
struct send_payload {
    const char *bytes = nullptr;
    const struct iovec *vector = nullptr;
    size_t vector_length = 0;
    int file = -1;
    const off64_t *file_offset = nullptr;  // sendfile's offset; null: the file's own
    size_t count = 0;                      // the call's length, for all but a vector
};

// The total length of the program's data vector, read through fault-safe
// copies; false when it has none that could be sent (a bad vector, more
// pieces than the system takes, lengths that overflow).
bool vector_length(const struct iovec *vector, size_t count, size_t &total);

// The bytes the send can move: the count, the vector's total, or for a
// regular file no more than is left after the offset. False when the
// program's vector cannot be read.
bool send_length(const send_payload &payload, size_t &length);
