// The path model as a program meets it: through kandrel-run --path, every
// call gives what a kernel socket gives; the bytes reach the destination
// whole and in order, and both directions went through the hop's echo.
// (How long each takes is measured by bench/path_model, never asserted.)
#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "destination_sinks.hh"
#include "files.hh"
#include "hop_services.hh"
#include "lines.hh"
#include "netns.hh"
#include "preloaded_run.hh"
#include "process.hh"
#include "waiting.hh"

namespace path_model {
namespace {

using testsupport::EchoHop;
using testsupport::HopRecord;

const std::string hop = "127.0.0.2";
const std::string echoing = "127.0.0.5";  // an unpreloaded echo server on port 9000
const std::string sinking = "127.0.0.6";  // keeps what came on port 9000; a UDP route
const std::string echoing6 = "fd00::5";

std::string joined(const std::vector<HopRecord> &records)
{
    std::string bytes;
    for (const auto &record : records) {
        bytes += record.bytes;
    }
    return bytes;
}

std::size_t timelog_bytes(const std::string &text)
{
    std::size_t total = 0;
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        total += std::stoul(text.substr(at));
    }
    return total;
}

class PathModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::set_host_name("gamma");
        testsupport::use_private_host_table({"127.0.0.3 gamma"});
        testsupport::add_address("lo", echoing6 + "/128");
        testsupport::write_file(scratch_.file("routes"), "gamma " + echoing + " " + hop + " TCP\ngamma " +
                                                             sinking + " " + hop + " UDP\ngamma " + echoing6 +
                                                             " " + hop + " TCP\n");
        fresh_services();
    }

    void fresh_services()
    {
        echo_.reset();
        hop_.emplace(testsupport::EchoHopOptions{.address = hop, .delay_ms = 5, .delay_line = true});
        echo_.emplace(testsupport::EchoHopOptions{.address = echoing, .port = 9000});
    }

    testsupport::ProgramResult run(const std::vector<std::string> &steps)
    {
        std::vector<std::string> argv{KANDREL_RUN_PATH, "--path", "-r", scratch_.file("routes"), "--",
                                      PATH_PROGRAM_PATH};
        argv.insert(argv.end(), steps.begin(), steps.end());
        auto result = testsupport::run_program({.argv = argv, .cwd = scratch_.path()});
        EXPECT_EQ(result.exit_status, 0) << result.err;
        return result;
    }

    // Eventually the hop has echoed at least this many bytes: up, down and
    // one per handshake (fillers over TCP are sent in whole segments).
    void expect_echoed(std::size_t bytes)
    {
        auto echoed = [&] {
            auto records = hop_->records();
            return std::accumulate(records.begin(), records.end(), std::size_t{0},
                                   [](std::size_t sum, const HopRecord &record) { return sum + record.count; });
        };
        testsupport::wait_until([&] { return echoed() >= bytes; }, "the hop's echoes");
    }

    testsupport::ScratchDir scratch_;
    std::optional<EchoHop> hop_;
    std::optional<EchoHop> echo_;
};

struct Case {
    const char *name;
    std::vector<std::string> steps;
    std::string out;          // the program's own results
    std::string destination;  // what reached the echo server
    std::size_t echoed;       // bytes the hop echoed at least
};

