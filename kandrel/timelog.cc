// The round-trip log "timelog" and its exported stream.
#include "timelog.hh"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "coverage.hh"
#include "owned_descriptor.hh"
#include "real_calls.hh"
#include "trace.hh"

extern "C" {
FILE *kandrel_timelog_stream = nullptr;
// Exported under its own name: the stream of the timelog as the load opened it.
extern FILE *fd __attribute__((alias("kandrel_timelog_stream"), visibility("default")));
}

namespace {

// The descriptor records are written to, what it was when opened, and the
// file's full path, for reopening it when the application closed it or took
// its number (a daemon closing every descriptor, a dup2 over it). Records are
// one write each straight to the descriptor, so records of several
// processes appending to one file are never torn or interleaved.
int timelog_descriptor = -1;
descriptor_identity timelog_identity;
char timelog_path[PATH_MAX];
// Held while the descriptor is checked and replaced.
pthread_mutex_t timelog_lock = PTHREAD_MUTEX_INITIALIZER;

// A child of fork starts with the lock as the forking thread saw it: one
// another thread held then would never be released in the child.
void reset_lock_in_child()
{
    pthread_mutex_init(&timelog_lock, nullptr);
}

// Flags of every opening: appending, so a record never lands over another
// process's; not following a link planted in a shared directory; not
// blocking on a FIFO of that name.
constexpr int timelog_flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Opens the timelog with the given extra flags if it is a regular file;
// -1 otherwise.
int open_regular(const char *path, int extra_flags)
{
    int descriptor = above_standard_descriptors(open(path, timelog_flags | extra_flags, 0666));
    struct stat status;
    if (descriptor >= 0 && (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))) {
        real_calls().close(descriptor);
        return -1;
    }
    return descriptor;
}

void remember_path()
{
    if (getcwd(timelog_path, sizeof timelog_path - sizeof "/timelog") == nullptr) {
        timelog_path[0] = '\0';
        return;
    }
    std::strcat(timelog_path, timelog_path[1] == '\0' ? "timelog" : "/timelog");
}

// The descriptor to write the next record to, reopened (never created or
// emptied again) when it is no longer the library's; -1 when there is none.
int record_descriptor()
{
    pthread_mutex_lock(&timelog_lock);
    int descriptor = timelog_descriptor;
    if (descriptor >= 0 && !still_ours(descriptor, timelog_identity)) {
        let_go(descriptor, timelog_identity);
        descriptor = timelog_path[0] != '\0' ? open_regular(timelog_path, 0) : -1;
        timelog_identity = identity_of(descriptor);
        timelog_descriptor = descriptor;
    }
    pthread_mutex_unlock(&timelog_lock);
    return descriptor;
}

}  // namespace

void open_timelog()
{
    // With full coverage every process of a run appends to the one timelog
    // that kandrel-run created for the run.
    int descriptor = open_regular("timelog", full_coverage() ? O_CREAT : O_CREAT | O_TRUNC);
    FILE *stream = descriptor >= 0 ? fdopen(descriptor, "a") : nullptr;
    if (stream == nullptr) {
        if (descriptor >= 0) {
            real_calls().close(descriptor);
        }
        print_output("error in opening timelog file \n");
        return;
    }
    remember_path();
    pthread_atfork(nullptr, nullptr, reset_lock_in_child);
    pthread_mutex_lock(&timelog_lock);
    timelog_identity = identity_of(descriptor);
    timelog_descriptor = descriptor;
    pthread_mutex_unlock(&timelog_lock);
    __atomic_store_n(&kandrel_timelog_stream, stream, __ATOMIC_RELEASE);
    trace("init_route_tbl()\t:\ttimelog file opened\n");
}

void log_round_trip(size_t len, long ms)
{
    int descriptor = record_descriptor();
    if (descriptor < 0) {
        return;
    }
    char record[64];
    int length = std::snprintf(record, sizeof record, "%zd bytes %ld ms\n", static_cast<ssize_t>(len), ms);
    real_calls().write(descriptor, record, static_cast<size_t>(length));
}
