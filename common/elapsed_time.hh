// The elapsed-milliseconds rule shared by the library's round trips and the
// round-trip client, plus the clock both read.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <cstdint>

// Subtracts in from out, field by field, borrowing one second when the
// microseconds go negative; the difference is left in out.
inline void tvsub(struct timeval *out, const struct timeval *in)
{
    out->tv_usec -= in->tv_usec;
    if (out->tv_usec < 0) {
        --out->tv_sec;
        out->tv_usec += 1000000;
    }
    out->tv_sec -= in->tv_sec;
}

// Whole milliseconds of a difference made by tvsub; the division truncates.
inline long elapsed_ms(const struct timeval &difference)
{
    return difference.tv_sec * 1000 + difference.tv_usec / 1000;
}

// Milliseconds from start to end by the rule above.
inline long elapsed_ms_between(const struct timeval &start, struct timeval end)
{
    tvsub(&end, &start);
    return elapsed_ms(end);
}

// A timestamp for interval measurement. The monotonic clock is used rather
// than the wall clock so that a clock step during a round trip can never
// produce a negative or inflated time.
inline struct timeval interval_clock_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return timeval{now.tv_sec, now.tv_nsec / 1000};
}

// The same clock in nanoseconds, for timestamps within a run that several
// processes share.
inline std::uint64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}
