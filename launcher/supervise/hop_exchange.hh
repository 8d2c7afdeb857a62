// The supervisor's round trips: the filler bounced off a route's hop over a
// socket of the supervisor's own, one per supervised socket bound to the
// route, with the library's bounds on every wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "supervised_routes.hh"

// How one round trip ended.
struct trip_result {
    bool reached = false;     // an echo came back, or the bound was waited out
    bool waited_out = false;  // the bound passed before the whole echo came back
    int error = 0;            // why the hop was not reached
    std::uint64_t rtt_us = 0;
    long ms = 0;  // the elapsed milliseconds by the round trips' rule
};

// A supervised socket's own connection to its route's hop. Its round trips
// are made one at a time, whichever thread makes them.
class hop_binding {
public:
    explicit hop_binding(const supervised_route &route) : route_(route) {}
    hop_binding(const hop_binding &) = delete;
    hop_binding &operator=(const hop_binding &) = delete;
    ~hop_binding();

    const supervised_route &route() const { return route_; }

    // Opens the hop socket now if it is not open (connect waits for it).
    void open();

    // Bounces len bytes of filler off the hop.
    trip_result round_trip(std::size_t len);

private:
    void open_unlocked();
    void discard();
    trip_result stream_trip(std::size_t len);
    trip_result datagram_trip(std::size_t len);

    const supervised_route &route_;
    int socket_ = -1;
    int open_error_ = 0;
    std::mutex exchange_;
};
