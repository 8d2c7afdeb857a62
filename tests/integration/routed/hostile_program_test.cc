// Programs that fight over what the library holds: they close or take over
// its descriptors and the standard streams, share a routed socket between
// threads and processes, send from signal handlers, pass unreadable buffers
// and start themselves afresh. Routing goes on and never harms them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "routed_fixture.hh"

namespace routed {
namespace {

using testsupport::EchoHop;
const lines::Trip quiet{lines::tcp};

class HostileProgram : public RoutedTest {
protected:
    void route(const std::string &protocol) { write_routes("alpha " + destination + " " + hop_address + " " + protocol + "\n"); }

    // The lines up to the routed socket's quiet connect.
    static std::string connected(lines::Via via)
    {
        return load({destination}, via == lines::tcp ? 1 : 2, false) +
               (via == lines::tcp ? lines::tcp_socket(4) : lines::udp_socket(4)) + lines::connect_returned(0);
    }
};

// The lines of a program closing every descriptor from 3 to 1023 one by one,
// of which 3 to last_open were open.
std::string close_loop(long last_open)
{
    std::string text;
    for (long s = 3; s < 1024; ++s) {
        text += lines::close(s <= last_open ? 0 : -1);
    }
    return text;
}

// What the program does to the library's descriptors (timelog 3, hop socket
// 5) after a routed send on socket 4, then sending again.
struct DescriptorTakeover {
    const char *name;
    std::vector<std::string> steps;
    std::string trace;
    std::vector<std::string> streams;  // what the destination received
};

const DescriptorTakeover takeovers[] = {
    {"close loop", {"closeall", "loop", "tcp", "connect", at_port(destination), "send", "again"},
     close_loop(5) + lines::tcp_socket(3) + lines::connect_returned(0) + lines::routed_send(quiet, 3, "again"),
     {"hello", "again"}},
    {"close_range", {"closeall", "range", "tcp", "connect", at_port(destination), "send", "again"},
     lines::tcp_socket(3) + lines::connect_returned(0) + lines::routed_send(quiet, 3, "again"), {"hello", "again"}},
    {"closefrom", {"closeall", "from", "tcp", "connect", at_port(destination), "send", "again"},
     lines::tcp_socket(3) + lines::connect_returned(0) + lines::routed_send(quiet, 3, "again"), {"hello", "again"}},
    {"dup2 of a file", {"file", "own", "onto", "dup2", "3", "onto", "dup2", "5", "use=0", "send", "again"},
     lines::routed_send(quiet, 4, "again"), {"helloagain"}},
    {"dup3 of a file", {"file", "own", "onto", "dup3", "3", "onto", "dup3", "5", "use=0", "send", "again"},
     lines::routed_send(quiet, 4, "again"), {"helloagain"}},
};

// The library notices and reopens what it lost: a new hop connection, the
// timelog by its path, appended to and never emptied; the program's own file
// on those numbers gets none of the library's bytes.
TEST_F(HostileProgram, LibraryDescriptorsTakenByTheProgramAreReopened)
{
    route("TCP");
    EchoHop hop({hop_address});
    for (const DescriptorTakeover &takeover : takeovers) {
        SCOPED_TRACE(takeover.name);
        TcpSink sink(destination, destination_port);
        std::vector<std::string> steps = {"tcp", "connect", at_port(destination), "send", "hello"};
        steps.insert(steps.end(), takeover.steps.begin(), takeover.steps.end());
        auto outcome = run(steps);
        EXPECT_EQ(outcome.trace, connected(lines::tcp) + lines::routed_send(quiet, 4, "hello") + takeover.trace);
        expect_records(outcome, {5, 5});
        EXPECT_EQ(sink.streams(), takeover.streams);
        if (testsupport::file_exists(scratch_.file("own"))) {
            EXPECT_EQ(testsupport::read_file(scratch_.file("own")), "");
        }
    }
    EXPECT_EQ(hop.records().size(), 2 * std::size(takeovers));
}

// The routed socket put on a standard stream's number: no trace line or
// echo reaches the program's peer through it, whichever call put it there.
struct StreamTakeover {
    const char *how;
    int number;
};

const StreamTakeover stream_takeovers[] = {{"dup2", 2}, {"dup3", 2}, {"dup", 2}, {"fcntl", 2}, {"dup2", 1}};

TEST_F(HostileProgram, SocketOnAStandardStreamCarriesOnlyTheProgramsBytes)
{
    route("TCP");
    EchoHop hop({hop_address});
    for (const StreamTakeover &takeover : stream_takeovers) {
        SCOPED_TRACE(std::string(takeover.how) + " onto " + std::to_string(takeover.number));
        TcpSink sink(destination, destination_port);
        auto outcome = run({"tcp", "connect", at_port(destination), "onto", takeover.how,
                            std::to_string(takeover.number), "send", "hi"});
        const bool on_stderr = takeover.number == 2;
        EXPECT_EQ(outcome.trace, connected(lines::tcp) + (on_stderr ? "" : lines::routed_send(quiet, 4, "hi")));
        // The program's own output after the move is its data on the socket.
        EXPECT_EQ(outcome.program.out,
                  std::string("app: socket 4\napp: connect 0\n") + (on_stderr ? "buf=hi\napp: send 2\n" : ""));
        EXPECT_EQ(sink.streams(), std::vector<std::string>{on_stderr ? "hi" : "hiapp: send 2\n"});
        EXPECT_EQ(outcome.timelog_bytes, std::vector<long>{2});
    }
}

// Each echo line a run printed with the prefix, counted by its text.
std::map<std::string, int> echo_counts(const std::string &text, const std::string &prefix)
{
    std::map<std::string, int> counts;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(prefix)) {
            ++counts[line.substr(prefix.size())];
        }
    }
    return counts;
}

