// The trace file named by KANDREL_TRACE_FILE.
#include "trace_file.hh"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

#include "library_lock.hh"
#include "owned_descriptor.hh"
#include "real_calls.hh"
#include "settings.hh"
#include "trace_path.hh"

namespace {

// 0 until the environment was read, 1 when no file is named, 2 when one is.
int named = 0;
const char *pattern = nullptr;

library_lock file_lock;
FILE *stream = nullptr;
descriptor_identity identity;

void reset_lock_in_child()
{
    file_lock = {};
}

bool file_named()
{
    int now = __atomic_load_n(&named, __ATOMIC_ACQUIRE);
    if (now == 0) {
        acquire(file_lock);
        if (named == 0) {
            pattern = setting("KANDREL_TRACE_FILE");
            if (pattern != nullptr && pattern[0] != '\0') {
                pthread_atfork(nullptr, nullptr, reset_lock_in_child);
            }
            __atomic_store_n(&named, pattern != nullptr && pattern[0] != '\0' ? 2 : 1, __ATOMIC_RELEASE);
        }
        now = named;
        release(file_lock);
    }
    return now == 2;
}

// Opens this process's file: appending, since processes may share one name;
// never through a symbolic link; never blocking on a FIFO. Unbuffered, like
// standard error, so no line waits in the process when it ends.
FILE *open_stream()
{
    char path[PATH_MAX];
    if (!expand_trace_path(pattern, static_cast<long>(getpid()), path, sizeof path)) {
        return nullptr;
    }
    int descriptor = above_standard_descriptors(
        open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    FILE *opened = descriptor >= 0 ? fdopen(descriptor, "a") : nullptr;
    if (opened == nullptr) {
        if (descriptor >= 0) {
            real_calls().close(descriptor);
        }
        return nullptr;
    }
    setvbuf(opened, nullptr, _IONBF, 0);
    identity = identity_of(descriptor);
    return opened;
}

}  // namespace

FILE *trace_file()
{
    if (!file_named()) {
        return nullptr;
    }
    acquire(file_lock);
    if (stream == nullptr || !still_ours(fileno(stream), identity)) {
        // A stream whose descriptor is no longer the library's is dropped,
        // not closed: closing it would close the number the program now uses.
        stream = open_stream();
    }
    FILE *current = stream;
    release(file_lock);
    return current;
}
