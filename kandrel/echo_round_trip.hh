// Echo round trips: bounce bytes off a hop's echo service, wait for them to
// come back, and report the elapsed time on the trace and in "timelog".
// Names in the datagram round trips: len1 is the current chunk's length, c1
// that chunk's receive result, c the running total of the c1 values.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

// The largest datagram a round trip sends; longer data goes in chunks.
constexpr std::size_t echo_chunk_size = 1024;

// The length of the chunk that starts at position in a buffer of len bytes.
constexpr std::size_t echo_chunk_length(std::size_t len, std::size_t position)
{
    return len - position < echo_chunk_size ? len - position : echo_chunk_size;
}

// Over a stream socket connected to the hop; the echoed byte count, or a
// negative result when the exchange failed.
ssize_t TCPecho(int s, const char *buf, size_t len);

// Over a datagram socket, each chunk sent to the hop's address; the total of
// the chunk receives.
ssize_t UDPecho(int s, const char *buf, size_t len, int flags, const struct sockaddr *to, socklen_t tolen);

// Over a datagram socket connected to the hop; the total of the chunk receives.
ssize_t UDPecho1(int s, const char *buf, size_t len);

// The stream round trip of sendmsg: the message's data once to the hop and
// one receive back, untimed and unrecorded.
void stream_message_round_trip(int hop_socket, const struct msghdr &msg, int flags);

// The datagram round trip of sendmsg: the gathered data bounced like
// sendto's, over the datagram socket s, to the hop's address.
void datagram_message_round_trip(int s, const struct msghdr &msg, int flags, const struct sockaddr *to,
                                 socklen_t tolen);
