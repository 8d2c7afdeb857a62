// The error routines' reports: prefix, message, system text, the order of
// report and flushed output, and how each routine ends the process.
#include <signal.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "echo_test_support.hh"
#include "error.hh"
#include "process.hh"

// This test program links the error routines itself and reports under no name.
const char *pname = nullptr;

namespace {

using testsupport::ProgramResult;

// Runs the probe with standard error joined to standard output, so that the
// order in which report and buffered output leave the process is visible.
ProgramResult probe(const std::string &routine, int err, const std::string &name = "")
{
    echotest::disable_core_files();
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>&1", echotest::error_probe_path,
                                     routine, std::to_string(err)};
    if (!name.empty()) {
        argv.push_back(name);
    }
    return testsupport::run_program({.argv = argv});
}

TEST(ErrorRoutines, ErrRetReportsThenFlushesPendingOutputAndReturns)
{
    const ProgramResult result = probe("ret", EACCES, "some/path/prog");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "some/path/prog: ret says hello (Permission denied)\npending output;returned\n");
}

TEST(ErrorRoutines, ErrDumpReportsFlushesAndAborts)
{
    const ProgramResult result = probe("dump", ECONNREFUSED, "prog");
    EXPECT_EQ(result.term_signal, SIGABRT);
    EXPECT_EQ(result.out, "prog: dump says 42 (Connection refused)\npending output;");
}

TEST(ErrorRoutines, ErrSysReportsWithSystemTextAndExitsWithOne)
{
    const ProgramResult result = probe("sys", ENOENT, "prog");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "prog: sys says 42 (No such file or directory)\npending output;");
}

TEST(ErrorRoutines, ErrQuitNeverAddsSystemText)
{
    const ProgramResult result = probe("quit", EACCES, "prog");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "prog: quit says 42\npending output;");
}

TEST(ErrorRoutines, NullNameStartsTheLineWithTheMessage)
{
    EXPECT_EQ(probe("ret", EACCES).out, "ret says hello (Permission denied)\npending output;returned\n");
}

TEST(ErrorRoutines, ErrnoZeroLeavesABlankBeforeTheLineEnd)
{
    EXPECT_EQ(probe("ret", 0, "prog").out, "prog: ret says hello \npending output;returned\n");
    EXPECT_EQ(probe("dump", 0, "prog").out, "prog: dump says 42 \npending output;");
}

TEST(ErrorRoutines, NumbersWithoutSystemTextAreShownAsNumbers)
{
    // 41 lies in a gap of Linux's numbering; 4096 is beyond every known number.
    for (int err : {-1, -22, 41, 4096}) {
        EXPECT_EQ(probe("ret", err, "prog").out,
                  "prog: ret says hello (errno = " + std::to_string(err) + ")\npending output;returned\n");
    }
}

TEST(SysErrStr, SharesOneBufferThatEachCallOverwrites)
{
    errno = EPIPE;
    const char *first = sys_err_str();
    EXPECT_STREQ(first, "(Broken pipe)");
    errno = 0;
    const char *second = sys_err_str();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "");
    errno = -7;
    EXPECT_STREQ(sys_err_str(), "(errno = -7)");
}

}  // namespace
