// Locks owned by thread id, waited for on a futex, and remembered per
// thread so that a jump out of the library lets them go.
#include "library_lock.hh"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace {

// The most locks one thread holds at once (a route's exchange inside a
// table's lock is the deepest the library goes).
constexpr int held_capacity = 4;

thread_local int thread_id __attribute__((tls_model("initial-exec"))) = 0;
thread_local library_lock *held[held_capacity] __attribute__((tls_model("initial-exec")));

// A child of fork runs on a thread of its own id.
void forget_thread_id()
{
    thread_id = 0;
}

__attribute__((constructor)) void watch_forks()
{
    pthread_atfork(nullptr, nullptr, forget_thread_id);
}

int this_thread()
{
    if (thread_id == 0) {
        thread_id = static_cast<int>(syscall(SYS_gettid));
    }
    return thread_id;
}

void remember(library_lock *lock)
{
    for (library_lock *&slot : held) {
        if (slot == nullptr || slot == lock) {
            slot = lock;
            return;
        }
    }
}

void forget(library_lock *lock)
{
    for (library_lock *&slot : held) {
        if (slot == lock) {
            slot = nullptr;
        }
    }
}

void wake_waiters(library_lock &lock)
{
    syscall(SYS_futex, &lock.owner, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

void acquire(library_lock &lock)
{
    int self = this_thread();
    for (;;) {
        int owner = 0;
        if (__atomic_compare_exchange_n(&lock.owner, &owner, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED) ||
            owner == self) {
            remember(&lock);
            return;
        }
        __atomic_add_fetch(&lock.waiters, 1, __ATOMIC_SEQ_CST);
        syscall(SYS_futex, &lock.owner, FUTEX_WAIT_PRIVATE, owner, nullptr, nullptr, 0);
        __atomic_sub_fetch(&lock.waiters, 1, __ATOMIC_SEQ_CST);
    }
}

void release(library_lock &lock)
{
    int self = this_thread();
    forget(&lock);
    if (__atomic_compare_exchange_n(&lock.owner, &self, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED) &&
        __atomic_load_n(&lock.waiters, __ATOMIC_SEQ_CST) > 0) {
        wake_waiters(lock);
    }
}

void release_every_held_lock()
{
    for (library_lock *lock : held) {
        if (lock != nullptr) {
            release(*lock);
        }
    }
}
