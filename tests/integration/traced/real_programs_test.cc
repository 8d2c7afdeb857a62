// Programs nobody wrote for the library: python3 opening, binding, listening,
// connecting and closing sockets (it passes SOCK_CLOEXEC), and a C program
// built with _FORTIFY_SOURCE, whose receives go through glibc's checking twins.
#include <set>
#include <sstream>

#include "elf_symbols.hh"
#include "traced_fixture.hh"

namespace {

using RealPrograms = TracedRun;

const char *const python_sockets = R"(
import os, socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 5555))
server.listen(4)
client = socket.socket()
client.connect(("127.0.0.1", 5555))
datagram = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
print(server.fileno(), client.fileno(), datagram.fileno())
sys.stdout.flush()
datagram.close(); client.close(); server.close()
os._exit(0)
)";

TEST_F(RealPrograms, PythonSocketsAreTraced)
{
    if (std::string(TRACED_PYTHON3).empty()) {
        GTEST_SKIP() << "no python3 in /usr/bin";
    }
    auto r = traced::run_traced({TRACED_PYTHON3, "-c", python_sockets}, dir.path());
    ASSERT_EQ(r.run.exit_status, 0) << testsupport::describe(r.run);
    long server = -1, client = -1, datagram = -1;
    std::istringstream(r.run.out) >> server >> client >> datagram;
    ASSERT_GE(datagram, 0) << r.run.out;

    std::string expected = lines::route_load(false) + lines::tcp_socket(server) +
                           lines::bind(server, "127.0.0.1:5555", 16, 0) + lines::listen(server, 4, 0) +
                           lines::tcp_socket(client) +
                           lines::connect(client, "127.0.0.1:5555", 16, 0, false) +
                           lines::udp_socket(datagram) + lines::close(0) +
                           lines::close(0) + lines::close(0);
    // Before its first socket the interpreter closes the module files it read.
    const std::string &err = r.run.err;
    ASSERT_GE(err.size(), expected.size()) << err;
    EXPECT_EQ(err.substr(err.size() - expected.size()), expected);
    std::string startup = err.substr(0, err.size() - expected.size());
    EXPECT_EQ(occurrences(startup, lines::close(0)) * lines::close(0).size(), startup.size()) << startup;
}

TEST_F(RealPrograms, FortifiedReceivesAreTracedLikeThePlainOnes)
{
    // The premise: the build really calls the checking twins.
    std::set<std::string> used;
    for (const auto &symbol : testsupport::elf_dynamic_symbols(traced::scenario_path("fortified_calls"))) {
        used.insert(symbol.name);
    }
    for (const char *twin : {"__recv_chk", "__recvfrom_chk", "__read_chk"}) {
        EXPECT_EQ(used.count(twin), 1u) << twin << " not called";
    }

    auto r = run("fortified_calls");
    long receiver = r.number("receiver");
    std::string expected = receiver_and_sender(r);
    for (int i = 0; i < 4; ++i) {
        expected += lines::sendto(3, false);
    }
    expected += lines::recv(receiver, r.pointer("buf"), r.number("length"), 0, 3) + lines::recvfrom(false) +
                lines::recvfrom(true) + lines::close(0) + lines::close(0);
    EXPECT_EQ(r.run.err, expected);
    for (const char *outcome : {"recv 3 EDOM", "recvfrom 3 EDOM", "recvfrom_debug 3 EDOM", "read 3 EDOM"}) {
        EXPECT_TRUE(r.has_outcome(outcome)) << outcome;
    }
}

}  // namespace
