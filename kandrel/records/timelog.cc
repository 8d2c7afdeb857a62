// The round-trip log "timelog" and its exported stream.
#include "timelog.hh"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "append_only_file.hh"
#include "collector.hh"
#include "record_lines.hh"
#include "recording.hh"
#include "routing_policy.hh"
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
            trace(timelog_opened_line);
        } else {
            print_output("error in opening timelog file \n");
        }
        return;
    }
    // Emptied by each load, or (full coverage) appended to by every process
    // of a run, kandrel-run having emptied it once for the run.
    bool opened = open_append_only(timelog, "timelog", routing().timelog_open_flags);
    FILE *stream = opened ? fdopen(timelog.descriptor, "a") : nullptr;
    if (stream == nullptr) {
        print_output("error in opening timelog file \n");
        return;
    }
    pthread_atfork(nullptr, nullptr, reset_lock_in_child);
    __atomic_store_n(&kandrel_timelog_stream, stream, __ATOMIC_RELEASE);
    trace(timelog_opened_line);
}

void report_round_trip(const char *operation, size_t len, long ms, const char *recording_line,
                       size_t recording_length)
{
    trace(round_trip_time_format, operation, ms);
    char record[64];
    int length = std::snprintf(record, sizeof record, timelog_record_format, static_cast<ssize_t>(len), ms);
    if (!collector_named()) {
        append_line(timelog, record, static_cast<size_t>(length));
        write_recording_line(recording_line, recording_length);
        return;
    }
    // Under kandrel-run the record and the recording line go as one message.
    send_to_collector(collector_kind::timelog, record, static_cast<size_t>(length), recording_line,
                      recording_length);
}
