// Process running for the integration tests: fork, exec, capture, time limit.
#include "process.hh"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "files.hh"

namespace testsupport {
namespace {

[[noreturn]] void die(const char *what)
{
    std::perror(what);
    std::_Exit(127);
}

// In the child: environment, directory, descriptors, then exec.
[[noreturn]] void exec_child(const ProgramRun &run, int in_fd, int out_fd, int err_fd)
{
    for (const auto &[name, value] : run.env) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0) {
        die("chdir");
    }
    if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) {
        die("dup2");
    }
    std::vector<char *> argv;
    for (const auto &word : run.argv) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    die(argv[0]);
}

ProgramResult decode_status(int status)
{
    ProgramResult result;
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.term_signal = WTERMSIG(status);
    }
    return result;
}

void drain(int fd, std::string &into)
{
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        into.append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace

ProgramResult run_program(const ProgramRun &run)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        exec_child(run, in_pipe[0], out_pipe[1], err_pipe[1]);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    // Standard input is written in full up front when it fits the pipe; a
    // larger text is fed as the program reads, alongside the output.
    signal(SIGPIPE, SIG_IGN);
    size_t fed = 0;
    int in_fd = in_pipe[1];
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);

    ProgramResult result;
    std::string out, err;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(run.timeout_ms);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        if (in_fd >= 0 && fed == run.stdin_text.size()) {
            close(in_fd);
            in_fd = -1;
        }
        pollfd fds[3] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                         {err_open ? err_pipe[0] : -1, POLLIN, 0},
                         {in_fd, POLLOUT, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char chunk[4096];
                ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
                if (n > 0) {
                    (i == 0 ? out : err).append(chunk, static_cast<size_t>(n));
                } else if (n == 0 || errno != EAGAIN) {
                    (i == 0 ? out_open : err_open) = false;
                }
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_fd, run.stdin_text.data() + fed, run.stdin_text.size() - fed);
            if (n > 0) {
                fed += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN) {
                fed = run.stdin_text.size();
            }
        }
    }
    if (in_fd >= 0) {
        close(in_fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    fcntl(out_pipe[0], F_SETFL, 0);
    fcntl(err_pipe[0], F_SETFL, 0);
    if (!result.timed_out) {
        drain(out_pipe[0], out);
        drain(err_pipe[0], err);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    bool timed_out = result.timed_out;
    result = decode_status(status);
    result.timed_out = timed_out;
    result.out = std::move(out);
    result.err = std::move(err);
    return result;
}

BackgroundProgram::BackgroundProgram(const ProgramRun &run)
{
    char out_template[] = "/tmp/kandrel-bg-out-XXXXXX";
    char err_template[] = "/tmp/kandrel-bg-err-XXXXXX";
    int out_fd = mkstemp(out_template);
    int err_fd = mkstemp(err_template);
    int in_fd = open("/dev/null", O_RDONLY);
    if (out_fd < 0 || err_fd < 0 || in_fd < 0) {
        throw std::runtime_error("cannot set up background program files");
    }
    out_path_ = out_template;
    err_path_ = err_template;
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        exec_child(run, in_fd, out_fd, err_fd);
    }
    close(in_fd);
    close(out_fd);
    close(err_fd);
}

ProgramResult BackgroundProgram::stop(int signal_number)
{
    ProgramResult result;
    if (pid_ > 0) {
        kill(pid_, signal_number);
        int status = 0;
        waitpid(pid_, &status, 0);
        result = decode_status(status);
        pid_ = -1;
        result.out = read_file(out_path_);
        result.err = read_file(err_path_);
        unlink(out_path_.c_str());
        unlink(err_path_.c_str());
    }
    return result;
}

BackgroundProgram::~BackgroundProgram()
{
    stop(SIGKILL);
}

}  // namespace testsupport
