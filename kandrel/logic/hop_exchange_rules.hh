// The rules every exchange with a hop keeps, whoever makes it (the preloaded
// library or kandrel-run supervising a program): where the echo service
// listens, how long any piece of an echo is waited for, how data is cut into
// datagrams, and which datagram counts as a chunk's echo.
#pragma once

#include <netinet/in.h>

#include <cstddef>

// The echo service every hop is reached at.
constexpr in_port_t echo_port = 7;

// The longest wait for a hop connection or any one piece of an echo. A silent
// hop or a lost datagram delays the application by this much, never for ever.
constexpr int hop_reply_timeout_ms = 2000;

// The largest datagram a round trip sends; longer data goes in chunks.
constexpr std::size_t echo_chunk_size = 1024;

// The length of the chunk that starts at position in a buffer of len bytes.
constexpr std::size_t echo_chunk_length(std::size_t len, std::size_t position)
{
    return len - position < echo_chunk_size ? len - position : echo_chunk_size;
}

// Whether a datagram of size bytes (its whole size, however much was
// received into received) can be the echo of the chunk of len1 bytes sent:
// the same length, or a part of it cut short by the hop. Anything else (a
// flooding hop's extra datagrams, a stale echo of another length) is not
// this chunk's echo.
bool echo_of_chunk(const char *received, std::size_t size, const char *sent, std::size_t len1);
