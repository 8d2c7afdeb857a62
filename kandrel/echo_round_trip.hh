// Echo round trips: bounce bytes off a hop's echo service, wait for them to
// come back, and report the elapsed time on the trace and in "timelog".
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

// The longest wait for any one piece of an echo. A silent hop or a lost
// datagram delays the application by this much, never for ever.
constexpr int hop_reply_timeout_ms = 2000;

// The largest datagram a round trip sends; longer data goes in chunks.
constexpr std::size_t echo_chunk_size = 1024;

// The length of the chunk that starts at position in a buffer of len bytes.
constexpr std::size_t echo_chunk_length(std::size_t len, std::size_t position)
{
    return len - position < echo_chunk_size ? len - position : echo_chunk_size;
}

// Waits until any of events (poll's) is ready on s, at most the reply
// bound; the ready events, or 0 when the bound passed. A negative descriptor
// is not waited on: its events count as ready so the call that follows
// fails at once.
short wait_for_hop(int s, short events);

// Over a stream socket connected to the hop; the echoed byte count, or a
// negative result when the exchange failed.
ssize_t TCPecho(int s, const char *buf, size_t len);

// Over a datagram socket, each chunk sent to the hop's address; the total of
// the chunk receives.
ssize_t UDPecho(int s, const char *buf, size_t len, int flags, const struct sockaddr *to, socklen_t tolen);

// Over a datagram socket connected to the hop; the total of the chunk receives.
ssize_t UDPecho1(int s, const char *buf, size_t len);
