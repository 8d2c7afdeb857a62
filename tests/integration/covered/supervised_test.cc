// Programs no library can be preloaded into, run through kandrel-run, which
// supervises their system calls: a statically linked program's sends by
// every path, bash-static's /dev/tcp and a Go HTTP client are delayed and
// recorded as full coverage delays them, with the trace lines it writes
// before each call.
#include <filesystem>
#include <string>
#include <vector>

#include "covered_fixture.hh"
#include "waiting.hh"

namespace covered {
namespace {

const std::string text = "hello";
constexpr long s = 3;  // the program's first socket: no library holds timelog open

class Supervised : public CoveredTest {
protected:
    testsupport::PreloadedResult launch(const std::vector<std::string> &program,
                                        const std::vector<std::string> &options = {})
    {
        std::vector<std::string> argv = {KANDREL_RUN_PATH, "-q", "--no-check", "-r", scratch_.file("routes")};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("--");
        argv.insert(argv.end(), program.begin(), program.end());
        auto result = testsupport::run_preloaded({.argv = argv, .cwd = scratch_.path(), .preload = false});
        EXPECT_EQ(result.program.exit_status, 0) << testsupport::describe(result.program);
        return result;
    }
};

struct SendCase {
    std::string path;  // the send_paths step
    std::string lines;  // what the supervisor writes before the round trip, if anything
    int trips = 1;
};

TEST_F(Supervised, StaticProgramsSendsAreDelayedOnEveryPath)
{
    const std::string pieces = "0x14000080";
    std::vector<std::string> streams;
    for (const SendCase &c : {SendCase{"send", ""}, SendCase{"write", ""},
                              SendCase{"writev", lines::writev_first(s, pieces, 2)},
                              SendCase{"sendmsg", lines::sendmsg_first(s, lines::scenario_header, 0)},
                              SendCase{"sendmmsg", lines::sendmmsg_first(s, lines::scenario_header, 2, 0), 2},
                              SendCase{"sendfile", lines::sendfile_first(s, s + 1, 5)}}) {
        for (lines::Via via : {lines::tcp, lines::udp}) {
            SCOPED_TRACE(c.path + (via == lines::tcp ? " TCP" : " UDP"));
            write_routes({destination}, via == lines::tcp ? "TCP" : "UDP");
            hop_.emplace(testsupport::EchoHopOptions{.address = hop, .delay_ms = 5});
            auto result = launch({SEND_PATHS_STATIC_PATH, via == lines::tcp ? "tcp4" : "udp4", "to", destination,
                                  port, "connect", c.path, text, "close"});
            std::string trips, sent;
            for (int i = 0; i < c.trips; ++i) {
                trips += lines::round_trip({via}, text);
                sent += text;
            }
            if (via == lines::tcp) {
                streams.push_back(sent);
            }
            EXPECT_EQ(result.trace, load({destination}) + c.lines + trips);
            expect_bounced(result, via == lines::tcp ? "tcp" : "udp", std::vector<long>(c.trips, 5));
            // A connect over a TCP route costs its round trip, as the library's does.
            EXPECT_EQ(hop_->connect_echoes(), via == lines::tcp ? 1u : 0u);
        }
    }
    EXPECT_EQ(tcp_sink_->streams(), streams);
}

TEST_F(Supervised, DatagramsToARoutedAddressAndNoOtherAreDelayed)
{
    write_routes({destination}, "UDP");
    auto result = launch({SEND_PATHS_STATIC_PATH, "udp4", "to", unrouted_destination, port, "sendto-to", text,
                          "to", destination, port, "sendto-to", text, "sendmsg-to", text});
    EXPECT_EQ(result.trace, load({destination}) + lines::round_trip({lines::udp}, text) +
                                lines::sendmsg_first(s, lines::scenario_header, 0) +
                                lines::round_trip({lines::udp}, text));
    expect_bounced(result, "udp", {5, 5});
}

// A datagram socket's connect has no handshake to pay for, whatever the
// route's hop protocol.
TEST_F(Supervised, ADatagramSocketsConnectCostsNoRoundTrip)
{
    write_routes({destination}, "TCP");
    hop_.emplace(testsupport::EchoHopOptions{.address = hop});
    auto result = launch({SEND_PATHS_STATIC_PATH, "udp4", "to", destination, port, "connect", "send", text});
    expect_bounced(result, "tcp", {5});
    EXPECT_EQ(hop_->connect_echoes(), 0u);
}

TEST_F(Supervised, ForkedChildIsSupervisedAndRecordedToo)
{
    write_routes({destination}, "TCP");
    auto result = launch({SEND_PATHS_STATIC_PATH, "tcp4", "to", destination, port, "connect", "fork", "write",
                          text, "close"},
                         {"--record", "run.jsonl"});
    EXPECT_EQ(result.trace, load({destination}) + lines::round_trip({lines::tcp}, text) +
                                lines::round_trip({lines::tcp}, text));
    expect_bounced(result, "tcp", {5, 5});
    std::string recording = testsupport::read_file(scratch_.file("run.jsonl"));
    EXPECT_EQ(testsupport::occurrences(recording, "\"to\":\"" + destination + "\",\"hop\":\"" + hop +
                                                      "\",\"protocol\":\"TCP\",\"bytes\":5,"),
              2u)
        << recording;
}

TEST_F(Supervised, AServerBouncesItsRepliesToARoutedPeer)
{
    write_routes({destination}, "TCP");
    // A listener on 127.0.0.1, a client from the routed address to it, and
    // the reply on the accepted socket, bound at its first send.
    auto result = launch({SEND_PATHS_STATIC_PATH, "tcp4", "to", "127.0.0.1", "9100", "bind", "listen", "tcp4", "to",
                          destination, "0", "bind", "to", "127.0.0.1", "9100", "connect", "use=0", "accept4", "send",
                          "reply", "use=1", "recv"});
    EXPECT_EQ(result.trace, load({destination}) + lines::round_trip({lines::tcp}, "reply"));
    expect_bounced(result, "tcp", {5});
    EXPECT_TRUE(result.program.out.ends_with("app: recv reply\n")) << result.program.out;
}

// -o names the trace file, "%p" the process: the program's, as the library
// would name it.
TEST_F(Supervised, TraceGoesToTheFileNamed)
{
    write_routes({destination}, "UDP");
    auto result = launch({SEND_PATHS_STATIC_PATH, "udp4", "to", destination, port, "sendto-to", text},
                         {"-o", "trace.%p"});
    EXPECT_EQ(result.program.err, "");
    std::vector<std::string> traces;
    for (const auto &entry : std::filesystem::directory_iterator(scratch_.path())) {
        if (entry.path().filename().string().starts_with("trace.")) {
            traces.push_back(testsupport::read_file(entry.path()));
        }
    }
    std::vector<long> times;
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(testsupport::mask_times(traces[0], times), load({destination}) + lines::round_trip({lines::udp}, text));
}

TEST_F(Supervised, BashStaticWritingToDevTcp)
{
    write_routes({destination}, "TCP");
    auto result = launch({"bash-static", "-c", "echo hello >/dev/tcp/" + destination + "/" + port});
    EXPECT_EQ(result.trace, load({destination}) + lines::round_trip({lines::tcp}, "hello\n"));
    expect_bounced(result, "tcp", {6});
    EXPECT_EQ(tcp_sink_->streams(), std::vector<std::string>{"hello\n"});
}

// Go programs make their own system calls even when dynamically linked.
TEST_F(Supervised, GoHttpClientIsDelayedPerRequest)
{
    testsupport::BackgroundProgram server(
        {.argv = {"python3", "-m", "http.server", "8080", "--bind", destination}, .cwd = scratch_.path()});
    testsupport::wait_until([] { return testsupport::tcp_accepts(destination, 8080); }, "the HTTP server");
    write_routes({destination}, "TCP");
    auto result = launch({"hey", "-n", "5", "-c", "1", "http://" + destination + ":8080/"});
    ASSERT_EQ(result.timelog_bytes.size(), 5u) << result.trace;
    EXPECT_EQ(testsupport::occurrences(result.trace, lines::tcp_echo(false)), 5u);
    EXPECT_EQ(hop_->records(), filler_records("tcp", result.timelog_bytes));
    EXPECT_NE(result.program.out.find("[200]\t5 responses"), std::string::npos) << result.program.out;
}

}  // namespace
}  // namespace covered
