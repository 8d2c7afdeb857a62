// kandrel-hop's command line: where to echo and how long each echo waits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hop {

enum class hop_mode { serve, help, version };

struct hop_options {
    hop_mode mode = hop_mode::serve;
    std::vector<std::string> addresses;  // empty: every address, IPv4 and IPv6
    std::uint16_t port = 7;
    std::uint64_t delay_us = 0;
    std::uint64_t jitter_us = 0;
    std::string replay_file;  // waits taken from a recording instead
    std::string replay_to;    // only its round trips to this destination word; empty: all
};

// Reads kandrel-hop's arguments (without argv[0]). Fills `error` and returns
// false on a usage mistake.
bool parse_hop_options(const std::vector<std::string> &args, hop_options &options, std::string &error);

// The --help text.
const char *hop_usage_text();

}  // namespace hop
