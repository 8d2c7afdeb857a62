// Telling a chunk's echo from other datagrams.
#include "hop_exchange_rules.hh"

#include <cstring>

bool echo_of_chunk(const char *received, std::size_t size, const char *sent, std::size_t len1)
{
    return size == len1 || (size < len1 && std::memcmp(received, sent, size) == 0);
}
