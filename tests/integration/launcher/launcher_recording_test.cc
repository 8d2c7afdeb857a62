// kandrel-run's side of recording and replay: --record empties the file once
// and names it to the run; --replay checks the recording and this host's
// routes before anything starts; --summary and --plot read a recording, the
// plot rendered by a real SVG renderer. (Recording and replaying through the
// library are tested with the library.)
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "launcher_test_support.hh"
#include "netns.hh"

namespace {

using launchertest::launcher_path;
using testsupport::ProgramResult;
using testsupport::ScratchDir;

const std::string host_name = "recording-host";
// Creates a marker file, so a test can tell whether the program started.
const std::vector<std::string> marking_program{"sh", "-c", "touch started; echo \"$KANDREL_RECORD|$KANDREL_RUN_START_NS|$KANDREL_REPLAY\""};

std::string recording_line(const std::string &to, const std::string &protocol, long rtt_us,
                           const std::string &outcome = "echoed", long t_us = 1000)
{
    return R"({"t_us":)" + std::to_string(t_us) + R"(,"pid":4242,"to":")" + to +
           R"(","hop":"10.77.0.2","protocol":")" + protocol + R"(","bytes":64,"rtt_us":)" +
           std::to_string(rtt_us) + R"(,"outcome":")" + outcome + "\"}\n";
}

std::uint64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

class LauncherRecording : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::set_host_name(host_name);
        testsupport::use_private_host_table({"10.77.0.1 " + host_name});
        testsupport::write_file(dir_.file("routes"), host_name + " 10.0.0.2 10.77.0.2 TCP\n" +
                                                          host_name + " 10.0.0.3 10.77.0.2 UDP\n" +
                                                          "other-host 10.0.0.9 10.77.0.2 UDP\n");
    }

    ProgramResult launch(const std::vector<std::string> &args,
                         const std::vector<std::pair<std::string, std::string>> &env = {})
    {
        std::vector<std::string> argv{launcher_path};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), marking_program.begin(), marking_program.end());
        return testsupport::run_program({.argv = argv, .env = env, .cwd = dir_.path()});
    }

    void expect_refused(const ProgramResult &result, const std::string &message)
    {
        EXPECT_EQ(result.exit_status, 125);
        EXPECT_EQ(result.err, "kandrel-run: " + message + "\n");
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(testsupport::file_exists(dir_.file("started")));
        EXPECT_FALSE(testsupport::file_exists(dir_.file("timelog")));
    }

    ScratchDir dir_;
};

TEST_F(LauncherRecording, RecordFileIsEmptiedOnceAndNamedToTheRun)
{
    testsupport::write_file(dir_.file("run.rec"), recording_line("10.0.0.2", "TCP", 40000));
    std::uint64_t before = monotonic_ns();
    auto result = launch({"--record", "run.rec"});
    std::uint64_t after = monotonic_ns();
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(testsupport::read_file(dir_.file("run.rec")), "");
    auto fields = result.out.substr(0, result.out.size() - 1);
    auto bar = fields.find('|');
    EXPECT_EQ(fields.substr(0, bar), dir_.file("run.rec"));
    EXPECT_TRUE(fields.ends_with("|")) << "nothing to replay: " << fields;
    // The run's start on the clock the library measures with.
    std::uint64_t start = std::stoull(fields.substr(bar + 1));
    EXPECT_LE(before, start);
    EXPECT_LE(start, after);

    std::remove(dir_.file("run.rec").c_str());
    EXPECT_EQ(launch({"--record", "run.rec"}).exit_status, 0);
    EXPECT_EQ(testsupport::read_file(dir_.file("run.rec")), "");
}

TEST_F(LauncherRecording, RecordFileThatIsNoRegularFileIsRefused)
{
    testsupport::write_file(dir_.file("kept"), "kept\n");
    ASSERT_EQ(symlink("kept", dir_.file("link.rec").c_str()), 0);
    ASSERT_EQ(mkfifo(dir_.file("fifo.rec").c_str(), 0600), 0);
    expect_refused(launch({"--record", "link.rec"}),
                   "link.rec is a symbolic link; remove it or record to another file");
    expect_refused(launch({"--record", "fifo.rec"}),
                   "fifo.rec is not a regular file; remove it or record to another file");
    EXPECT_EQ(testsupport::read_file(dir_.file("kept")), "kept\n");
    expect_refused(launch({"--classic", "--record", "run.rec"}),
                   "--record and --replay are for full coverage, not --classic (see kandrel-run --help)");
}

TEST_F(LauncherRecording, ReplayOfEveryRouteOfThisHostStartsTheProgram)
{
    // The other host's route needs nothing; extra routes in the recording do no harm.
    testsupport::write_file(dir_.file("run.rec"),
                            recording_line("10.0.0.2", "TCP", 40000) +
                                recording_line("10.0.0.3", "UDP", 2000000, "waited_out") +
                                recording_line("10.0.0.4", "UDP", 12000));
    for (const auto &env : {std::vector<std::pair<std::string, std::string>>{},
                            {{"KANDREL_RECORD", "/stale"}, {"KANDREL_RUN_START_NS", "1"}}}) {
        auto result = launch({"-r", "routes", "--replay", "run.rec"}, env);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.out, "||" + dir_.file("run.rec") + "\n");
        EXPECT_TRUE(testsupport::file_exists(dir_.file("started")));
    }
}

