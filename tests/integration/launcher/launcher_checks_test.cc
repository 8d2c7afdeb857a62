// What kandrel-run says instead of leaving a run silently undelayed: route
// lines it skips, a host without routes, hops that do not answer, files it
// cannot write; the records of every process of a run kept in the run's
// files; and the report when the program ends.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "destination_sinks.hh"
#include "hop_services.hh"
#include "launcher_test_support.hh"
#include "netns.hh"
#include "preloaded_run.hh"

namespace {

using launchertest::launcher_path;
using testsupport::ProgramResult;
using testsupport::ScratchDir;

const std::string host = "checks-host";
// After a program that made no socket call.
const std::string no_send = "kandrel-run: report: 0 processes seen\nkandrel-run: no send went to a routed destination\n";

class LauncherChecks : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::set_host_name(host);
        testsupport::use_private_host_table({"127.0.0.1 " + host});
    }

    ProgramResult launch(const std::vector<std::string> &args, const std::string &routes = "")
    {
        if (!routes.empty()) {
            testsupport::write_file(dir_.file("routes"), routes);
        }
        std::vector<std::string> argv{launcher_path};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::run_program({.argv = argv, .env = {{"TMPDIR", dir_.path()}}, .cwd = dir_.path()});
    }

    ScratchDir dir_;
};

TEST_F(LauncherChecks, SilentCasesAreSaid)
{
    struct row {
        std::vector<std::string> args;
        std::string routes;
        int status;
        std::string err;
    };
    const std::string route = host + " 127.0.0.9 127.0.0.2 ";
    const std::string nothing_for_host = "kandrel-run: no route in routes is for this host, " + host +
                                         " (as hostname prints it)";
    const row rows[] = {
        {{"-r", "routes", "true"}, route + "udp\n", 0,
         "kandrel-run: routes: line 1 skipped: protocol udp is neither TCP nor UDP (upper case)\n" +
             nothing_for_host + "; the file holds no usable route\n" + no_send},
        {{"-r", "routes", "true"}, "\n" + route + "\n# " + route + "UDP\n" + host + ",127.0.0.9,127.0.0.2,UDP\n" +
                                       host + " 127.0.0.9 nowhere.invalid UDP\n",
         0,
         "kandrel-run: routes: line 2 skipped: fewer than four words (FROM TO HOP PROTOCOL)\n"
         "kandrel-run: routes: line 3 skipped: starts with '#', and a route file has no comments\n"
         "kandrel-run: routes: line 4 skipped: has a comma; the words of a route are separated by blanks\n"
         "kandrel-run: routes: line 5 skipped: nowhere.invalid does not resolve\n" +
             nothing_for_host + "; the file holds no usable route\n" + no_send},
        {{"-r", "routes", "true"}, "alpha 127.0.0.9 127.0.0.2 UDP\nbeta 127.0.0.9 127.0.0.2 TCP\n", 0,
         nothing_for_host + "; its routes are from alpha, beta\n" + no_send},
        {{"true"}, "", 0, "kandrel-run: no route file given (-r ROUTE_FILE): no send will be delayed\n" + no_send},
        {{"-r", "routes", "true"}, route + "TCP\n", 125,
         "kandrel-run: hop 127.0.0.2 (127.0.0.2) not reached by a TCP echo: Connection refused; its sends "
         "would not be delayed (--no-check runs anyway)\n"},
        {{"--no-check", "-q", "-r", "routes", "true"}, route + "UDP\n", 0, ""},
        {{"-q", "--strict", "true"}, "", 125,
         "kandrel-run: no route file given (-r ROUTE_FILE): no send will be delayed\n"
         "kandrel-run: --strict: a routed send went undelayed, or none was routed\n"},
        {{"-o", "missing/trace", "true"}, "", 125,
         "kandrel-run: cannot write the trace into " + dir_.file("missing") + "/: No such file or directory\n"},
    };
    for (const row &r : rows) {
        auto result = launch(r.args, r.routes);
        EXPECT_EQ(result.exit_status, r.status) << r.routes;
        EXPECT_EQ(result.err, r.err) << r.routes;
    }
}

