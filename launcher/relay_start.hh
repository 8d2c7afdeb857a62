// Starting the path model's relay for a run (kandrel-run --path).
#pragma once

#include <sys/types.h>

#include <string>

namespace launcher {

constexpr const char *relay_program_name = "kandrel-path-relay";

// Starts the relay beside the launcher (installed) or in the build tree's
// path_relay/, detached from this process, for the program this process is
// about to become, and sets KANDREL_PATH_RELAY for it. Returns once the
// relay listens, with its process id; false with a message when it cannot.
bool start_path_relay(const std::string &launcher_dir, const std::string &cwd, pid_t &relay,
                      std::string &message);

}  // namespace launcher
