// Holds an exchange lock (a route's, or a bound socket's) for a scope: round
// trips over one hop socket never interleave, so none reads another's echo.
#pragma once

#include <pthread.h>

class held_exchange {
public:
    explicit held_exchange(pthread_mutex_t &lock) : lock_(lock) { pthread_mutex_lock(&lock_); }
    ~held_exchange() { pthread_mutex_unlock(&lock_); }
    held_exchange(const held_exchange &) = delete;
    held_exchange &operator=(const held_exchange &) = delete;

private:
    pthread_mutex_t &lock_;
};
