// Every send path of an application with full coverage, over a TCP and a UDP
// route, to an IPv4, an IPv6 and an IPv4-mapped destination: each send makes
// exactly one round trip per message (its TIME line and timelog record), the
// hop sees only the filler, and the destination gets the program's bytes.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "covered_fixture.hh"

namespace covered {
namespace {

struct SendCase {
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
    for (std::string path : {"send", "sendto", "sendto-to", "sendmsg", "sendmsg-to", "sendmmsg", "sendmmsg-to",
                             "write", "writev", "sendfile", "splice"}) {
        for (std::string via : {"TCP", "UDP"}) {
            for (std::string family : {"inet", "inet6", "mapped"}) {
                std::string name = path + "_" + via + "_" + family;
                std::replace(name.begin(), name.end(), '-', '_');
                cases.push_back({path, via, family, name});
            }
        }
    }
    return cases;
}

const std::string text = "hello, world";
constexpr long s = 4;  // after timelog; the hop sockets sit far above, out of the way
const std::string pieces = "0x14000080";  // the data vector, after two message headers

// The lines of the send itself: its own lines around one round trip per
// message, and the descriptors of the file or pipe it sends from.
std::string send_lines(const std::string &path, lines::Via via)
{
    const long n = static_cast<long>(text.size());
    const std::string trip = lines::round_trip({via}, text);
    if (path == "send") {
        return lines::send_first(s, lines::scenario_data, n, 0) + trip + lines::send_returned(n);
    } else if (path.starts_with("sendto")) {
        return trip + lines::sendto_returned(n, false);
    } else if (path.starts_with("sendmsg")) {
        return lines::sendmsg_first(s, lines::scenario_header, 0) + trip + lines::sendmsg_returned(n);
    } else if (path.starts_with("sendmmsg")) {
        return lines::sendmmsg_first(s, lines::scenario_header, 2, 0) + trip + trip + lines::returned("sendmmsg", 2);
    } else if (path == "write") {
        return trip;
    } else if (path == "writev") {
        return lines::writev_first(s, pieces, 2) + trip + lines::returned("writev", n);
    } else if (path == "sendfile") {
        return lines::sendfile_first(s, 5, n) + trip + lines::returned("sendfile", n) + lines::close(0);
    }
    return lines::splice_first(5, s, n, 0) + trip + lines::returned("splice", n) + lines::close(0) + lines::close(0);
}

class EverySendPath : public CoveredTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(EverySendPath, OneRoundTripPerMessage)
{
    const SendCase &c = GetParam();
    const bool tcp = c.via == "TCP";
    const bool unconnected_datagrams = !tcp && c.path.ends_with("-to");
    const int messages = c.path.starts_with("sendmmsg") ? 2 : 1;
    const std::string to = c.family == "inet" ? destination : c.family == "inet6" ? destination6 : mapped_destination;
    write_routes({destination, destination6}, c.via);
    std::vector<std::string> steps = {(tcp ? "tcp" : "udp") + std::string(c.family == "inet" ? "4" : "6"), "to", to,
                                      port};
    if (!unconnected_datagrams) {
        steps.push_back("connect");
    }
    steps.insert(steps.end(), {c.path, text, "close"});

    auto result = run(steps);

    const lines::Via via = tcp ? lines::tcp : lines::udp;
    EXPECT_EQ(result.trace, load({destination, destination6}) +
                                lines::socket(c.family == "inet" ? "AF_INET" : "AF_UNKNOWN",
                                              tcp ? "SOCK_STREAM" : "SOCK_DGRAM", "IPPROTO_IP", s) +
                                (unconnected_datagrams ? "" : lines::connect_returned(0)) + send_lines(c.path, via) +
                                lines::close(0));
    EXPECT_EQ(result.program.out, (unconnected_datagrams ? "" : "app: connect 0\n") + std::string("app: ") + c.path +
                                      " " + std::to_string(messages == 2 ? 2 : text.size()) + "\napp: close 0\n");
    const std::vector<long> lengths(messages, static_cast<long>(text.size()));
    expect_bounced(result, tcp ? "tcp" : "udp", lengths);
    EXPECT_EQ(result.timelog_ms, result.times);
    if (tcp) {
        EXPECT_EQ(tcp_sink_->streams(), std::vector<std::string>{messages == 2 ? text + text : text});
    } else {
        EXPECT_EQ(udp_sink_->datagrams(), std::vector<std::string>(messages, text));
    }
}

INSTANTIATE_TEST_SUITE_P(PathViaFamily, EverySendPath, ::testing::ValuesIn(every_case()),
                         [](const auto &info) { return info.param.name; });

}  // namespace
}  // namespace covered
