// The supervised run: the child installs the filter and stops; the parent
// takes the filter's listener from it with pidfd_getfd, lets it exec the
// program, and answers notifications until no filtered process is left.
#include "supervised_run.hh"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "launch_options.hh"
#include "record_lines.hh"
#include "run_checks.hh"
#include "run_supervision.hh"
#include "supervised_routes.hh"
#include "supervisor.hh"
#include "syscall_filter.hh"

namespace {

// What the child leaves for the parent in memory they share.
struct filter_outcome {
    int listener;  // the listener's number in the child, or -1
    int error;     // why the kernel refused the filter
};

pid_t supervised_child = 0;

void forward_signal(int signal)
{
    if (supervised_child > 0) {
        kill(supervised_child, signal);
    }
}

// Sets no-new-privileges and installs the filter; the listener, or -1 with errno.
int install_filter()
{
    auto filter = notify_filter(supervised_syscalls());
    sock_fprog fprog{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return -1;
    }
    // Once a call is handed over, a signal must not interrupt it: the call
    // would be restarted and handed over again, making a second round trip
    // (Go's runtime signals its threads often). Kernels before 5.19 lack the
    // flag and are asked without it.
    int listener = static_cast<int>(
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV, &fprog));
    if (listener < 0 && errno == EINVAL) {
        listener = static_cast<int>(
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &fprog));
    }
    return listener;
}

std::string refusal_text(const std::string &name, int error)
{
    return "cannot supervise " + name + ": the kernel refused its system-call filter (" +
           std::strerror(error) + "), so its socket calls could not be traced";
}

// The listener cannot be sent over a socket: sendmsg is itself filtered, and
// nobody would answer it yet. So the child stops and the parent copies it.
[[noreturn]] void child(const supervised_program &program, filter_outcome *outcome)
{
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        std::signal(signal, SIG_DFL);
    }
    int listener = install_filter();
    outcome->listener = listener;
    outcome->error = listener < 0 ? errno : 0;
    if (listener < 0) {
        _exit(125);
    }
    raise(SIGSTOP);
    close(listener);
    std::vector<char *> argv;
    for (const auto &word : program.argv) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.path.c_str(), argv.data());
    int error = errno;
    std::fprintf(stderr, "kandrel-run: %s: %s\n", program.name.c_str(), std::strerror(error));
    _exit(error == ENOENT ? 127 : 126);
}

// The route file's text, read as the library reads it: a regular file only.
std::string route_text(const std::string &path)
{
    struct stat status;
    if (path.empty() || stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int exit_status_of(int status)
{
    if (WIFSIGNALED(status)) {
        // Ended the way the program ended, as an exec'd program would.
        std::signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}

}  // namespace

std::string supervision_refusal(const std::string &name)
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(install_filter() < 0 ? errno : 0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return "cannot supervise " + name + ": " + std::strerror(errno);
    }
    int error = WIFEXITED(status) ? WEXITSTATUS(status) : EINVAL;
    return error == 0 ? std::string() : refusal_text(name, error);
}

int run_supervised(const supervised_program &program, std::string &refusal)
{
    // This host is named as the library names it: KANDREL_HOST, which need
    // not resolve, or the host name.
    route_load load = load_routes(route_text(program.route_file), launcher::this_host_name(),
                                  !launcher::host_named_by_setting(), resolve_with_system);
    auto *outcome = static_cast<filter_outcome *>(
        mmap(nullptr, sizeof(filter_outcome), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (outcome == MAP_FAILED) {
        refusal = std::string("cannot supervise ") + program.name + ": " + std::strerror(errno);
        return 125;
    }
    *outcome = {-1, 0};
    std::signal(SIGINT, SIG_IGN);  // the terminal sends them to the program too
    std::signal(SIGQUIT, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        child(program, outcome);
    }
    if (pid < 0) {
        refusal = std::string("cannot start ") + program.name + ": " + std::strerror(errno);
        return 125;
    }
    supervised_child = pid;
    std::signal(SIGTERM, forward_signal);
    std::signal(SIGHUP, forward_signal);
    int status = 0;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    waitpid(pid, &status, WUNTRACED);
    int listener = WIFSTOPPED(status) && pidfd >= 0
                       ? static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, outcome->listener, 0))
                       : -1;
    if (listener < 0) {
        int error = outcome->error != 0 ? outcome->error : errno;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        refusal = refusal_text(program.name, error);
        return 125;
    }
    run_records records(program.records);
    records.trace(pid, timelog_opened_line + load.trace);
    supervisor watching(listener, std::move(load.routes), records);
    kill(pid, SIGCONT);
    bool child_running = true;
    for (;;) {
        pollfd watched[2] = {{listener, POLLIN, 0},
                             {pidfd, static_cast<short>(child_running ? POLLIN : 0), 0}};
        if (poll(watched, 2, -1) < 0) {
            continue;  // a forwarded signal
        }
        if (watched[1].revents & POLLIN) {
            waitpid(pid, &status, 0);
            child_running = false;
        }
        if (watched[0].revents & POLLIN) {
            watching.handle_next();
        } else if (watched[0].revents & (POLLHUP | POLLERR)) {
            break;  // no filtered process is left
        }
    }
    if (child_running) {
        waitpid(pid, &status, 0);
    }
    if (unsigned rings = watching.rings_set_up(); rings != 0) {
        std::fprintf(stderr,
                     "kandrel-run: %s set up %u io_uring ring%s: calls made through %s were not seen\n",
                     program.name.c_str(), rings, rings == 1 ? "" : "s", rings == 1 ? "it" : "them");
    }
    close(listener);
    close(pidfd);
    launcher::run_outcome run{program.routes,
                              launcher::read_recording(records.recorded()).records,
                              {},
                              watching.processes_seen(),
                              {}};
    bool refused = launcher::report_run(run, program.quiet, program.strict);
    return refused && !WIFSIGNALED(status) ? launcher::exit_launcher_failure : exit_status_of(status);
}
