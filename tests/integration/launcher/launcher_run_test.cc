// Programs run through kandrel-run: the trace on their standard error or in
// a file, the environment they get (LD_PRELOAD composed, QUOR_ROUTE_TABLE
// absolute, full coverage unless --classic), the timelog emptied once,
// the debug companion, PATH search, arguments and exit status untouched.
#include <csignal>
#include <cstdio>

#include <string>

#include <gtest/gtest.h>

#include "elf_symbols.hh"
#include "launcher_test_support.hh"
#include "lines.hh"
#include "netns.hh"

namespace {

using launchertest::companion_path;
using launchertest::launcher_path;
using launchertest::library_path;
using launchertest::probe_path;
using launchertest::probe_value;
using testsupport::ProgramResult;
using testsupport::ScratchDir;

const std::string host_name = "launcher-host";

class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::set_host_name(host_name);
        testsupport::use_private_host_table({"10.77.0.1 " + host_name});
    }

    ProgramResult launch(const std::vector<std::string> &args,
                         const std::vector<std::pair<std::string, std::string>> &env = {})
    {
        std::vector<std::string> argv{launcher_path};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::run_program({.argv = argv, .env = env, .cwd = dir_.path()});
    }

    ScratchDir dir_;
};

// What kandrel-run says around a run without routes.
const std::string no_route_file = "kandrel-run: no route file given (-r ROUTE_FILE): no send will be delayed\n";
const std::string nothing_routed =
    "kandrel-run: report: 1 process seen\nkandrel-run: no send went to a routed destination\n";

// What the library writes for the probe's one socket and its close, with the
// descriptor that the probe reported.
std::string socket_trace(const ProgramResult &result)
{
    return lines::udp_socket(std::stol(probe_value(result.out, "socket"))) + lines::close(0);
}

TEST_F(LauncherRun, TracesTheProgramsSocketCalls)
{
    auto result = launch({probe_path});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, no_route_file + lines::route_load(false) + socket_trace(result) + nothing_routed);
    EXPECT_EQ(probe_value(result.out, "LD_PRELOAD"), library_path);
    EXPECT_EQ(probe_value(result.out, "library debug"), "0");
    EXPECT_TRUE(testsupport::file_exists(dir_.file("timelog")));
}

// No library can be preloaded into a statically linked program: it runs
// supervised, untouched, the route load shows on the trace once, and the
// run ends with its report (its write was seen), which --strict heeds.
TEST_F(LauncherRun, StaticallyLinkedProgramRunsSupervised)
{
    auto result = launch({launchertest::static_probe_path});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "static program ran\n");
    EXPECT_EQ(result.err, no_route_file + lines::loader::timelog_opened + nothing_routed);
    EXPECT_TRUE(testsupport::file_exists(dir_.file("timelog")));
    auto strict = launch({"-q", "--strict", launchertest::static_probe_path});
    EXPECT_EQ(strict.exit_status, 125);
    EXPECT_EQ(strict.err, no_route_file + lines::loader::timelog_opened +
                              "kandrel-run: --strict: a routed send went undelayed, or none was routed\n");
}

TEST_F(LauncherRun, DebugSetsTheLibrarysFlagNotTheProgramsOwn)
{
    auto result = launch({"-d", probe_path});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(probe_value(result.out, "LD_PRELOAD"), library_path + ":" + companion_path);
    EXPECT_EQ(probe_value(result.out, "library debug"), "1");
    EXPECT_EQ(probe_value(result.out, "program debug"), "7");
    // The guarded line of the load shows that the library saw the flag.
    EXPECT_EQ(result.err, no_route_file + lines::route_load(true) + socket_trace(result) + nothing_routed);
}

TEST_F(LauncherRun, CompanionAloneSaysSoAndLeavesTheProgramAlone)
{
    auto result = testsupport::run_program({.argv = {probe_path}, .env = {{"LD_PRELOAD", companion_path}}, .cwd = dir_.path()});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "libkandrel-debug.so: libkandrel.so is not loaded; debug stays off\n");
    EXPECT_EQ(probe_value(result.out, "program debug"), "7");
}