std::map<long, int> value_counts(const std::vector<long> &values)
{
    std::map<long, int> counts;
    for (long value : values) {
        ++counts[value];
    }
    return counts;
}

// Senders of one routed TCP socket, each with a text of its own length: every
// echo comes back whole to its own sender, and every round trip is timed and
// recorded once. Threads share the route's hop connection one round trip at a
// time; a child of fork opens its own.
TEST_F(HostileProgram, SendersSharingARoutedSocketEachGetTheirOwnEcho)
{
    route("TCP");
    EchoHop hop({hop_address, 7, 2});
    constexpr int sends = 15;
    std::vector<std::string> child = {"fork", std::to_string(2 * sends)}, parent;
    for (int k = 0; k < sends; ++k) {
        child.insert(child.end(), {"send", "bbbbb"});
        parent.insert(parent.end(), {"send", "AAA"});
    }
    struct Sharing {
        const char *name;
        std::vector<std::string> steps;
        std::map<std::string, int> echoes;
    };
    const Sharing sharings[] = {
        {"threads", {"shared", "3", std::to_string(sends)}, {{"A", sends}, {"BB", sends}, {"CCC", sends}}},
        {"fork", {}, {{"AAA", sends}, {"bbbbb", sends}}},
    };
    for (const Sharing &sharing : sharings) {
        SCOPED_TRACE(sharing.name);
        TcpSink sink(destination, destination_port);
        std::vector<std::string> steps = {"tcp", "connect", at_port(destination)};
        if (sharing.steps.empty()) {
            steps.insert(steps.end(), child.begin(), child.end());
            steps.insert(steps.end(), parent.begin(), parent.end());
        } else {
            steps.insert(steps.end(), sharing.steps.begin(), sharing.steps.end());
        }
        auto outcome = run(steps);
        EXPECT_EQ(echo_counts(outcome.program.out, "buf="), sharing.echoes);
        std::map<long, int> recorded;
        std::size_t bytes = 0;
        for (const auto &[text, count] : sharing.echoes) {
            recorded[static_cast<long>(text.size())] = count;
            bytes += text.size() * static_cast<std::size_t>(count);
        }
        EXPECT_EQ(value_counts(outcome.timelog_bytes), recorded);
        EXPECT_EQ(value_counts(outcome.timelog_ms), value_counts(outcome.times));
        auto streams = sink.streams();
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams[0].size(), bytes);
    }
}

