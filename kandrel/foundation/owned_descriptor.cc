// Descriptors the library opens for itself.
#include "owned_descriptor.hh"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include "real_calls.hh"

namespace {

// This process's id, kept instead of asked for at every check: a child of
// fork learns its own from the fork handler.
pid_t process_id = 0;
pthread_once_t process_id_once = PTHREAD_ONCE_INIT;

void learn_process_id()
{
    __atomic_store_n(&process_id, getpid(), __ATOMIC_RELAXED);
}

void remember_process_id()
{
    learn_process_id();
    pthread_atfork(nullptr, nullptr, learn_process_id);
}

pid_t this_process()
{
    pthread_once(&process_id_once, remember_process_id);
    return __atomic_load_n(&process_id, __ATOMIC_RELAXED);
}

// Learnt as the library loads: learnt first in a child of vfork, the
// child's id would become the parent's in their shared memory.
__attribute__((constructor)) void learn_at_load()
{
    this_process();
}

bool same_file(int s, const descriptor_identity &identity)
{
    struct stat now;
    return s >= 0 && identity.inode != 0 && fstat(s, &now) == 0 && now.st_dev == identity.device &&
           now.st_ino == identity.inode;
}

}  // namespace

int above_standard_descriptors(int s)
{
    if (s < 0 || s > STDERR_FILENO) {
        return s;
    }
    int moved = real_calls().fcntl(s, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    real_calls().close(s);
    return moved;
}

int above_program_descriptors(int s)
{
    rlimit limit;
    if (s < 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return above_standard_descriptors(s);
    }
    int moved = -1;
    if (limit.rlim_cur > FD_SETSIZE) {
        moved = real_calls().fcntl(s, F_DUPFD_CLOEXEC, FD_SETSIZE);
    } else {
        // Downwards from the top, a few numbers at most: the library's own
        // descriptors are all that sit up there.
        constexpr int tries = 64;
        for (long n = static_cast<long>(limit.rlim_cur) - 1;
             moved < 0 && n > s && n >= static_cast<long>(limit.rlim_cur) - tries; --n) {
            moved = real_calls().fcntl(s, F_DUPFD_CLOEXEC, static_cast<int>(n));
        }
    }
    if (moved < 0) {
        return above_standard_descriptors(s);
    }
    real_calls().close(s);
    return moved;
}

bool in_vfork_child()
{
    return getpid() != this_process();
}

descriptor_identity identity_of(int s)
{
    struct stat now;
    if (s < 0 || fstat(s, &now) != 0) {
        return {};
    }
    return {this_process(), now.st_dev, now.st_ino};
}

bool still_ours(int s, const descriptor_identity &identity)
{
    return identity.owner == this_process() && same_file(s, identity);
}

void let_go(int s, const descriptor_identity &identity)
{
    if (same_file(s, identity)) {
        real_calls().close(s);
    }
}