TEST_F(LauncherRun, UsersOwnPreloadStaysLoadedAfterOurs)
{
    auto result = launch({"-d", probe_path}, {{"LD_PRELOAD", launchertest::marker_path}});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(probe_value(result.out, "LD_PRELOAD"),
              library_path + ":" + companion_path + ":" + launchertest::marker_path);
    EXPECT_EQ(probe_value(result.out, "marker"), "yes");
    EXPECT_EQ(probe_value(result.out, "library debug"), "1");
}

TEST_F(LauncherRun, RelativeRouteFileIsLoadedByItsAbsolutePath)
{
    testsupport::write_file(dir_.file("routes"), host_name + " 10.77.0.9 10.77.0.2 UDP\n");
    auto result = launch({"--no-check", "-r", "routes", probe_path});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(probe_value(result.out, "QUOR_ROUTE_TABLE"), dir_.file("routes"));
    EXPECT_EQ(result.err, lines::loader::timelog_opened +
                              lines::loader::stored("10.77.0.1", "10.77.0.9", "10.77.0.2") + socket_trace(result) + nothing_routed);
}

TEST_F(LauncherRun, PathModelUnlessPerSendOrClassicAndPayloadOnlyWhenAsked)
{
    // What the user's environment says is overruled either way.
    const std::vector<std::pair<std::string, std::string>> inherited{
        {"KANDREL_COVERAGE", "other"}, {"KANDREL_ECHO_PAYLOAD", "1"}};
    struct row {
        std::vector<std::string> options;
        std::string coverage;
        std::string payload;
    };
    for (const row &r : {row{{}, "path", "(unset)"}, row{{"--per-send"}, "full", "(unset)"},
                         row{{"--payload"}, "full", "1"}, row{{"--classic"}, "(unset)", "(unset)"}}) {
        auto args = r.options;
        args.push_back(probe_path);
        auto result = launch(args, inherited);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(probe_value(result.out, "KANDREL_COVERAGE"), r.coverage);
        EXPECT_EQ(probe_value(result.out, "KANDREL_ECHO_PAYLOAD"), r.payload);
    }
}

// Like strace -o, a trace file the run's processes share starts empty.
TEST_F(LauncherRun, TraceGoesToTheFileNamedEmptiedFirst)
{
    testsupport::write_file(dir_.file("trace"), "a line of an earlier run\n");
    auto result = launch({"--output", "trace", probe_path});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(probe_value(result.out, "KANDREL_TRACE_FILE"), dir_.file("trace"));
    EXPECT_EQ(result.err, no_route_file + nothing_routed);
    const std::string trace = testsupport::read_file(dir_.file("trace"));
    EXPECT_TRUE(trace.ends_with(socket_trace(result))) << trace;
    EXPECT_EQ(trace.find("earlier run"), std::string::npos) << trace;
}

// The run's processes append to one timelog that the launcher emptied once;
// with --classic it is left to each process's first socket call.
TEST_F(LauncherRun, TimelogIsEmptiedOnceBeforeTheRun)
{
    const std::string old_times = "32 bytes 40 ms\n";
    for (bool classic : {false, true}) {
        testsupport::write_file(dir_.file("timelog"), old_times);
        std::vector<std::string> args{"sh", "-c", "cat timelog"};
        if (classic) {
            args.insert(args.begin(), "--classic");
        }
        auto result = launch(args);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.out, classic ? old_times : "");
    }
    std::remove(dir_.file("timelog").c_str());
    EXPECT_EQ(launch({"true"}).exit_status, 0);
    EXPECT_EQ(testsupport::read_file(dir_.file("timelog")), "");
}

