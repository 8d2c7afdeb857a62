// What kandrel-run refuses, and how: programs the dynamic linker would run
// without the library (set-user-ID, set-group-ID), programs it cannot find or run, route files it cannot
// read, a library it cannot find, and usage mistakes. Nothing is run then.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "launcher_test_support.hh"
#include "lines.hh"

namespace {

using launchertest::launcher_path;
using launchertest::probe_path;
using testsupport::ProgramResult;
using testsupport::ScratchDir;

constexpr uid_t nobody = 65534;

class LauncherRefusal : public ::testing::Test {
protected:
    ProgramResult launch(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{launcher_path};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::run_program({.argv = argv, .cwd = dir_.path()});
    }

    // A copy of the probe with the given owner, group and mode.
    std::string probe_copy(const std::string &name, uid_t owner, gid_t group, mode_t mode)
    {
        std::string path = dir_.file(name);
        std::filesystem::copy_file(probe_path, path);
        EXPECT_EQ(chown(path.c_str(), owner, group), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);  // after chown, which clears the bits
        return path;
    }

    void expect_refused(const ProgramResult &result, int status, const std::string &message)
    {
        EXPECT_EQ(result.exit_status, status);
        EXPECT_EQ(result.err, "kandrel-run: " + message + "\n");
        EXPECT_EQ(result.out, "");  // the program never ran
        EXPECT_FALSE(testsupport::file_exists(dir_.file("timelog")));
    }

    ScratchDir dir_;
};

const std::string untraced = ", so its socket calls could not be traced";

// A statically linked program is supervised; where the kernel refuses the
// filter that takes, it is refused instead of running untraced.
TEST_F(LauncherRefusal, StaticProgramWhereNoFilterCanBeInstalled)
{
    std::vector<std::string> argv{FILTERS_FORBIDDEN_PATH, launcher_path, launchertest::static_probe_path};
    expect_refused(testsupport::run_program({.argv = argv, .cwd = dir_.path()}), 125,
                   "cannot supervise " + launchertest::static_probe_path +
                       ": the kernel refused its system-call filter (Operation not permitted)" + untraced);
}

TEST_F(LauncherRefusal, SetUserIdToAnotherUser)
{
    std::string program = probe_copy("suid_probe", nobody, 0, 04755);
    expect_refused(launch({program}), 125,
                   program + " is set-user-ID: the dynamic linker ignores LD_PRELOAD in the "
                             "program it starts" + untraced);
}

TEST_F(LauncherRefusal, SetGroupIdToAnotherGroup)
{
    std::string program = probe_copy("sgid_probe", 0, nobody, 02755);
    expect_refused(launch({program}), 125,
                   program + " is set-group-ID: the dynamic linker ignores LD_PRELOAD in the "
                             "program it starts" + untraced);
}

TEST_F(LauncherRefusal, SetUserIdToTheCallerStillRuns)
{
    std::string program = probe_copy("own_suid_probe", getuid(), getgid(), 06755);
    auto result = launch({program});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find(lines::first_line(lines::udp_socket(0))), std::string::npos) << result.err;
}

TEST_F(LauncherRefusal, ProgramNotFound)
{
    expect_refused(launch({"kandrel-no-such-program"}), 127,
                   "kandrel-no-such-program: command not found");
    expect_refused(launch({"./missing"}), 127, "./missing: No such file or directory");
}

TEST_F(LauncherRefusal, ProgramNotExecutable)
{
    testsupport::write_file(dir_.file("data"), "#!/bin/sh\n");
    expect_refused(launch({"./data"}), 126, "./data: Permission denied");
    expect_refused(launch({"/tmp"}), 126, "/tmp: Is a directory");
}

TEST_F(LauncherRefusal, UnreadableRouteFile)
{
    expect_refused(launch({"-r", "no-routes", probe_path}), 125,
                   "cannot read route file no-routes: No such file or directory");
    expect_refused(launch({"-r", "/tmp", probe_path}), 125,
                   "cannot read route file /tmp: Is a directory");
}

// With full coverage the launcher empties timelog itself, never through a
// link and never anything but a regular file.
TEST_F(LauncherRefusal, TimelogThatIsNoRegularFile)
{
    testsupport::write_file(dir_.file("times"), "32 bytes 40 ms\n");
    struct row {
        int (*make)(const char *path);
        std::string message;
    };
    for (const row &r :
         {row{[](const char *path) { return symlink("times", path); }, "a symbolic link"},
          row{[](const char *path) { return mkfifo(path, 0600); }, "not a regular file"}}) {
        ASSERT_EQ(r.make(dir_.file("timelog").c_str()), 0);
        auto result = launch({probe_path});
        EXPECT_EQ(result.exit_status, 125);
        EXPECT_EQ(result.err, "kandrel-run: timelog is " + r.message +
                                  "; remove it or run with --classic\n");
        EXPECT_EQ(result.out, "");
        unlink(dir_.file("timelog").c_str());
    }
    EXPECT_EQ(testsupport::read_file(dir_.file("times")), "32 bytes 40 ms\n");
}

TEST_F(LauncherRefusal, LibraryNotBesideTheLauncher)
{
    std::string lonely = dir_.file("kandrel-run");
    std::filesystem::copy_file(launcher_path, lonely);
    auto result = testsupport::run_program({.argv = {lonely, probe_path}, .cwd = dir_.path()});
    EXPECT_EQ(result.exit_status, 125);
    EXPECT_TRUE(result.err.starts_with("kandrel-run: cannot find libkandrel.so in " +
                                       dir_.path() + "/"))
        << result.err;
    EXPECT_EQ(result.out, "");
}

TEST_F(LauncherRefusal, UsageMistakes)
{
    expect_refused(launch({}), 125, "no program to run (see kandrel-run --help)");
    expect_refused(launch({"-x", probe_path}), 125, "unknown option -x (see kandrel-run --help)");
}

}  // namespace
