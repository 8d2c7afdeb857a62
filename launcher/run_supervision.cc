// Waiting for the program with the collector open, then the report.
#include "run_supervision.hh"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "launch_options.hh"
#include "run_report.hh"

namespace launcher {
namespace {

volatile sig_atomic_t running_child = 0;

void pass_on(int signal_number)
{
    if (running_child > 0) {
        kill(static_cast<pid_t>(running_child), signal_number);
    }
}

// Signals sent to kandrel-run alone go on to the program; those a terminal
// sends to the whole group reach the program anyway, and kandrel-run stays
// to report.
void handle_signals(pid_t child)
{
    running_child = child;
    struct sigaction passing {};
    passing.sa_handler = pass_on;
    for (int signal_number : {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaction(signal_number, &passing, nullptr);
    }
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
}

// How often the collector reads what the run's processes sent. They never
// wake it: a record waits in its connection until then.
constexpr int collect_every_ms = 10;

// Collects until the child has ended; returns its wait status.
int wait_collecting(pid_t child, const supervised_run &run)
{
    int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    int status = 0;
    for (;;) {
        pollfd watched{ended, POLLIN, 0};
        poll(&watched, ended >= 0 ? 1 : 0, run.collector != nullptr || ended < 0 ? collect_every_ms : -1);
        if (run.collector != nullptr) {
            run.collector->drain(run.outputs);
        }
        pid_t waited = waitpid(child, &status, WNOHANG);
        if (waited == child || (waited < 0 && errno != EINTR)) {
            break;
        }
    }
    if (ended >= 0) {
        close(ended);
    }
    // What the run's processes sent before the program ended.
    if (run.collector != nullptr) {
        run.collector->drain(run.outputs);
    }
    return status;
}

void end_by_signal(int signal_number)
{
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
}

}  // namespace

bool report_run(const run_outcome &outcome, bool quiet, bool strict)
{
    if (!quiet) {
        std::fputs(run_report(outcome).c_str(), stderr);
    }
    std::string refusal = strict ? strict_refusal(outcome) : "";
    std::fputs(refusal.c_str(), stderr);
    return !refusal.empty();
}

int supervise(pid_t child, const supervised_run &run)
{
    // A connection per living process of the run: room for as many as the
    // system allows, raised here, after the fork, so the program's own limit
    // stays as it was.
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    handle_signals(child);
    int status = wait_collecting(child, run);
    running_child = 0;
    bool strict_refused = false;
    if (run.collector != nullptr) {
        const collected_run &collected = run.collector->collected();
        run_outcome outcome{run.routes, read_recording(collected.recording).records, collected.bytes_around,
                            collected.processes.size(), collected.unseen};
        strict_refused = report_run(outcome, run.quiet, run.strict);
    }
    if (WIFSIGNALED(status)) {
        end_by_signal(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return strict_refused ? exit_launcher_failure : WEXITSTATUS(status);
}

}  // namespace launcher
