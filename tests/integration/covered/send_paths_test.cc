// Every send path of an application, over a TCP and a UDP route, in both
// behaviours. With full coverage, to an IPv4, an IPv6 and an IPv4-mapped
// destination, each send makes exactly one round trip per message (its TIME
// line and timelog record) and the hop sees only the filler. The classic
// behaviour routes IPv4 only, bounces the program's own bytes, and only for
// the paths and destinations it knows. Either way the destination gets the
// program's bytes.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "covered_fixture.hh"

namespace covered {
namespace {

struct SendCase {
    bool classic;
    std::string path;     // the send_paths step
    std::string via;      // "TCP" or "UDP"
    std::string family;   // "inet", "inet6" or "mapped"
    std::string name;
};

void PrintTo(const SendCase &c, std::ostream *out)
{
    *out << c.name;
}

std::vector<SendCase> every_case()
{
    std::vector<SendCase> cases;
    for (bool classic : {false, true}) {
        for (std::string path : {"send", "sendto", "sendto-to", "sendmsg", "sendmsg-to", "sendmmsg", "sendmmsg-to",
                                 "write", "writev", "sendfile", "splice"}) {
            for (std::string via : {"TCP", "UDP"}) {
                for (std::string family : {"inet", "inet6", "mapped"}) {
                    if (classic && family != "inet") {
                        continue;
                    }
                    std::string name = (classic ? "classic_" : "full_") + path + "_" + via + "_" + family;
                    std::replace(name.begin(), name.end(), '-', '_');
                    cases.push_back({classic, path, via, family, name});
                }
            }
        }
    }
    return cases;
}

const std::string text = "hello, world";
constexpr long s = 4;  // after timelog; the hop sockets sit far above, out of the way
const std::string pieces = "0x14000080";  // the data vector, after two message headers

// The classic behaviour routes send and write on the socket a connect bound,
// and sendto and sendmsg only when they name the destination.
bool classic_routes(const std::string &path)
{
    return path == "send" || path == "write" || path == "sendto-to" || path == "sendmsg-to";
}

// The lines of the send itself: its own lines around its round trips, and
// the descriptors of the file or pipe it sends from.
std::string send_lines(const SendCase &c)
{
    const long n = static_cast<long>(text.size());
    const lines::Via via = c.via == "TCP" ? lines::tcp : lines::udp;
    const std::string trip = c.classic && !classic_routes(c.path) ? "" : lines::round_trip({via}, text);
    if (c.path == "send") {
        return lines::send_first(s, lines::scenario_data, n, 0) + trip + lines::send_returned(n);
    } else if (c.path.starts_with("sendto")) {
        return trip + lines::sendto_returned(n, false);
    } else if (c.path.starts_with("sendmsg")) {
        // Classic's TCP round trip of sendmsg writes nothing.
        return lines::sendmsg_first(s, lines::scenario_header, 0) + (c.classic && via == lines::tcp ? "" : trip) +
               lines::sendmsg_returned(n);
    } else if (c.path == "write") {
        return c.classic && via == lines::udp ? lines::udp_echo1(text.size(), false) : trip;
    } else if (c.classic) {
        // Classic neither traces nor routes the other paths.
        return c.path == "sendfile" ? lines::close(0) : c.path == "splice" ? lines::close(0) + lines::close(0) : "";
    } else if (c.path.starts_with("sendmmsg")) {
        return lines::sendmmsg_first(s, lines::scenario_header, 2, 0) + trip + trip + lines::returned("sendmmsg", 2);
    } else if (c.path == "writev") {
        return lines::writev_first(s, pieces, 2) + trip + lines::returned("writev", n);
    } else if (c.path == "sendfile") {
        return lines::sendfile_first(s, 5, n) + trip + lines::returned("sendfile", n) + lines::close(0);
    }
    return lines::splice_first(5, s, n, 0) + trip + lines::returned("splice", n) + lines::close(0) + lines::close(0);
}

// What the classic behaviour prints on the program's standard output: the
// echo of a timed TCP round trip, and UDPecho1's sender and echo.
std::string printed_echo(const SendCase &c)
{
    const bool printed = c.via == "TCP" ? classic_routes(c.path) && c.path != "sendmsg-to" : c.path == "write";
    return !c.classic || !printed ? "" : (c.via == "TCP" ? "" : "received from " + hop + ":7\n") + "buf=" + text + "\n";
}

class EverySendPath : public CoveredTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(EverySendPath, RoundTripsThenTheRealSend)
{
    const SendCase &c = GetParam();
    const bool tcp = c.via == "TCP";
    const bool unconnected_datagrams = !tcp && c.path.ends_with("-to");
    const int messages = c.path.starts_with("sendmmsg") ? 2 : 1;
    const int trips = !c.classic ? messages : classic_routes(c.path) ? 1 : 0;
    const bool recorded = !(c.classic && tcp && c.path == "sendmsg-to");
    const std::string to = c.family == "inet" ? destination : c.family == "inet6" ? destination6 : mapped_destination;
    write_routes({destination, destination6}, c.via);
    std::vector<std::string> steps = {(tcp ? "tcp" : "udp") + std::string(c.family == "inet" ? "4" : "6"), "to", to,
                                      port};
    if (!unconnected_datagrams) {
        steps.push_back("connect");
    }
    steps.insert(steps.end(), {c.path, text, "close"});

    auto result = run(steps, {}, !c.classic);

    // The classic behaviour knows no IPv6 route.
    const std::string loaded = c.classic ? load({destination}) + lines::loader::unknown_host(destination6)
                                         : load({destination, destination6});
    EXPECT_EQ(result.trace, loaded +
                                lines::socket(c.family == "inet" ? "AF_INET" : "AF_UNKNOWN",
                                              tcp ? "SOCK_STREAM" : "SOCK_DGRAM", "IPPROTO_IP", s) +
                                (unconnected_datagrams ? "" : lines::connect_returned(0)) + send_lines(c) +
                                lines::close(0));
    EXPECT_EQ(result.program.out, (unconnected_datagrams ? "" : "app: connect 0\n") + printed_echo(c) + "app: " +
                                      c.path + " " + std::to_string(messages == 2 ? 2 : text.size()) +
                                      "\napp: close 0\n");
    const char *protocol = tcp ? "tcp" : "udp";
    const std::vector<long> lengths(recorded ? trips : 0, static_cast<long>(text.size()));
    EXPECT_EQ(result.timelog_bytes, lengths);
    EXPECT_EQ(result.timelog_ms, result.times);
    EXPECT_EQ(hop_->records(), c.classic ? std::vector<testsupport::HopRecord>(trips, {protocol, text.size(), text})
                                         : filler_records(protocol, lengths));
    if (tcp) {
        EXPECT_EQ(tcp_sink_->streams(), std::vector<std::string>{messages == 2 ? text + text : text});
    } else {
        EXPECT_EQ(udp_sink_->datagrams(), std::vector<std::string>(messages, text));
    }
}

INSTANTIATE_TEST_SUITE_P(BehaviourPathViaFamily, EverySendPath, ::testing::ValuesIn(every_case()),
                         [](const auto &info) { return info.param.name; });

}  // namespace
}  // namespace covered