TEST_F(LauncherRun, WithoutRouteOptionTheInheritedTableStays)
{
    auto result = launch({probe_path}, {{"QUOR_ROUTE_TABLE", "/elsewhere/routes"}});
    EXPECT_EQ(probe_value(result.out, "QUOR_ROUTE_TABLE"), "/elsewhere/routes");
    auto overridden = launch({"-r", "/dev/null", probe_path},
                             {{"QUOR_ROUTE_TABLE", "/elsewhere/routes"}});
    EXPECT_EQ(probe_value(overridden.out, "QUOR_ROUTE_TABLE"), "/dev/null");
}

TEST_F(LauncherRun, ProgramIsFoundInPath)
{
    auto probe_dir = probe_path.substr(0, probe_path.rfind('/'));
    auto result = launch({"-q", "preload_probe", "x"}, {{"PATH", "/nonexistent:" + probe_dir}});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, no_route_file + lines::route_load(false) + socket_trace(result));
    EXPECT_EQ(launchertest::probe_values(result.out, "arg"), std::vector<std::string>{"x"});
}

TEST_F(LauncherRun, ArgumentsThatLookLikeOptionsReachTheProgram)
{
    auto result = launch({"-d", "--", probe_path, "-r", "routes", "--", "-d", "", "two words"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(launchertest::probe_values(result.out, "arg"),
              (std::vector<std::string>{"-r", "routes", "--", "-d", "", "two words"}));
}

TEST_F(LauncherRun, ExitStatusAndSignalAreTheProgramsOwn)
{
    auto exited = launch({"sh", "-c", "exit 3"});
    EXPECT_EQ(exited.exit_status, 3);
    auto killed = launch({"sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(killed.term_signal, SIGTERM);
}

TEST_F(LauncherRun, ChildProcessesAreTracedToo)
{
    auto result = launch({"sh", "-c", probe_path + " >/dev/null"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_NE(result.err.find(lines::first_line(lines::udp_socket(0))), std::string::npos)
        << result.err;
}

TEST_F(LauncherRun, SummaryOfARunsTimes)
{
    testsupport::write_file(dir_.file("timelog"), "32 bytes 40 ms\n32 bytes 41 ms\n");
    auto result = launch({"--summary", "timelog"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), "timelog: 2 timelog records");
    EXPECT_NE(result.out.find("  median  40 ms\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
}

TEST_F(LauncherRun, SummaryOfNothingFails)
{
    testsupport::write_file(dir_.file("empty"), "");
    auto empty = launch({"--summary", "empty"});
    EXPECT_EQ(empty.exit_status, 125);
    EXPECT_EQ(empty.err, "kandrel-run: empty holds no timelog or tavik.time lines\n");
    auto missing = launch({"--summary", "missing"});
    EXPECT_EQ(missing.exit_status, 125);
    EXPECT_EQ(missing.err, "kandrel-run: cannot read missing: No such file or directory\n");
}

TEST_F(LauncherRun, HelpNamesEveryOptionAndExitStatus)
{
    auto result = launch({"--help"});
    EXPECT_EQ(result.exit_status, 0);
    for (const char *text : {"-r ROUTE_FILE", "-o TRACE_FILE", "-d", "--classic", "--payload",
                             "--summary FILE", "--record FILE", "--replay FILE", "--plot OUT.svg",
                             "125", "126", "127"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
    EXPECT_TRUE(launch({"--version"}).out.starts_with("kandrel-run 0."));
}

// Loaded into arbitrary programs like the library: it may need nothing but
// libc, and must define no symbol a program could bind to by accident.
TEST(DebugCompanion, NeedsOnlyLibcAndExportsNothing)
{
    EXPECT_EQ(testsupport::elf_needed(companion_path), std::vector<std::string>{"libc.so.6"});
    for (const auto &symbol : testsupport::elf_dynamic_symbols(companion_path)) {
        EXPECT_FALSE(symbol.defined && (symbol.binding == "GLOBAL" || symbol.binding == "WEAK"))
            << "defines " << symbol.name;
    }
}

}  // namespace
