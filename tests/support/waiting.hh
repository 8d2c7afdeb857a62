// The one way tests wait for something to be ready (a server listening, a
// file filled, a namespace made): poll a condition within a bound, and fail
// loudly when it never holds.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// Returns once ready() holds; throws, naming what, when it has not held
// within the limit.
void wait_until(const std::function<bool()> &ready, const std::string &what,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// Conditions to wait for.
bool tcp_accepts(const std::string &address, int port);   // a connect succeeds
bool tcp_listening(int port);  // something listens on the port, never connected to
bool udp_echoes(const std::string &address, int port);    // a datagram comes back

}  // namespace testsupport