// A SIGALRM handler sending on the routed socket every millisecond while
// the program itself sends: the handler's sends that interrupted the library
// go straight out, the others make their round trips; nothing hangs,
// crashes or is lost, and each of the program's own sends is recorded once.
TEST_F(HostileProgram, SendsFromASignalHandlerNeitherHangNorCrash)
{
    route("TCP");
    EchoHop hop({hop_address});
    TcpSink sink(destination, destination_port);
    constexpr long sends = 300;
    auto outcome = run({"tcp", "connect", at_port(destination), "alarmed", std::to_string(sends), "main", "sig"});
    EXPECT_NE(outcome.program.out.find("app: alarmed sent 300 of 300\n"), std::string::npos) << outcome.program.out;
    auto streams = sink.streams();
    ASSERT_EQ(streams.size(), 1u);
    const long from_main = static_cast<long>(testsupport::occurrences(streams[0], "main"));
    const long from_handler = static_cast<long>(testsupport::occurrences(streams[0], "sig"));
    EXPECT_EQ(from_main, sends);
    EXPECT_EQ(static_cast<long>(streams[0].size()), 4 * from_main + 3 * from_handler);
    auto recorded = value_counts(outcome.timelog_bytes);
    EXPECT_EQ(recorded[4], sends);
    EXPECT_LE(recorded[3], from_handler);
    EXPECT_EQ(outcome.timelog_ms, outcome.times);
}

// A send whose buffer cannot be read fails as it would without the library;
// its round trip fails at the hop's first chunk and says so, without waiting
// out any bound and without a record.
TEST_F(HostileProgram, UnreadableSendBufferFailsWithoutWaiting)
{
    struct BadBuffer {
        lines::Via via;
        const char *protocol;
        const char *operation;
        const char *echo;  // on standard output
    };
    for (const BadBuffer &bad : {BadBuffer{lines::tcp, "TCP", "TCPecho", "buf=\n"},
                                 BadBuffer{lines::udp, "UDP", "UDPecho", ""}}) {
        SCOPED_TRACE(bad.protocol);
        route(bad.protocol);
        EchoHop hop({hop_address});
        TcpSink stream_sink(destination, destination_port);
        UdpSink datagram_sink(destination, destination_port);
        auto outcome = run({bad.via == lines::tcp ? "tcp" : "udp", "connect", at_port(destination), "baddata", "send",
                            "#3000"});
        EXPECT_EQ(outcome.trace, connected(bad.via) + lines::send_first(4, lines::scenario_bad_data, 3000, 0) +
                                     lines::hop_not_reached(bad.operation, "Bad address") + lines::send_returned(-1));
        EXPECT_EQ(outcome.program.out, std::string("app: socket 4\napp: connect 0\n") + bad.echo + "app: send -1 EFAULT\n");
        expect_records(outcome, {});
        EXPECT_EQ(hop.record_text(), "");
    }
}

// A child that runs the program afresh loads the routes and empties timelog
// again; the parent's later record is appended after the child's, never
// written at its old offset over them.
TEST_F(HostileProgram, FreshLoadInAChildLeavesTheParentsRecordsWhole)
{
    route("TCP");
    EchoHop hop({hop_address});
    TcpSink sink(destination, destination_port);
    auto outcome = run({"tcp", "connect", at_port(destination), "send", "hello", "spawn", "5", "tcp", "connect",
                        at_port(destination), "send", "#10", "send", "world"});
    EXPECT_EQ(outcome.trace, connected(lines::tcp) + lines::routed_send(quiet, 4, "hello") + connected(lines::tcp) +
                                 lines::routed_send(quiet, 4, letter_pattern(10)) +
                                 lines::routed_send(quiet, 4, "world"));
    EXPECT_EQ(outcome.timelog_bytes, (std::vector<long>{10, 5}));
    EXPECT_EQ(hop.record_text(), "tcp 5 hello\ntcp 10 " + letter_pattern(10) + "\ntcp 5 world\n");
}

}  // namespace
}  // namespace routed
