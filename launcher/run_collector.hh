// The run's collector: every process of a run sends its timelog records,
// recording lines and, when it cannot write the trace file itself, its trace
// to kandrel-run, over a stream connection of its own to an abstract-namespace
// local socket whose name the library finds in KANDREL_COLLECTOR. Abstract
// names need no file and no permission, so processes that changed directory,
// chrooted or dropped privileges reach it all the same; kandrel-run alone
// writes the run's files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace launcher {

// Where the collected records go, each descriptor opened for appending by
// kandrel-run; -1 for none.
struct collector_outputs {
    int timelog = -1;
    int recording = -1;
    std::string trace_pattern;  // the trace file's absolute path, "%p" per sending process; "" none
};

// What the run's processes sent.
struct collected_run {
    std::set<pid_t> processes;  // each process connects once (again after an exec)
    std::string recording;      // every round trip's recording line
    std::size_t timelog_records = 0;
    std::map<std::string, std::uint64_t> bytes_around;  // "TO HOP PROTOCOL" -> bytes sent around the library
    std::map<std::string, std::string> unseen;          // path -> why it ran without the library
};

class run_collector {
public:
    run_collector() = default;
    run_collector(const run_collector &) = delete;
    run_collector &operator=(const run_collector &) = delete;
    ~run_collector();

    // Listens on a fresh abstract name; "" or why not.
    std::string open();
    // The value of KANDREL_COLLECTOR: the name with '@' for its leading NUL.
    const std::string &name() const { return name_; }

    // Takes the new connections and everything sent so far, and writes each
    // record where it belongs. Never waits.
    void drain(const collector_outputs &outputs);

    const collected_run &collected() const { return run_; }

    // A helper of the run (the path relay) whose records are the program's,
    // and which the report does not count among the run's processes.
    void leave_uncounted(pid_t helper) { helper_ = helper; }

private:
    struct connection {
        int socket;
        pid_t pid;
        std::string pending;  // bytes of a message not yet whole
    };

    void take(const collector_outputs &outputs, connection &from);
    void keep_recording_line(const collector_outputs &outputs, const char *text, std::size_t length);
    void write_trace(const collector_outputs &outputs, pid_t pid, const char *text, std::size_t length);

    int listener_ = -1;
    pid_t helper_ = -1;
    std::string name_;
    std::vector<connection> connections_;
    collected_run run_;
    std::map<std::string, int> trace_files_;
};

}  // namespace launcher
