// kandrel-hop as a route's hop meets it: every piece echoed whole and in
// order after at least its wait (fixed, jittered or replayed), many
// connections at once, its start-up and stop lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files.hh"
#include "process.hh"
#include "udp_endpoint.hh"
#include "waiting.hh"

namespace {

using namespace std::chrono;
using testsupport::BackgroundProgram;

const std::string hop_path = KANDREL_HOP_PATH;
const std::string hop_address = "127.0.0.2";

// A connected TCP socket to the hop, closed when it goes.
struct hop_connection {
    hop_connection()
    {
        sockaddr_in hop{};
        hop.sin_family = AF_INET;
        hop.sin_port = htons(7);
        inet_pton(AF_INET, hop_address.c_str(), &hop.sin_addr);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&hop), sizeof hop), 0);
    }
    ~hop_connection() { close(fd); }
    std::string receive(std::size_t count)
    {
        std::string bytes(count, '\0');
        std::size_t got = 0;
        for (ssize_t n = 1; got < count && n > 0; got += static_cast<std::size_t>(n)) {
            n = recv(fd, bytes.data() + got, count - got, 0);
        }
        return bytes.substr(0, got);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

class KandrelHop : public ::testing::Test {
protected:
    void start(std::vector<std::string> options)
    {
        options.insert(options.begin(), {hop_path, "--address", hop_address});
        hop_.emplace(testsupport::ProgramRun{.argv = options});
        testsupport::wait_until([] { return testsupport::tcp_accepts(hop_address, 7); }, "kandrel-hop");
    }
    testsupport::ScratchDir scratch_;
    std::optional<BackgroundProgram> hop_;
};

TEST_F(KandrelHop, EchoesEveryPieceInOrderAfterAtLeastItsWait)
{
    const std::string recorded = R"({"t_us":1,"pid":2,"to":"b","hop":"h","protocol":"UDP","bytes":5,"rtt_us":)";
    testsupport::write_file(scratch_.file("run.jsonl"), recorded + R"(120000,"outcome":"echoed"})" "\n");
    struct row {
        std::vector<std::string> options;
        milliseconds least;
        std::string waits;
    };
    for (const row &r : {row{{"--delay-ms", "100"}, 100ms, "100 ms"},
                         row{{"--delay-ms", "100", "--jitter-ms", "30"}, 70ms, "100 ms (jitter 30 ms)"},
                         row{{"--replay", scratch_.file("run.jsonl")}, 120ms,
                             "the round-trip times recorded in " + scratch_.file("run.jsonl") + " in turn"}}) {
        start(r.options);
        hop_connection tcp;
        std::string sent;
        const auto began = steady_clock::now();
        for (int piece = 0; piece < 20; ++piece) {
            const std::string bytes = testsupport::byte_pattern(100 + piece);
            ASSERT_EQ(send(tcp.fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
            sent += bytes;
        }
        EXPECT_EQ(tcp.receive(1), sent.substr(0, 1));
        EXPECT_GE(steady_clock::now() - began, r.least) << r.waits;
        EXPECT_EQ(tcp.receive(sent.size() - 1), sent.substr(1)) << r.waits;

        testsupport::UdpEndpoint udp;
        const auto sent_at = steady_clock::now();
        udp.send_to(hop_address, 7, "datagram");
        const auto echo = udp.receive();
        EXPECT_GE(steady_clock::now() - sent_at, r.least) << r.waits;
        ASSERT_TRUE(echo);
        EXPECT_EQ(echo->bytes, "datagram");
        EXPECT_EQ(echo->from_port, 7);

        const testsupport::ProgramResult end = hop_->stop(SIGTERM);
        EXPECT_EQ(end.exit_status, 0);
        EXPECT_EQ(end.err, "kandrel-hop: echoing TCP and UDP on 127.0.0.2 port 7; each echo waits " + r.waits +
                               "\nkandrel-hop: stopped by SIGTERM\n");
        hop_.reset();
    }
}

TEST_F(KandrelHop, AnswersManyConnectionsAtOnce)
{
    start({"--delay-ms", "50"});
    std::vector<hop_connection> connections(300);
    for (std::size_t i = 0; i < connections.size(); ++i) {
        const std::string number = std::to_string(i + 1000);
        ASSERT_EQ(send(connections[i].fd, number.data(), number.size(), 0), 4);
    }
    for (std::size_t i = 0; i < connections.size(); ++i) {
        EXPECT_EQ(connections[i].receive(4), std::to_string(i + 1000));
    }
}

// A container's first process gets no signal left at its default action.
TEST_F(KandrelHop, StopsOnSigtermAsTheFirstProcessOfItsNamespace)
{
    BackgroundProgram outer({.argv = {"unshare", "--pid", "--fork", hop_path, "--address", hop_address}});
    testsupport::wait_until([] { return testsupport::tcp_accepts(hop_address, 7); }, "kandrel-hop");
    const std::string unshare = std::to_string(outer.pid());
    const std::string first = testsupport::read_file("/proc/" + unshare + "/task/" + unshare + "/children");
    ASSERT_EQ(kill(std::stoi(first), SIGTERM), 0);
    const testsupport::ProgramResult end = outer.stop(0);
    EXPECT_EQ(end.exit_status, 0);
    EXPECT_TRUE(end.err.ends_with("kandrel-hop: stopped by SIGTERM\n")) << end.err;
}

TEST_F(KandrelHop, RefusesBadOptionsAndAnAddressItCannotTake)
{
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{hop_path, "--delay-ms", "soon"}, {hop_path, "--address", "hop.example"}}) {
        const auto result = testsupport::run_program({.argv = argv});
        EXPECT_NE(result.exit_status, 0);
        EXPECT_NE(result.err.find("kandrel-hop: "), std::string::npos) << result.err;
    }
}

}  // namespace
