// The library's locks: one thread at a time, and none left held by a thread
// that jumped out of the library (longjmp from a signal handler) while it
// held one.
#pragma once

// Zeroed, a lock is free; its owner is the thread id that holds it, and
// waiters counts the threads asleep on it (only then does a release wake).
struct library_lock {
    int owner;
    int waiters;
};

// Takes lock, waiting for another thread to let it go. A lock this thread
// already holds was left by a call that never returned (the library never
// takes a lock twice on one thread), and is taken over.
void acquire(library_lock &lock);

// Lets lock go if this thread holds it.
void release(library_lock &lock);

// Lets go every lock this thread holds: the thread is jumping out of the
// library's frames.
void release_every_held_lock();

// Holds a lock for a scope: round trips over one hop socket never
// interleave, so none reads another's echo.
class held_exchange {
public:
    explicit held_exchange(library_lock &lock) : lock_(lock) { acquire(lock_); }
    ~held_exchange() { release(lock_); }
    held_exchange(const held_exchange &) = delete;
    held_exchange &operator=(const held_exchange &) = delete;

private:
    library_lock &lock_;
};
