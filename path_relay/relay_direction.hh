// One direction of a relayed connection: the bytes read from one side and
// not yet delivered to the other, the sender's window over the modelled
// path, and when each piece would leave the sender.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "relay_clock.hh"

// The most a direction holds (read and not yet delivered): a relayed
// connection holds at most 8 MiB.
constexpr std::size_t direction_limit = 4u << 20;
// The largest window: what a sender of this machine keeps in flight at
// most, three quarters of its largest send buffer (tcp_wmem; the kernel
// counts its bookkeeping in the buffer too: on the build machine a 4 MiB
// buffer carried a download of 100 MB over 100 ms in 4.5 s, about 2.2 MB
// per round trip with slow start), read when the relay starts; at most
// direction_limit.
inline std::size_t largest_window = direction_limit / 4 * 3;
// A direction's first window, as a sender's first: 10 segments. Bytes read
// count against it until a round trip after they left (half a trip to the
// other side, half for the acknowledgement to come back); then it grows by
// as much, doubling each round trip as in slow start.
constexpr std::size_t first_window = 10 * 1448;
// The most bytes read from a side at once: one echo piece.
constexpr std::size_t read_piece = 65536;

// Bytes read from one side, to be delivered to the other at release_at;
// a chunk with no bytes stands for the end of the stream or a reset.
struct held_chunk {
    enum class kind { data, end, reset };
    kind what = kind::data;
    std::uint64_t sequence = 0;
    std::vector<char> bytes;
    std::size_t written = 0;
    micros read_at = 0;
    micros leaves_at = 0;  // when it leaves the sender (later than read_at when Nagle holds it)
    micros release_at = 0;
};

struct relay_direction {
    std::deque<held_chunk> queue;
    struct sent_bytes {
        micros at;  // when their acknowledgement would be back
        std::size_t length;
    };
    std::size_t held = 0;       // bytes in the queue
    std::size_t in_flight = 0;  // bytes read and not yet acknowledged
    std::deque<sent_bytes> unacknowledged;
    std::size_t window = first_window;
    std::uint64_t next_sequence = 0;
    bool source_done = false;  // the end or a reset was read
    bool end_delivered = false;

    // Whether the sender holds a piece shorter than a segment while one it
    // sent earlier is unacknowledged (Nagle's algorithm, in Linux's form:
    // only a short piece holds back the next); off once the program sets
    // TCP_NODELAY. Over a distance that hold costs a round trip, which the
    // loopback connection to the relay, acknowledged at once, never pays.
    bool holds_short_pieces = false;
    micros short_acknowledged_at = 0;  // when the last short piece sent is acknowledged
    micros short_held_until = 0;       // when short pieces held now will leave

    // How many bytes may be read now.
    std::size_t room() const;
    // Takes back what is acknowledged by now.
    void acknowledge(micros now);
    // When a piece of length bytes read now leaves the sender, given the
    // path's round trip: now, or later when Nagle's algorithm holds it.
    micros leaves_at(micros now, std::size_t length, std::size_t segment, micros round_trip);
    // Queues a piece read at now; it is delivered half a round trip after
    // it leaves, and after every piece before it; acknowledged one round
    // trip after it leaves.
    held_chunk &take(std::vector<char> bytes, micros now, std::size_t segment, micros round_trip);
    // Queues the end of the stream or a reset, read at now: delivered as a
    // piece is, after every piece before it; nothing more is read.
    void take_end(held_chunk::kind what, micros now, micros round_trip);
};
