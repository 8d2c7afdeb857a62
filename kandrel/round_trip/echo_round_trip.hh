// Echo round trips: bounce bytes off a hop's echo service, wait for them to
// come back, and report the elapsed time on the trace and in "timelog".
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

#include "hop_exchange_rules.hh"
#include "hop_socket.hh"
#include "library_lock.hh"
#include "send_payload.hh"

// Send flags of the application that never reach the hop: MSG_MORE would
// hold the hop's datagram back until the bound ran out, and MSG_DONTWAIT or
// MSG_OOB would change how the library's own exchange behaves.
constexpr int flags_kept_from_hop = MSG_MORE | MSG_DONTWAIT | MSG_OOB;

// What a round trip sends to the hop: the program's bytes, or the filler of
// the same length.
class echo_source {
public:
    static echo_source program_bytes(const char *buf) { return echo_source(buf); }
    static echo_source filler() { return echo_source(nullptr); }

    // The bytes to send from position on; count is cut to what lies in one
    // piece of memory.
    const char *at(size_t position, size_t &count) const;

private:
    explicit echo_source(const char *bytes) : bytes_(bytes) {}
    const char *bytes_;
};

// Every round trip is called with its exchange held (held_exchange)
// and the link's socket replaced first if it is no longer the library's. One
// that never reaches the hop (no socket could be had, every send failed, the
// hop refused) writes why on the trace instead of a time, and no record.

// Over the link's stream socket; the echoed byte count, or a negative
// result when the exchange failed. A connection found broken before any
// echo came back is reopened once.
ssize_t TCPecho(hop_link &link, const echo_source &source, size_t len);

// Over the link's datagram socket, each chunk sent to the hop's address; the
// total of the chunk receives.
ssize_t UDPecho(hop_link &link, const echo_source &source, size_t len, int flags);

// Over the link's datagram socket, connected to the hop; the total of the
// chunk receives.
ssize_t UDPecho1(hop_link &link, const echo_source &source, size_t len);

// The round trip a connect to a routed destination costs over a stream
// route, as the handshake costs it on the path: one byte of the filler
// bounced off the hop, neither traced nor recorded.
void connect_round_trip(hop_link &link);

// The stream round trip of sendmsg: the message's data once to the hop and
// one receive back, untimed and unrecorded.
void stream_message_round_trip(hop_link &link, const struct msghdr &msg, int flags);

// The datagram round trip of sendmsg: the gathered data bounced like
// sendto's, over the link's datagram socket, to the hop's address.
void datagram_message_round_trip(hop_link &link, const struct msghdr &msg, int flags);

// Whether the system would refuse the program's send on s at once with
// EAGAIN: the socket or the call does not block and s has no room now. Such
// a send delays nothing, so its round trip is not made.
bool send_would_block(int s, int flags);

// How much of a send of length bytes on s the system takes now: all of it
// for a send that waits, else no more than the room left in a stream
// socket's send buffer, so a program that retries a partial send pays for
// each byte once.
size_t send_room(int s, int flags, size_t length);

// The one way a send is bounced: round_trip runs with exchange held, unless
// the program's send on s would be refused at once.
template <typename RoundTrip>
void bounce_unless_refused(library_lock &exchange, int s, int flags, RoundTrip round_trip)
{
    if (send_would_block(s, flags)) {
        return;
    }
    held_exchange exclusive(exchange);
    round_trip();
}

// The round trip of len bytes over link with the route's protocol (TCPecho
// or UDPecho): the program's bytes, or the filler when the routing policy
// bounces it; in a replayed run, the recording's next time.
void bounce_payload(hop_link &link, int protocol, const send_payload &payload, size_t len, int flags);