TEST_F(PathModel, CallsGiveWhatAKernelSocketGives)
{
    const std::string sixteen = "abababababababababababababababab";
    for (const Case &row : {
             Case{"back-to-back sends all taken at once, echoed in one piece",
                  {"connect", echoing, "9000", "sends", "16", "ab", "recv", "32", "close"},
                  "connect 0 \nsends 32\nrecv " + sixteen + "\nclose 0\n", sixteen, 1 + 32 + 32},
             Case{"request and response, twice",
                  {"connect", echoing, "9000", "send", "hello", "recv", "5", "send", "world", "recv", "5"},
                  "connect 0 \nsend 5\nrecv hello\nsend 5\nrecv world\n", "helloworld", 1 + 20},
             Case{"a non-blocking connect, then readiness",
                  {"connect-nb", echoing, "9000", "writable", "send", "hi", "recv", "2", "close"},
                  "connect -1 EINPROGRESS\nwritable 0\nsend 2\nrecv hi\nclose 0\n", "hi", 1 + 4},
             Case{"short sends held as Nagle's algorithm holds them, then TCP_NODELAY set and cleared",
                  {"connect", echoing, "9000", "send", "ab", "send", "cd", "nodelay", "1", "send", "ef",
                   "nodelay", "0", "send", "gh", "recv", "8"},
                  "connect 0 \nsend 2\nsend 2\nnodelay 0 1\nsend 2\nnodelay 0 0\nsend 2\nrecv abcdefgh\n",
                  "abcdefgh", 1 + 8},
             Case{"getpeername names the destination",
                  {"connect", echoing, "9000", "peer"}, "connect 0 \npeer 127.0.0.5 9000\n", "", 1},
             Case{"a refused destination refuses the connect", {"connect", echoing, "9001"},
                  "connect -1 ECONNREFUSED\n", "", 1},
             Case{"a non-blocking connect from a socket the program bound to another address",
                  {"from", "127.0.0.8", "connect-nb", echoing, "9000", "writable", "send", "hi", "recv", "2"},
                  "connect -1 EINPROGRESS\nwritable 0\nsend 2\nrecv hi\n", "hi", 1 + 4},
             Case{"a refused non-blocking connect fails then, as a reset",
                  {"connect-nb", echoing, "9001", "outcome"}, "connect -1 EINPROGRESS\nfailed ECONNRESET\n", "", 1},
             Case{"a child of fork sends on the inherited socket",
                  {"connect", echoing, "9000", "fork", "child", "send", "parent", "recv", "11"},
                  "connect 0 \nsend 6\nrecv childparent\n", "childparent", 1 + 22},
             Case{"shutdown delivers the end after the bytes",
                  {"connect", echoing, "9000", "send", "last", "shutdown", "recv", "4", "recv", "1"},
                  "connect 0 \nsend 4\nshutdown 0\nrecv last\nrecv end\n", "last", 1 + 8},
             Case{"datagrams sent back to back all leave, replies reach the program",
                  {"udp", echoing, "9000", "sendtos", "20", "d", "recv", "20"},
                  "sendtos 20\nrecv dddddddddddddddddddd\n", "dddddddddddddddddddd", 20},
             Case{"a connected datagram socket, by send and by write",
                  {"udp-connect", echoing, "9000", "send", "ping", "write", "pong", "recv", "8"},
                  "connect 0\nsend 4\nwrite 4\nrecv pingpong\n", "pingpong", 8},
             Case{"datagrams of sendmsg and sendmmsg, gathered from their pieces",
                  {"udp", echoing, "9000", "sendmsgs", "3", "ab", "sendmmsg", "5", "cd", "recv", "16"},
                  "sendmsgs 6\nsendmmsg 5 10\nrecv abababcdcdcdcdcd\n", "abababcdcdcdcdcd", 16},
         }) {
        SCOPED_TRACE(row.name);
        fresh_services();
        auto result = run(row.steps);
        EXPECT_EQ(result.out, row.out);
        EXPECT_EQ(result.err.find("echo()\t"), std::string::npos) << "a send waited for its round trip";
        testsupport::wait_until([&] { return joined(echo_->records()).size() >= row.destination.size(); },
                                "the destination's bytes");
        EXPECT_EQ(joined(echo_->records()), row.destination);
        expect_echoed(row.echoed);
        std::size_t sent = row.destination.size();
        testsupport::wait_until(
            [&] { return timelog_bytes(testsupport::read_file(scratch_.file("timelog"))) >= sent; },
            "the timelog's records");
        EXPECT_EQ(timelog_bytes(testsupport::read_file(scratch_.file("timelog"))), sent);
    }
}

TEST_F(PathModel, NamesAreTheRealConnectionsNotTheRelays)
{
    auto result = run({"connect", echoing, "9000", "peer"});
    EXPECT_EQ(result.out, "connect 0 \npeer 127.0.0.5 9000\n");
    long s = std::stol(result.err.substr(result.err.find("socket value = ") + 15));
    EXPECT_NE(result.err.find(lines::connect(s, "", 0, 0, false) +
                              lines::getpeername(s, "128", 0, echoing + ":9000", "16")),
              std::string::npos)
        << result.err;

    echo_.emplace(testsupport::EchoHopOptions{.address = echoing6, .port = 9000});
    // The relay's connection leaves from fd00::5; the program's socket is
    // really bound to ::1. A copy, and the socket after exec, are known as
    // the socket is.
    EXPECT_EQ(run({"connect", echoing6, "9000", "peer", "local", "dup", "peer", "local", "nodelay", "1", "send", "v6",
                   "recv", "2"})
                  .out,
              "connect 0 \npeer fd00::5 9000\nlocal fd00::5\ndup\npeer fd00::5 9000\nlocal fd00::5\nnodelay 0 "
              "1\nsend 2\nrecv v6\n");
    EXPECT_EQ(run({"connect", echoing6, "9000", "exec", "peer", "local", "send", "v6", "recv", "2"}).out,
              "connect 0 \npeer fd00::5 9000\nlocal fd00::5\nsend 2\nrecv v6\n");
}

