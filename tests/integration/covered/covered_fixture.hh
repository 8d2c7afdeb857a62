// The network every full-coverage test runs in, and running programs in it
// with KANDREL_COVERAGE=full (or, to compare, in the classic behaviour).
//
// This host is "gamma" (127.0.0.3); the hop answers on 127.0.0.2 and, over
// IPv6, on fd00::7; routed destinations are 127.0.0.5 and fd00::5, one
// receiver on [::]:9000 of each protocol taking every family.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "destination_sinks.hh"
#include "files.hh"
#include "hop_services.hh"
#include "lines.hh"
#include "preloaded_run.hh"
#include "udp_endpoint.hh"

namespace covered {

inline const std::string host_address = "127.0.0.3";
inline const std::string hop = "127.0.0.2";
inline const std::string hop6 = "fd00::7";
inline const std::string destination = "127.0.0.5";
inline const std::string destination6 = "fd00::5";
inline const std::string mapped_destination = "::ffff:127.0.0.5";
inline const std::string unrouted_destination = "127.0.0.9";
inline const std::string port = "9000";
using Env = std::vector<std::pair<std::string, std::string>>;

class CoveredTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Writes the route file: one line from this host per destination word,
    // through hop_word, of the protocol ("TCP" or "UDP").
    void write_routes(const std::vector<std::string> &to, const std::string &protocol,
                      const std::string &hop_word = hop);

    // Runs send_paths with these steps under the library, with full coverage
    // unless classic is asked for (and env on top); it must end cleanly.
    testsupport::PreloadedResult run(const std::vector<std::string> &steps, const Env &env = {},
                                     bool full_coverage = true);

    // Each send of these lengths made one round trip, in order: one timelog
    // record each, and the hop got the filler, never the program's bytes,
    // over protocol ("tcp" or "udp").
    void expect_bounced(const testsupport::PreloadedResult &result, const char *protocol,
                        const std::vector<long> &lengths);

    testsupport::ScratchDir scratch_;
    std::optional<testsupport::EchoHop> hop_;
    std::optional<testsupport::TcpSink> tcp_sink_;
    std::optional<testsupport::UdpEndpoint> udp_sink_;
};

// The load of routes from this host to each destination through hop.
std::string load(const std::vector<std::string> &to, const std::string &hop_text = hop);

using testsupport::filler_records;

}  // namespace covered
