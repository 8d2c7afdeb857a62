// One echo off a hop before the run, over the route's protocol, so that a
// hop that is down refuses the run instead of leaving it undelayed.
#pragma once

#include <string>

namespace launcher {

// How long a check waits for a hop's echo: the library's own bound on each
// piece of a round trip.
constexpr int hop_check_wait_ms = 2000;

struct hop_echo {
    std::string address;  // the hop's address as text, "" when it did not resolve
    bool reached = false;
    double ms = 0;        // the echo's round trip, when reached
    std::string failure;  // why not, when not reached
};

// Sends one small echo to port 7 of hop over "TCP" or "UDP" and waits at most
// hop_check_wait_ms for it to come back whole.
hop_echo probe_hop(const std::string &hop, const std::string &protocol);

// Whether a host name or address resolves here (DNS or /etc/hosts).
bool host_resolves(const std::string &name);

}  // namespace launcher
