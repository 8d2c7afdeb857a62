/* What the scenario programs tell their tests on standard output: the
 * descriptors and pointers the expected trace lines are built from, and the
 * outcome (result and errno) of each call, which must not depend on whether
 * the library is preloaded. */
#pragma once

#include <errno.h>
#include <sys/types.h>

/* errno is set to this before every reported call, so a call that succeeds
 * shows whether anything touched errno behind the application's back. */
#define SENTINEL_ERRNO EDOM

/* "key=value" lines. */
void report_int(const char *key, long value);
void report_ptr(const char *key, const void *pointer);
void report_text(const char *key, const char *text);

/* "outcome NAME RESULT ERRNO" for the call just made; errno is read first
 * thing and then reset to the sentinel. The result is passed back. */
long outcome(const char *name, long result);
/* The same for calls that return a descriptor: its number is "fd", since the
 * library's own timelog descriptor shifts the numbers. */
long outcome_fd(const char *name, long result);

/* Sends the reports to another descriptor, for scenarios that take over
 * their own standard output. */
void report_to_descriptor(int fd);

/* Ends the scenario when a step that is not under test fails. */
void require(int ok, const char *what);

/* Sets the preloaded library's exported debug flag; without the library
 * there is none, and nothing happens. */
void set_trace_debug(int value);

/* Returns once the thread sleeps in the given system call, so the scenario
 * knows the first half of a two-piece line has been written. */
void wait_until_blocked_in(pid_t tid, long syscall_number);
