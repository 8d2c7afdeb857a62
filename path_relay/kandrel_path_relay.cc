// kandrel-path-relay: the path model's relay, started by kandrel-run --path
// for one run. It outlives the program's fork, exec and exit, and ends once
// the program is gone and every relayed connection has closed.
//
//   kandrel-path-relay --control NAME --program-pid PID --timelog PATH [--ready-fd N]
//
// NAME is the abstract socket the library registers connects on; the run's
// recording, if any, is named by KANDREL_RECORD (and KANDREL_RUN_START_NS);
// the hops of the routes in QUOR_ROUTE_TABLE are connected before it is ready.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "relay.hh"
#include "relay_records.hh"

namespace {

[[noreturn]] void usage()
{
    std::fprintf(
        stderr, "usage: kandrel-path-relay --control NAME --program-pid PID --timelog PATH [--ready-fd N]\n");
    std::exit(2);
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

int main(int argc, char **argv)
{
    relay_settings settings;
    std::string timelog;
    long program_pid = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--control") {
            settings.control_name = argv[i + 1];
        } else if (option == "--program-pid") {
            program_pid = std::strtol(argv[i + 1], nullptr, 10);
        } else if (option == "--timelog") {
            timelog = argv[i + 1];
        } else if (option == "--ready-fd") {
            settings.ready_fd = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        } else {
            usage();
        }
    }
    if (argc % 2 == 0 || settings.control_name.empty() || program_pid <= 0) {
        usage();
    }
    settings.program_pidfd = static_cast<int>(syscall(SYS_pidfd_open, program_pid, 0));
    if (settings.program_pidfd < 0) {
        std::perror("kandrel-path-relay: pidfd_open");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    // Releases are timed to the microsecond; the default slack would add 50.
    prctl(PR_SET_TIMERSLACK, 1);
    settings.routes = environment("QUOR_ROUTE_TABLE");
    std::string start = environment("KANDREL_RUN_START_NS");
    relay_records records(timelog, environment("KANDREL_RECORD"), std::strtoull(start.c_str(), nullptr, 10));
    path_relay relay(records);
    if (!relay.start(settings)) {
        std::perror("kandrel-path-relay: cannot listen");
        return 1;
    }
    relay.run();
    return 0;
}
