// The application cannot tell the library is there: results and errno as
// without it (even when every trace write fails), its own data streams never
// carry trace text when it reuses the standard descriptor numbers for
// sockets, and threads tracing at once neither crash nor tear the texts.
#include <filesystem>
#include <sys/socket.h>

#include "traced_fixture.hh"

namespace {

using Robustness = TracedRun;

struct OutcomeCase {
    const char *scenario;
    std::vector<std::string> args;
};

void PrintTo(const OutcomeCase &outcome_case, std::ostream *out)
{
    *out << outcome_case.scenario;
}

class SameOutcomes : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(SameOutcomes, AsWithoutTheLibrary)
{
    testsupport::ScratchDir bare_dir, traced_dir;
    auto bare = traced::run_scenario(GetParam().scenario, bare_dir.path(), GetParam().args, false);
    auto preloaded = traced::run_scenario(GetParam().scenario, traced_dir.path(), GetParam().args);
    ASSERT_EQ(bare.run.exit_status, 0) << testsupport::describe(bare.run);
    ASSERT_EQ(preloaded.run.exit_status, 0) << testsupport::describe(preloaded.run);
    EXPECT_FALSE(bare.outcomes.empty());
    EXPECT_EQ(preloaded.outcomes, bare.outcomes);
    EXPECT_EQ(bare.run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SameOutcomes,
                         ::testing::Values(OutcomeCase{"stream_calls", {}}, OutcomeCase{"local_calls", {}},
                                           OutcomeCase{"datagram_calls", {}}, OutcomeCase{"bad_input", {}},
                                           OutcomeCase{"debug_switch", {}},
                                           OutcomeCase{"socket_options", {"1:3", "1:99", "6:1", "17:1", "-1:-1"}},
                                           OutcomeCase{"fortified_calls", {}}, OutcomeCase{"bad_pointers", {}}),
                         [](const auto &info) { return std::string(info.param.scenario); });

TEST_F(Robustness, ErrnoIsTheRealCallsEvenWhenTraceWritesFail)
{
    testsupport::ScratchDir bare_dir, full_dir;
    auto bare = traced::run_scenario("errno_kept", bare_dir.path(), {}, false);
    auto traced_run = run("errno_kept");
    auto full = traced::run_scenario("errno_kept", full_dir.path(), {"stderr-full"});
    ASSERT_EQ(bare.run.exit_status, 0) << testsupport::describe(bare.run);
    ASSERT_EQ(full.run.exit_status, 0) << testsupport::describe(full.run);

    // Each call once failing and once succeeding; succeeding calls leave
    // errno as the application set it.
    for (const char *outcome : {"socket -1 EAFNOSUPPORT", "bind -1 EADDRINUSE", "bind 0 EDOM",
                                "getsockopt -1 ENOPROTOOPT", "getsockopt 0 EDOM", "connect -1 ECONNREFUSED",
                                "connect 0 EDOM", "recv -1 EAGAIN", "recv 3 EDOM", "close -1 EBADF", "close 0 EDOM",
                                "select -1 EINVAL", "select 0 EDOM", "write -1 EBADF", "write 2 EDOM",
                                "sendto -1 EDESTADDRREQ", "sendto 1 EDOM", "socketpair -1 EOPNOTSUPP",
                                "socketpair 0 EDOM", "shutdown -1 ENOTCONN", "shutdown 0 EDOM"}) {
        EXPECT_TRUE(bare.has_outcome(outcome)) << outcome << "\n" << testsupport::describe(bare.run);
    }
    EXPECT_EQ(traced_run.outcomes, bare.outcomes);
    EXPECT_EQ(full.outcomes, bare.outcomes);
    EXPECT_NE(traced_run.run.err, "");
    EXPECT_EQ(full.run.err, "");
}

TEST_F(Robustness, SocketOnTheStandardErrorNumberCarriesNoTrace)
{
    auto r = run("descriptors_taken", {"stderr"});
    ASSERT_EQ(r.number("taken"), 2) << testsupport::describe(r.run);
    ASSERT_EQ(r.number("after_file"), 2) << testsupport::describe(r.run);
    long listener = r.number("listener");

    // Until the program closed descriptor 2 the trace went there as usual.
    EXPECT_EQ(r.run.err, lines::route_load(false) + lines::tcp_socket(listener) +
                             lines::bound_on_loopback(listener, r.text("port")) +
                             lines::listen(listener, 1, 0));
    // While 2 was the program's socket its peer got only the program's bytes.
    EXPECT_EQ(r.text("peer_received"), "payload");
    for (const char *outcome : {"getsockopt 0 EDOM", "connect 0 EDOM", "send 7 EDOM", "getpeername 0 EDOM",
                                "shutdown 0 EDOM"}) {
        EXPECT_TRUE(r.has_outcome(outcome)) << outcome;
    }
    // Once the socket was closed, the file the program opened as 2 gets the trace.
    EXPECT_EQ(testsupport::read_file(dir.file("after.trace")),
              lines::socket("AF_UNIX", "SOCK_DGRAM", "IPPROTO_IP", r.number("later")) + lines::close(0) +
                  lines::close(0) + lines::close(0));
}

TEST_F(Robustness, SocketOnTheStandardOutputNumberCarriesNoLibraryOutput)
{
    // The load's complaint about timelog is due while descriptor 1 is one
    // end of the program's socket pair.
    std::filesystem::create_directory(dir.file("timelog"));
    auto r = run("descriptors_taken", {"stdout"});
    ASSERT_EQ(r.number("pair0"), 1) << testsupport::describe(r.run);
    EXPECT_EQ(r.text("peer_received"), "mine\\n");
    EXPECT_EQ(r.run.out.find("timelog"), std::string::npos) << r.run.out;
    EXPECT_EQ(r.run.err, lines::close(0) +
                             lines::socketpair("AF_UNIX", "SOCK_STREAM", "IPPROTO_IP", 0, "1", r.text("pair1")) +
                             lines::udp_socket(r.number("s")) +
                             lines::recv(r.number("pair1"), r.pointer("received"), 64, MSG_DONTWAIT, 5) +
                             lines::close(0) + lines::close(0) + lines::close(0));
}

TEST_F(Robustness, ThreadsTracingAtOnceKeepTheirOwnTexts)
{
    auto r = run("threads");
    ASSERT_EQ(r.run.term_signal, 0) << testsupport::describe(r.run);
    const size_t workers = static_cast<size_t>(r.number("workers"));
    const size_t rounds = static_cast<size_t>(r.number("rounds"));
    const std::string &err = r.run.err;

    // The threads raced into their first socket(); one of them started the load.
    EXPECT_EQ(occurrences(err, lines::route_load(false)), 1u);
    EXPECT_EQ(occurrences(err, "init_route"), 1u);
    EXPECT_EQ(occurrences(err, lines::first_line(lines::socket("AF_UNIX", "SOCK_DGRAM", "IPPROTO_IP", 0))), workers);

    // Lines of different threads may interleave, but each formatted text
    // belongs to the thread whose socket the line names.
    for (size_t i = 0; i < workers; ++i) {
        std::string n = lines::num(static_cast<long>(i));
        long s = r.number("s" + n);
        std::string value = r.pointer("value" + n);
        const std::string &path = r.text("path" + n);
        std::string named = lines::getsockname(s, "", 0, path, lines::num(2 + static_cast<long>(path.size()) + 1));
        SCOPED_TRACE("worker " + n);
        EXPECT_EQ(occurrences(err, lines::first_line(lines::getsockopt(s, lines::format("OPT_LEVEL_UNKNOWN(%zu)", 100 + i),
                                                                       "OPT_NAME_UNKNOWN", value, "4", -1))),
                  rounds);
        EXPECT_EQ(occurrences(err, lines::first_line(lines::setsockopt(
                                       s, "IPPROTO_TCP", lines::format("OPT_NAME_UNKNOWN(%zu)", 50 + i), value, 4, -1))),
                  rounds);
        EXPECT_EQ(occurrences(err, named.substr(named.find("(name="))), rounds);
        EXPECT_EQ(occurrences(err, lines::first_line(lines::bind(s, path, 110, 0))), 1u);
    }
    EXPECT_EQ(occurrences(err, lines::last_line(lines::getsockopt(0, "", "", "", "", -1))), workers * rounds);
    EXPECT_EQ(occurrences(err, lines::last_line(lines::setsockopt(0, "", "", "", 0, -1))), workers * rounds);
    EXPECT_EQ(occurrences(err, lines::close(0)), workers);
}

}  // namespace
