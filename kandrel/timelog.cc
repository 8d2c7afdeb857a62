// The round-trip log "timelog" and its exported stream.
#include "timelog.hh"

#include <fcntl.h>

#include "own_descriptors.hh"
#include "real_calls.hh"
#include "trace.hh"

extern "C" {
FILE *kandrel_timelog_stream = nullptr;
// Exported under its own name: the timelog stream the round trips write to.
extern FILE *fd __attribute__((alias("kandrel_timelog_stream"), visibility("default")));
}

// A symbolic link named "timelog" is not followed: a link planted in a shared
// directory must not make a traced program truncate some other file.
void open_timelog()
{
    int descriptor = above_standard_descriptors(
        open("timelog", O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    FILE *stream = descriptor >= 0 ? fdopen(descriptor, "w") : nullptr;
    if (stream == nullptr) {
        if (descriptor >= 0) {
            real_calls().close(descriptor);
        }
        print_output("error in opening timelog file \n");
        return;
    }
    __atomic_store_n(&kandrel_timelog_stream, stream, __ATOMIC_RELEASE);
    trace("init_route_tbl()\t:\ttimelog file opened\n");
}

void log_round_trip(size_t len, long ms)
{
    FILE *stream = __atomic_load_n(&kandrel_timelog_stream, __ATOMIC_ACQUIRE);
    if (stream != nullptr) {
        std::fprintf(stream, "%zd bytes %ld ms\n", static_cast<ssize_t>(len), ms);
        std::fflush(stream);
    }
}