TEST_F(LauncherChecks, RefusalsAndWarningsInsteadOfSilenceOrACrash)
{
    const std::string recorded =
        R"({"t_us":1,"pid":2,"to":"beta","hop":"hop","protocol":"TCP","bytes":5,"rtt_us":40000,"outcome":"echoed"})";
    testsupport::write_file(dir_.file("cut.rec"), recorded + "\n" + recorded.substr(0, 30));
    testsupport::write_file(dir_.file("kept.rec"), recorded + "\n");
    std::filesystem::create_symlink("elsewhere", dir_.file("timelog"));
    struct row {
        std::vector<std::string> args;
        int status;
        std::string err_start;
    };
    const row rows[] = {
        {{"--summary", "/tmp"}, 125, "kandrel-run: cannot summarise /tmp: not a regular file\n"},
        {{"--summary", "cut.rec"}, 0, "kandrel-run: cut.rec: line 2 is cut short; summarised from the 1 whole lines before it\n"},
        {{"--replay", "cut.rec", "true"}, 125, "kandrel-run: cannot replay cut.rec: line 2: "},
        // The recording is checked, and kept, when timelog refuses the run.
        {{"--record", "kept.rec", "true"}, 125, "kandrel-run: timelog is a symbolic link; "},
    };
    for (const row &r : rows) {
        auto result = launch(r.args);
        EXPECT_EQ(result.exit_status, r.status) << r.args[0];
        EXPECT_TRUE(result.err.starts_with(r.err_start)) << result.err;
    }
    EXPECT_EQ(testsupport::read_file(dir_.file("kept.rec")), recorded + "\n");
}

// A program exec'd in the run that will not load the library is named in
// the report, and --strict refuses the run; one that loads it is not named.
TEST_F(LauncherChecks, ExecdProgramsRunWithoutTheLibraryAreNamed)
{
    for (auto [name, mode] : {std::pair{"set-uid", 04755}, {"set-gid", 02755}}) {
        std::filesystem::copy_file("/usr/bin/true", dir_.file(name));
        ASSERT_EQ(chown(dir_.file(name).c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(dir_.file(name).c_str(), static_cast<mode_t>(mode)), 0);  // after chown, which clears them
    }
    const std::string no_route = "kandrel-run: no route file given (-r ROUTE_FILE): no send will be delayed\n";
    auto unseen = [&](const std::string &path, const std::string &why) {
        return no_route + "kandrel-run: report: 1 process seen\nkandrel-run: " + path + " ran without the library (" +
               why + "): its sends were neither traced nor delayed\nkandrel-run: no send went to a routed destination\n";
    };
    const std::string &static_probe = launchertest::static_probe_path;
    struct row {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const row rows[] = {
        {{"env", static_probe}, 0, unseen(static_probe, "statically linked")},
        {{"env", "./set-uid"}, 0, unseen("./set-uid", "set-user-ID")},
        {{"sh", "-c", "exec ./set-gid"}, 0, unseen("./set-gid", "set-group-ID")},
        {{"env", "true"}, 0, no_route + no_send},
        {{"--strict", "env", static_probe}, 125,
         unseen(static_probe, "statically linked") + "kandrel-run: --strict: a program ran without the library\n"},
    };
    for (const row &r : rows) {
        auto result = launch(r.args);
        EXPECT_EQ(result.exit_status, r.status) << r.args[1];
        EXPECT_EQ(result.err, r.err) << r.args[1];
    }
}

// A pipe or FIFO as the route file is read once, handed to the run as a
// private copy that goes with the run, and never waited on for ever.
TEST_F(LauncherChecks, PipedRouteFileIsReadOnceAndCopiedForTheRun)
{
    const std::string route = host + " 127.0.0.9 127.0.0.2 UDP";
    auto piped = launch({"bash", "-c", "exec " + launcher_path + " -q --no-check -r <(echo " + route +
                                           ") sh -c 'cat \"$QUOR_ROUTE_TABLE\"'"});
    EXPECT_EQ(piped.exit_status, 0) << piped.err;
    EXPECT_EQ(piped.out, route + "\n");
    ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    auto fifo = launch({"-r", "fifo", "true"});
    EXPECT_EQ(fifo.exit_status, 0);
    EXPECT_EQ(fifo.err, "kandrel-run: no route in fifo is for this host, " + host +
                            " (as hostname prints it); the file holds no usable route\n" + no_send);
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("kandrel-routes-")) << entry.path();
    }
}

}  // namespace

