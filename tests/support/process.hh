// Runs real programs for the integration tests: captured output, extra
// environment, standard input, a working directory and a time limit.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProgramRun {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> env;  // set on top of the test's environment
    std::string stdin_text;
    std::string cwd;         // empty: the test's working directory
    int timeout_ms = 20000;  // the program is killed when it passes this
};

struct ProgramResult {
    int exit_status = -1;  // -1 when ended by a signal
    int term_signal = 0;   // the signal that ended it, 0 otherwise
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs a program to its end and returns what it wrote and how it ended.
ProgramResult run_program(const ProgramRun &run);

// A program running in the background (a server, a hop) for the life of the
// object; killed and reaped when it goes.
class BackgroundProgram {
public:
    explicit BackgroundProgram(const ProgramRun &run);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram &) = delete;
    BackgroundProgram &operator=(const BackgroundProgram &) = delete;

    pid_t pid() const { return pid_; }
    // Sends the signal and collects the end; output went to the given files.
    ProgramResult stop(int signal_number);

private:
    pid_t pid_ = -1;
    std::string out_path_;
    std::string err_path_;
};

}  // namespace testsupport