TEST_F(LauncherRecording, ReplayThatCannotBeDoneStartsNothing)
{
    const std::string tcp = recording_line("10.0.0.2", "TCP", 40000);
    const std::string udp = recording_line("10.0.0.3", "UDP", 12000);
    struct row {
        std::string recording;
        std::string message;
    };
    for (const row &r : {
             row{tcp + udp.substr(0, 50), "line 2: truncated line"},
             row{tcp + recording_line("10.0.0.3", "UDP", 3600000001), "line 2: rtt_us 3600000001 is beyond one hour"},
             row{recording_line("10.0.0.2", "TCP", 40000, "echoed", 0) + udp +
                     recording_line("10.0.0.2", "TCP", 1, "lost"),
                 "line 3: outcome is not echoed, waited_out or unreachable"},
             row{tcp + "\n" + udp, "line 2: empty line"},
             row{tcp, "no recorded round trips for route 10.0.0.3 via 10.77.0.2 (UDP)"},
             row{tcp + recording_line("10.0.0.3", "UDP", 1, "unreachable"),
                 "no recorded round trips for route 10.0.0.3 via 10.77.0.2 (UDP)"},
             row{"", "no recorded round trips for route 10.0.0.2 via 10.77.0.2 (TCP)"},
         }) {
        testsupport::write_file(dir_.file("run.rec"), r.recording);
        expect_refused(launch({"-r", "routes", "--replay", "run.rec"}), "cannot replay run.rec: " + r.message);
    }
    // The route file may come from the environment as well.
    testsupport::write_file(dir_.file("run.rec"), tcp);
    expect_refused(launch({"--replay", "run.rec"}, {{"QUOR_ROUTE_TABLE", dir_.file("routes")}}),
                   "cannot replay run.rec: no recorded round trips for route 10.0.0.3 via 10.77.0.2 (UDP)");
    expect_refused(launch({"--replay", "missing.rec"}),
                   "cannot replay missing.rec: No such file or directory");
    ASSERT_EQ(mkfifo(dir_.file("fifo.rec").c_str(), 0600), 0);
    expect_refused(launch({"--replay", "fifo.rec"}), "cannot replay fifo.rec: not a regular file");
    expect_refused(launch({"--replay", "/tmp"}), "cannot replay /tmp: not a regular file");
}

TEST_F(LauncherRecording, PlotOfARecordingRendersWithARealRenderer)
{
    std::string recording;
    for (long i = 0; i < 50; ++i) {
        recording += recording_line("10.0.0.2", "TCP", 40000 + i * 37 % 900, "echoed", i * 20000);
        recording += recording_line("10.0.0.3", "UDP", 12000 + i * 53 % 700, "echoed", i * 20000 + 5);
    }
    testsupport::write_file(dir_.file("run.rec"), recording);
    auto summary = testsupport::run_program(
        {.argv = {launcher_path, "--summary", "run.rec", "--plot", "run.svg"}, .cwd = dir_.path()});
    ASSERT_EQ(summary.exit_status, 0) << summary.err;
    EXPECT_TRUE(summary.out.starts_with("run.rec: 100 recorded round trips on 2 routes\n")) << summary.out;

    auto render = testsupport::run_program(
        {.argv = {"rsvg-convert", "--width", "480", "-o", "run.png", "run.svg"}, .cwd = dir_.path()});
    ASSERT_EQ(render.exit_status, 0) << render.err;
    EXPECT_EQ(render.err, "");
    auto counted = testsupport::run_program(
        {.argv = {"python3", launchertest::source_dir + "/tests/integration/launcher/png_pixels.py",
                  dir_.file("run.png")}});
    ASSERT_EQ(counted.exit_status, 0) << counted.err;
    unsigned long pixels = 0, white = 0, blue = 0;
    ASSERT_EQ(std::sscanf(counted.out.c_str(), "pixels=%lu white=%lu blue=%lu", &pixels, &white, &blue), 3)
        << counted.out;
    // A white page with the first route's points and bars drawn in blue, and black axes and text.
    EXPECT_EQ(pixels % 480u, 0u);
    EXPECT_GT(blue, 0u);
    EXPECT_GT(white, pixels / 2);
    EXPECT_LT(white + blue, pixels);

    testsupport::write_file(dir_.file("timelog"), "32 bytes 40 ms\n");
    auto of_timelog = testsupport::run_program(
        {.argv = {launcher_path, "--summary", "timelog", "--plot", "t.svg"}, .cwd = dir_.path()});
    EXPECT_EQ(of_timelog.exit_status, 125);
    EXPECT_EQ(of_timelog.err, "kandrel-run: --plot draws a recording (kandrel-run --record); timelog is none\n");
    EXPECT_FALSE(testsupport::file_exists(dir_.file("t.svg")));
}

}  // namespace