namespace {

// Sends one datagram to 127.0.0.9 from the process as it is, then from a
// child that changed directory, chrooted and became nobody, then from a
// grandchild of that one.
const std::string wandering_program = R"(
import os, socket
def send():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.sendto(b"hello", ("127.0.0.9", 9000))
    s.close()
send()
os.chdir("elsewhere")
if os.fork() == 0:
    os.chroot(".")
    os.setgid(65534)
    os.setuid(65534)
    send()
    if os.fork() == 0:
        send()
        os._exit(0)
    os.wait()
    os._exit(0)
os.wait()
)";

TEST_F(LauncherChecks, EveryProcessOfTheRunRecordsInTheRunsFilesAndTheReportCountsThem)
{
    testsupport::EchoHop hop({.address = "127.0.0.2"});
    std::filesystem::create_directory(dir_.file("elsewhere"));
    auto result = launch({"-r", "routes", "--record", "run.rec", "-o", "trace.%p", "/usr/bin/python3", "-c",
                          wandering_program},
                         host + " 127.0.0.9 127.0.0.2 UDP\n");
    EXPECT_EQ(result.exit_status, 0) << result.err;
    auto timelog = testsupport::read_file(dir_.file("timelog"));
    EXPECT_EQ(testsupport::occurrences(timelog, "5 bytes "), 3u) << timelog;
    EXPECT_EQ(testsupport::occurrences(testsupport::read_file(dir_.file("run.rec")), "\"outcome\":\"echoed\""), 3u);
    std::size_t trace_files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) {
        trace_files += entry.path().filename().string().starts_with("trace.") ? 1 : 0;
    }
    EXPECT_EQ(trace_files, 3u);
    // Nothing landed where the processes were.
    EXPECT_TRUE(std::filesystem::is_empty(dir_.file("elsewhere")));
    EXPECT_NE(result.err.find("kandrel-run: report: 3 processes seen\n"
                              "kandrel-run: route 127.0.0.9 via 127.0.0.2 (UDP): 3 sends delayed, round trip median "),
              std::string::npos)
        << result.err;
}

// A supervised program's round trips make the same report, which --strict
// heeds as well.
TEST_F(LauncherChecks, SupervisedRunReportsItsRoundTrips)
{
    testsupport::EchoHop hop({.address = "127.0.0.2"});
    testsupport::TcpSink sink("127.0.0.9", 9000);
    auto result = launch({"--strict", "-r", "routes", SEND_PATHS_STATIC_PATH, "tcp4", "to", "127.0.0.9", "9000",
                          "connect", "send", "hello", "close"},
                         host + " 127.0.0.9 127.0.0.2 TCP\n");
    EXPECT_EQ(sink.streams(), std::vector<std::string>{"hello"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("kandrel-run: report: 1 process seen\nkandrel-run: route 127.0.0.9 via 127.0.0.2 "
                              "(TCP): 1 send delayed, round trip median "),
              std::string::npos)
        << result.err;
}

}  // namespace

namespace {

TEST_F(LauncherChecks, StdioWriteOnARoutedSocketIsReportedAsGoneAroundTheLibrary)
{
    testsupport::EchoHop hop({.address = "127.0.0.2"});
    testsupport::TcpSink sink("127.0.0.9", 9000);
    auto result = launch({"--per-send", "--strict", "-r", "routes", SEND_PATHS_PATH, "tcp4", "to", "127.0.0.9", "9000",
                          "connect", "send", "hello", "stdio", "around", "close"},
                         host + " 127.0.0.9 127.0.0.2 TCP\n");
    EXPECT_EQ(sink.streams(), std::vector<std::string>{"helloaround"});
    EXPECT_EQ(result.exit_status, 125);
    const std::string route = "kandrel-run: route 127.0.0.9 via 127.0.0.2 (TCP): ";
    EXPECT_NE(result.err.find(route + "1 send delayed, round trip median "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(route + "6 bytes not delayed: went around the library\n"), std::string::npos)
        << result.err;
}

}  // namespace
