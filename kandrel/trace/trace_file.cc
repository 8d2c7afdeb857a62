// The trace file named by KANDREL_TRACE_FILE.
#include "trace_file.hh"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector.hh"
#include "library_lock.hh"
#include "owned_descriptor.hh"
#include "real_calls.hh"
#include "settings.hh"
#include "trace_path.hh"

namespace {

// 0 until the environment was read, 1 when no file is named, 2 when one is.
int named = 0;
const char *pattern = nullptr;
// Under kandrel-run: "DEVICE:INODE" of the trace file's directory as
// kandrel-run found it.
const char *checked_directory = nullptr;

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
            checked_directory = setting("KANDREL_TRACE_DIRECTORY_ID");
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

// Under kandrel-run, a process that cannot open the trace file where
// kandrel-run checked it (a chroot, lost permissions) hands its trace to the
// run's collector, a piece of text per message, and opens no file.
ssize_t send_trace_text(void *, const char *text, size_t length)
{
    return send_to_collector(collector_kind::trace, text, length) ? static_cast<ssize_t>(length) : -1;
}

FILE *open_collector_stream()
{
    cookie_io_functions_t functions{};
    functions.write = send_trace_text;
    FILE *opened = fopencookie(nullptr, "a", functions);
    if (opened != nullptr) {
        setvbuf(opened, nullptr, _IONBF, 0);
    }
    return opened;
}

// Whether path's directory is the one kandrel-run checked, the same device
// and inode: after a chroot a directory of the same name is another one.
bool in_checked_directory(const char *path)
{
    char directory[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    std::size_t length = slash != nullptr && slash != path ? static_cast<std::size_t>(slash - path) : 1;
    std::memcpy(directory, slash != nullptr && slash != path ? path : "/", length);
    directory[length] = '\0';
    struct stat status;
    char found[48];
    return checked_directory != nullptr && stat(directory, &status) == 0 &&
           std::snprintf(found, sizeof found, "%llu:%llu", static_cast<unsigned long long>(status.st_dev),
                         static_cast<unsigned long long>(status.st_ino)) > 0 &&
           std::strcmp(found, checked_directory) == 0;
}

// Opens this process's file: appending, since processes may share one name;
// never through a symbolic link; never blocking on a FIFO. Unbuffered, like
// standard error, so no line waits in the process when it ends. Under
// kandrel-run, the collector's stream when the file cannot be had where
// kandrel-run checked it.
FILE *open_stream()
{
    char path[PATH_MAX];
    if (!expand_trace_path(pattern, static_cast<long>(getpid()), path, sizeof path)) {
        return nullptr;
    }
    bool collected = collector_named();
    if (collected && !in_checked_directory(path)) {
        return open_collector_stream();
    }
    int descriptor = above_standard_descriptors(
        open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    FILE *opened = descriptor >= 0 ? fdopen(descriptor, "a") : nullptr;
    if (opened == nullptr) {
        if (descriptor >= 0) {
            real_calls().close(descriptor);
        }
        return collected ? open_collector_stream() : nullptr;
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
    // The collector's stream (no descriptor of its own) serves this process
    // and its children alike.
    if (stream == nullptr || (fileno(stream) >= 0 && !still_ours(fileno(stream), identity))) {
        // A stream whose descriptor is no longer the library's is dropped,
        // not closed: closing it would close the number the program now uses.
        stream = open_stream();
    }
    FILE *current = stream;
    release(file_lock);
    return current;
}
