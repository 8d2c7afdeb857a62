// The relay is started twice forked, so that it is no child of the program
// (which might wait for every child it has), and with the library removed
// from its preload list.
#include "relay_start.hh"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "preload_env.hh"

namespace launcher {
namespace {

std::string relay_path(const std::string &launcher_dir)
{
    for (const std::string &candidate :
         {launcher_dir + "/" + relay_program_name, launcher_dir + "/../path_relay/" + relay_program_name}) {
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

}  // namespace

bool start_path_relay(const std::string &launcher_dir, const std::string &cwd, pid_t &relay,
                      std::string &message)
{
    std::string path = relay_path(launcher_dir);
    if (path.empty()) {
        message = std::string("cannot find ") + relay_program_name + " beside " + launcher_dir;
        return false;
    }
    std::string program_pid = std::to_string(getpid());
    std::string control = "kandrel-path-" + program_pid;
    std::string timelog = absolute_path(cwd, "timelog");
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        message = std::string("cannot start the path relay: ") + std::strerror(errno);
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        if (fork() == 0) {
            setsid();
            unsetenv("LD_PRELOAD");
            // Nothing of the program's standard streams stays open in the
            // relay, which may outlive it: a reader of its output sees the end.
            int null = open("/dev/null", O_RDWR | O_CLOEXEC);
            for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
                dup2(null, stream);
            }
            // The relay's process id comes first, then its "ready".
            pid_t relay = getpid();
            (void)!write(ready[1], &relay, sizeof relay);
            std::string ready_fd = std::to_string(ready[1]);
            fcntl(ready[1], F_SETFD, 0);
            std::vector<const char *> argv{path.c_str(),        "--control", control.c_str(), "--program-pid",
                                           program_pid.c_str(), "--timelog", timelog.c_str(), "--ready-fd",
                                           ready_fd.c_str(),    nullptr};
            execv(path.c_str(), const_cast<char *const *>(argv.data()));
            _exit(127);
        }
        _exit(0);
    }
    close(ready[1]);
    relay = -1;
    if (child > 0) {
        waitpid(child, nullptr, 0);
    }
    if (read(ready[0], &relay, sizeof relay) != static_cast<ssize_t>(sizeof relay) || relay <= 0) {
        close(ready[0]);
        message = "the path relay did not start";
        return false;
    }
    char answer[6] = {};
    ssize_t got = read(ready[0], answer, sizeof answer);
    close(ready[0]);
    if (got != static_cast<ssize_t>(sizeof answer) || std::memcmp(answer, "ready\n", sizeof answer) != 0) {
        message = "the path relay did not start";
        return false;
    }
    setenv("KANDREL_PATH_RELAY", ("@" + control).c_str(), 1);
    return true;
}

}  // namespace launcher
