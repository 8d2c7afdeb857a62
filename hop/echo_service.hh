// kandrel-hop's service: TCP and UDP echo on chosen addresses, every piece of
// data echoed after its own wait (a delay line), many connections at once in
// one event loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "delay_line.hh"

namespace hop {

class echo_service {
public:
    // Binds TCP and UDP on `port` of each address (every address, IPv4 and
    // IPv6, when none is given). Throws std::system_error naming what failed.
    echo_service(const std::vector<std::string> &addresses, std::uint16_t port, wait_source waits);
    ~echo_service();

    // Where the service listens, as "ADDRESS port PORT" texts.
    std::vector<std::string> endpoints() const;

    // Echoes until SIGINT or SIGTERM arrives; returns that signal's number.
    int run();

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace hop
