// The round-trip log "timelog" and its exported stream.
#include "timelog.hh"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "append_only_file.hh"
#include "collector.hh"
#include "coverage.hh"
#include "recording.hh"
#include "trace.hh"

extern "C" {
FILE *kandrel_timelog_stream = nullptr;
// Exported under its own name: the stream of the timelog as the load opened it.
extern FILE *fd __attribute__((alias("kandrel_timelog_stream"), visibility("default")));
}

namespace {

// Records are one write each straight to the file's descriptor; the stream
// is only exported.
append_only_file timelog;

void reset_lock_in_child()
{
    reset_after_fork(timelog);
}

}  // namespace

void open_timelog()
{
    // Under kandrel-run the run's collector keeps the timelog; this process
    // opens no file.
    if (collector_named()) {
        if (connect_to_collector()) {
            trace("init_route_tbl()\t:\ttimelog file opened\n");
        } else {
            print_output("error in opening timelog file \n");
        }
        return;
    }
    // With full coverage every process of a run appends to the one timelog
    // that kandrel-run created for the run.
    bool opened = open_append_only(timelog, "timelog", full_coverage() ? O_CREAT : O_CREAT | O_TRUNC);
    FILE *stream = opened ? fdopen(timelog.descriptor, "a") : nullptr;
    if (stream == nullptr) {
        print_output("error in opening timelog file \n");
        return;
    }
    pthread_atfork(nullptr, nullptr, reset_lock_in_child);
    __atomic_store_n(&kandrel_timelog_stream, stream, __ATOMIC_RELEASE);
    trace("init_route_tbl()\t:\ttimelog file opened\n");
}

void report_round_trip(const char *operation, size_t len, long ms, const char *recording_line,
                       size_t recording_length)
{
    trace("%s()\t:\tTIME=%ld. ms\n", operation, ms);
    char record[64];
    int length = std::snprintf(record, sizeof record, "%zd bytes %ld ms\n", static_cast<ssize_t>(len), ms);
    if (!collector_named()) {
        append_line(timelog, record, static_cast<size_t>(length));
        write_recording_line(recording_line, recording_length);
        return;
    }
    // Under kandrel-run the record and the recording line go as one message.
    send_to_collector(collector_kind::timelog, record, static_cast<size_t>(length), recording_line,
                      recording_length);
}
