// A pipelined echo line to a hop: a TCP connection (a relayed connection's
// own, or the one its handshakes share), or for the datagrams and handshakes
// of UDP routes a connected UDP socket. Each piece of traffic sends a filler
// of its length and is told when its echo has come back: the echoes measure
// the path's round trip.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

#include "relay_clock.hh"

// A hop that has not echoed a piece for this long is given up (its
// connection closed and reopened at the next need), as a round trip gives
// up a piece in full coverage.
constexpr micros echo_patience_us = 2'000'000;

// The largest segment of a path of Ethernet frames (with TCP timestamps): a
// hop over loopback would otherwise be sent 64 KiB per piece.
constexpr std::size_t ethernet_segment = 1448;

// The longest filler datagram: what a UDP datagram over IPv4 carries.
constexpr std::size_t largest_echo_datagram = 65507;

// What a piece's echo is for: the relayed connection and which of its
// lanes (up, down, or the handshake), with the piece's sequence number.
struct echo_owner {
    std::uint64_t connection = 0;
    int lane = 0;
    std::uint64_t sequence = 0;
};

// The outcome of one piece: its round trip in microseconds, or -1 when the
// hop could not be reached or did not echo in time.
using echo_done = std::function<void(const echo_owner &, std::size_t length, micros round_trip_us)>;

class hop_line {
public:
    // type: SOCK_STREAM or SOCK_DGRAM.
    hop_line(const sockaddr_storage &address, socklen_t length, int type, echo_done done);
    ~hop_line();
    hop_line(const hop_line &) = delete;
    hop_line &operator=(const hop_line &) = delete;

    bool is(const sockaddr_storage &address, socklen_t length, int type) const;

    // Opens the connection ahead of the first piece, so that its handshake
    // overlaps other work.
    void open_now()
    {
        if (fd_ < 0) {
            open();
        }
    }

    // Filler bytes sent or to send whose echo has not come back.
    std::size_t backlog() const { return backlog_; }

    // Whether the connection is up.
    bool connected() const { return fd_ >= 0 && !connecting_; }

    // Sends a filler of length bytes for owner (length > 0).
    void send_echo(const echo_owner &owner, std::size_t length);

    // The path's round trip as the echoes show it: the smallest measured
    // in the last few seconds (queueing behind other pieces, or behind
    // the hop's own acknowledgements, is not the path's), or 0 before any.
    micros round_trip() const { return round_trip_us_; }

    // The descriptor and events to poll, or -1.
    int descriptor() const { return fd_; }
    short events() const;
    // Handles what poll reported; also gives up a silent hop.
    void on_ready(short revents);
    // When the oldest piece runs out of patience, or -1.
    micros deadline() const;
    void on_time(micros now);

private:
    struct waiting_piece {
        echo_owner owner;
        std::size_t length;
        micros sent_at;
    };

    bool open();
    void finish_piece(const waiting_piece &piece, micros now);
    void give_up();
    void flush();
    void take_echo();

    sockaddr_storage address_;
    socklen_t length_;
    int type_;
    echo_done done_;
    int fd_ = -1;
    bool connecting_ = false;
    std::size_t unsent_ = 0;
    std::size_t filler_at_ = 0;
    std::size_t echoed_of_head_ = 0;
    std::size_t backlog_ = 0;
    std::size_t segment_ = ethernet_segment;  // the connection's largest segment, once it is up
    std::deque<waiting_piece> waiting_;
    micros round_trip_us_ = 0;
    micros round_trip_measured_at_ = 0;
};

// How long the smallest round trip stands unless a smaller one comes: the
// path may really have become slower.
constexpr micros round_trip_memory_us = 5'000'000;