// A non-blocking connect stays under way until the relay has the
// destination's answer and the hop's echo: not writable before, and asking
// again meanwhile gets the kernel's EALREADY.
TEST_F(PathModel, NonBlockingConnectIsPendingForItsRoundTrip)
{
    hop_.emplace(testsupport::EchoHopOptions{.address = hop, .delay_ms = 300, .delay_line = true});
    EXPECT_EQ(run({"connect-nb", echoing, "9000", "pending", "again", echoing, "9000", "writable", "peer"}).out,
              "connect -1 EINPROGRESS\npending\nconnect -1 EALREADY\nwritable 0\npeer 127.0.0.5 9000\n");
}

// With no relay to reach (it ended, or never started), a routed connect is
// delayed as full coverage delays it, send by send, rather than not at all.
TEST_F(PathModel, WithoutItsRelayAConnectionIsDelayedSendBySend)
{
    auto result = testsupport::run_preloaded(
        {.argv = {PATH_PROGRAM_PATH, "connect", echoing, "9000", "send", "hi", "recv", "2"},
         .cwd = scratch_.path(),
         .env = {{"QUOR_ROUTE_TABLE", scratch_.file("routes")},
                 {"KANDREL_COVERAGE", "path"},
                 {"KANDREL_PATH_RELAY", "@kandrel-path-gone"}}});
    EXPECT_EQ(result.program.out, "connect 0 \nsend 2\nrecv hi\n");
    EXPECT_EQ(result.timelog_bytes, std::vector<long>{2});
    EXPECT_EQ(hop_->connect_echoes(), 1u);
}

// A server under kandrel-run whose client's address is routed: the
// connection it accepts is carried by the relay as a connect's is.
TEST_F(PathModel, AcceptedConnectionsFromRoutedPeersAreCarriedToo)
{
    const std::string client = "127.0.0.8";
    testsupport::write_file(scratch_.file("routes"), "gamma " + client + " " + hop + " TCP\n");
    testsupport::BackgroundProgram server(
        {.argv = {KANDREL_RUN_PATH, "-r", scratch_.file("routes"), "--", PATH_PROGRAM_PATH, "serve", "127.0.0.7",
                  "9100", "recv", "5", "send", "world", "local", "nodelay", "1", "send", "!", "recv", "1"},
         .cwd = scratch_.path()});
    testsupport::wait_until([] { return testsupport::tcp_listening(9100); }, "the server");
    auto result = testsupport::run_program(
        {.argv = {PATH_PROGRAM_PATH, "from", client, "connect", "127.0.0.7", "9100", "send", "hello", "recv", "6"}});
    EXPECT_EQ(result.out, "connect 0 \nsend 5\nrecv world!\n");
    auto served = server.stop(0);
    EXPECT_EQ(served.exit_status, 0) << served.err;
    EXPECT_EQ(served.out, "accepted 127.0.0.8\nrecv hello\nsend 5\nlocal 127.0.0.7\nnodelay 0 1\nsend 1\nrecv end\n");
    EXPECT_EQ(served.err.find("echo()\t"), std::string::npos) << "a send waited for its round trip";
    expect_echoed(5 + 6);
    EXPECT_EQ(timelog_bytes(testsupport::read_file(scratch_.file("timelog"))), 6u);
}

TEST_F(PathModel, CloseDeliversWhatIsStillInFlight)
{
    testsupport::TcpSink sink(sinking, 9000);
    auto result = run({"connect", sinking, "9000", "bulk", "3000000", "close"});
    EXPECT_EQ(result.out, "connect 0 \nbulk 3000000\nclose 0\n");
    auto streams = sink.streams();
    ASSERT_EQ(streams.size(), 1u);
    ASSERT_EQ(streams[0].size(), 3000000u);
    EXPECT_EQ(streams[0].substr(2999990), "ghijklmnop");
}

}  // namespace
}  // namespace path_model
