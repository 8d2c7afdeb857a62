/* Reporting helpers shared by the scenario programs. */
#include "scenario_report.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static FILE *report_stream;

__attribute__((constructor)) static void start_with_sentinel(void)
{
    errno = SENTINEL_ERRNO;
}

static FILE *reports(void)
{
    return report_stream != NULL ? report_stream : stdout;
}

void report_to_descriptor(int fd)
{
    report_stream = fdopen(fd, "w");
    require(report_stream != NULL, "fdopen of the report descriptor");
}

void report_int(const char *key, long value)
{
    fprintf(reports(), "%s=%ld\n", key, value);
}

void report_ptr(const char *key, const void *pointer)
{
    fprintf(reports(), "%s=%lx\n", key, (unsigned long)(uintptr_t)pointer);
}

void report_text(const char *key, const char *text)
{
    fprintf(reports(), "%s=%s\n", key, text);
}

static void report_outcome(const char *name, const char *result, int error)
{
    const char *error_name = strerrorname_np(error);
    fprintf(reports(), "outcome %s %s %s\n", name, result, error_name != NULL ? error_name : "?");
}

long outcome(const char *name, long result)
{
    int error = errno;
    char text[32];
    snprintf(text, sizeof text, "%ld", result);
    report_outcome(name, text, error);
    errno = SENTINEL_ERRNO;
    return result;
}

long outcome_fd(const char *name, long result)
{
    int error = errno;
    report_outcome(name, result >= 0 ? "fd" : "-1", error);
    errno = SENTINEL_ERRNO;
    return result;
}

void require(int ok, const char *what)
{
    if (!ok) {
        fprintf(reports(), "setup failed: %s: %s\n", what, strerror(errno));
        exit(2);
    }
}

void set_trace_debug(int value)
{
    int saved = errno;
    int *debug = dlsym(RTLD_DEFAULT, "debug");
    if (debug != NULL) {
        *debug = value;
    }
    errno = saved;
}

void wait_until_blocked_in(pid_t tid, long syscall_number)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/syscall", (int)tid);
    for (;;) {
        FILE *file = fopen(path, "r");
        require(file != NULL, "open of the thread's syscall file");
        long number = -1;
        int got = fscanf(file, "%ld", &number);
        fclose(file);
        if (got == 1 && number == syscall_number) {
            return;
        }
        usleep(1000);
    }
}
